"""The plot command against a trace that spinbench records from an emulated servo, and against
files it must refuse. JOINTBUS_BUILD names the build folder (ctest sets it)."""

import os
import signal
import subprocess
import sys

import pytest

from emulators import BUILD, ROOT, wait_for

PLOT = os.path.join(ROOT, "scripts", "plot_trace.py")
ENV = dict(os.environ, SPDLOG_STDOUT="true", SPDLOG_SYSTEMD="false", SPDLOG_LEVEL="info")
HEADER = "t,id,family,target,position,velocity,torque,temperature,enabled,code,age,bus\n"


def plot(*args):
    return subprocess.run([sys.executable, PLOT, *args], capture_output=True, text=True,
                          timeout=120)


def is_png(path):
    with open(path, "rb") as f:
        return f.read(8) == b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def recorded(tmp_path):
    """A trace of spinbench moving an emulated servo for about a second."""
    link = str(tmp_path / "ttyGRIP")
    emulator = subprocess.Popen([os.path.join(BUILD, "bin", "feetech_emulator"), link, "1",
                                 "--baud", "1000000"], stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: os.path.exists(link))
        config = tmp_path / "motor.yaml"
        config.write_text("motor_init_para:\n  - {vendor: feetech, id: 1, baudrate: 1000000, "
                          f"dev_name: {link}}}\n")
        trace = tmp_path / "run.csv"
        out = tmp_path / "tool.out"
        with open(out, "w") as sink:
            tool = subprocess.Popen([os.path.join(BUILD, "bin", "spinbench"), "-c", str(config),
                                     "-m", "1", "-s", "0.1", "-f", "20", "--record", str(trace)],
                                    stdout=sink, stderr=subprocess.STDOUT, env=ENV)
            assert wait_for(lambda: out.read_text().count("curpos") >= 20)
            tool.send_signal(signal.SIGINT)
            assert tool.wait(timeout=60) == 0
        text = out.read_text()
        assert f"recording every motor to {trace}" in text
        assert f"dropped) to {trace}" in text
        return trace
    finally:
        emulator.kill()
        emulator.wait()


def test_a_recorded_run_becomes_a_png(recorded, tmp_path):
    lines = recorded.read_text().splitlines()
    assert lines[0] + "\n" == HEADER
    assert lines[-1].startswith("# samples ")
    assert all(line.split(",")[2] == "feetech" for line in lines[1:-1])
    out = tmp_path / "arm.png"
    result = plot(str(recorded), "--out", str(out))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"plot_trace: wrote {out}\n"
    assert is_png(out) and out.stat().st_size > 10000


def test_default_output_is_beside_the_trace(recorded):
    result = plot(str(recorded))
    assert result.returncode == 0, result.stderr
    assert is_png(recorded.with_suffix(".png"))


def test_motors_are_told_apart_by_bus_and_old_traces_still_read(tmp_path):
    sys.path.insert(0, os.path.dirname(PLOT))
    import plot_trace
    two = tmp_path / "two.csv"
    two.write_text(HEADER + "0.0,1,damiao,0.1,0.1,0,0,30,1,0,0.004,vcan0\n"
                   "0.0,1,damiao,0.2,0.2,0,0,30,1,0,0.004,vcan1\n"
                   "0.1,1,feetech,,0.3,0,0,30,1,0,0.003,\"/dev/tty,A\"\n"
                   "0.1,1,damiao,0.1,0.15,0,0,30,1,0,0.004,vcan0\n")
    motors, duration = plot_trace.read_trace(str(two))
    assert sorted(motors) == ["damiao 1 on vcan0", "damiao 1 on vcan1", "feetech 1 on /dev/tty,A"]
    assert motors["damiao 1 on vcan0"]["position"] == [0.1, 0.15]
    assert duration == pytest.approx(0.1)
    old = tmp_path / "old.csv"
    old.write_text(HEADER.replace(",bus", "") + "0.0,1,damiao,0.1,0.1,0,0,30,1,0,0.004\n")
    assert list(plot_trace.read_trace(str(old))[0]) == ["damiao 1"]


def test_reached_names_each_motor_that_fell_short_and_fails(tmp_path):
    trace = tmp_path / "run.csv"
    trace.write_text(HEADER + "0.0,1,damiao,2.0,1.98,0,0,30,1,0,0.004,vcan0\n"
                     "0.0,2,damiao,2.0,1.60,0,0,30,1,0,0.004,vcan0\n"
                     "0.1,2,damiao,2.0,1.65,0,0,30,1,0,0.004,vcan0\n")
    short = plot(str(trace), "--reached", "2.0")
    assert short.returncode == 1
    assert short.stderr == ("plot_trace: damiao 2 on vcan0 did not reach 2 rad: it came no "
                            "closer than 0.350 rad\n")
    assert plot(str(trace), "--reached", "2.0", "--tolerance", "0.4").returncode == 0


@pytest.mark.parametrize("name, text, message", [
    ("missing.csv", None, "no such file"),
    ("empty.csv", "", "the file is empty"),
    ("other.csv", "a,b,c\n1,2,3\n", "not a trace header"),
    ("header_only.csv", HEADER + "# samples 0, dropped 0\n", "no samples after the header"),
    ("short_row.csv", HEADER + "0.1,1,damiao,0,0\n", "line 2: 5 fields, expected 12"),
    ("bad_number.csv", HEADER + "0.1,1,damiao,,abc,0,0,30,1,0,,can0\n",
     "line 2: position is not a number: 'abc'"),
])
def test_bad_files_are_refused_with_their_reason(tmp_path, name, text, message):
    path = tmp_path / name
    if text is not None:
        path.write_text(text)
    out = tmp_path / "out.png"
    result = plot(str(path), "--out", str(out))
    assert result.returncode == 1
    assert result.stderr.startswith(f"plot_trace: {path}: ")
    assert message in result.stderr
    assert not out.exists()
