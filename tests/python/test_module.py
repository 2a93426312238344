"""The Python module against the servo emulator on pseudo-terminals: configuration errors,
motion, faults as MotorError, the Arm context manager's stop, and the GIL released while the
library waits. JOINTBUS_BUILD names the build folder (ctest sets it)."""

import os
import re
import sys
import threading

import pytest

from emulators import BUILD, ServoEmulator, wait_for

sys.path.insert(0, os.path.join(BUILD, "python"))
import jointbus  # noqa: E402


@pytest.fixture
def servo_bus(tmp_path):
    emu = ServoEmulator(str(tmp_path / "ttyGRIP"), "1,2")
    yield emu
    emu.close()


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def arm_file(tmp_path, link, ids=(1,)):
    entries = "".join(
        f"  - {{vendor: feetech, id: {i}, dev_name: {link}, baudrate: 1000000}}\n" for i in ids)
    return write(tmp_path, "arm.yaml", "motor_init_para:\n" + entries)


@pytest.mark.parametrize("text, message", [
    (None, "not found, exit..."),
    ("motor_init_para: [", "config file"),
    ("motor_init_para:\n  - {vendor: damiao, id: 1, kp: .nan}\n", "kp is NaN or inf"),
    ("motor_init_para:\n  - {vendor: damiao, id: 99999999999}\n", "bad conversion"),
    ("motor_init_para:\n  - {vendor: damiao, id: 1, feedback_timeout_ms: 60001}\n",
     "feedback_timeout_ms must be a whole number from 0 to 60000"),
    ("motor_init_para: []\n", "no motors defined"),
    ("motor_init_para:\n  - {vendor: damiao, id: 1, motor_modle: 4310}\n",
     'entry 1: unknown key "motor_modle" (did you mean "motor_model"?)'),
    ("motor_init_para:\n  - {vendor: damaio, id: 1}\n",
     'entry 1: unknown vendor "damaio" (did you mean "damiao"?), the entry is skipped'),
])
def test_configuration_errors_raise_with_the_tools_messages(tmp_path, text, message):
    path = str(tmp_path / "missing.yaml") if text is None else write(tmp_path, "m.yaml", text)
    with pytest.raises(ValueError, match=re.escape(message)):
        jointbus.load_config(path)


def test_load_config_builds_each_family_in_file_order(tmp_path):
    path = write(tmp_path, "m.yaml", "motor_init_para:\n"
                 "  - {vendor: feetech, id: 3, dev_name: /dev/null}\n"
                 "  - {vendor: damiao, id: 1, master_id: 0x11, dev_name: vcan9, motor_model: 4310}\n")
    servo, joint = jointbus.load_config(path)
    assert isinstance(servo, jointbus.FeetechServo) and servo.id == 3
    assert isinstance(joint, jointbus.DamiaoMotor) and joint.id == 1
    assert joint.feedback_timeout_ms == 100
    assert servo.feedback_age is None  # nothing heard yet
    assert servo.status()[0] == 5004


def test_servo_follows_position_targets_and_reads_back(servo_bus):
    servo = jointbus.FeetechServo(id=1, port=servo_bus.link)
    servo.init()
    assert wait_for(lambda: servo.status()[0] == 0)
    servo.enable()
    assert wait_for(lambda: servo.enabled)
    assert servo_bus.status(1)["torque"] == 1
    # Small steps, within the servo's 10° filter, as a control loop would send them.
    target = 0.3
    for _ in range(200):
        now = servo.position
        if abs(now - target) < 0.02:
            break
        servo.set_position(now + max(-0.08, min(0.08, target - now)))
        wait_for(lambda: False, 0.02)
    assert wait_for(lambda: abs(servo.position - target) < 0.03), servo.position
    assert servo.feedback_age is not None and servo.feedback_age < 5
    rows = jointbus.read_all([servo])
    assert len(rows) == 1 and abs(rows[0][0] - servo.position) < 0.05
    jointbus.command_all([servo], [servo.position])
    with pytest.raises(ValueError, match="2 positions for 1 motors"):
        jointbus.command_all([servo], [0.0, 0.0])
    servo.disable()
    assert wait_for(lambda: servo_bus.status(1)["torque"] == 0)


def test_faults_raise_motor_error_with_their_codes(tmp_path):
    silent = str(tmp_path / "nothing")
    os.symlink("/dev/null", silent)  # a port where no servo answers
    servo = jointbus.FeetechServo(id=7, port=silent)
    with pytest.raises(jointbus.MotorError) as refused:
        servo.set_position(0.1)  # not online
    assert refused.value.code == 5002
    assert "not online" in str(refused.value) and "code 5002" in str(refused.value)
    assert f"on motor 7 ({silent})" in str(refused.value)
    with pytest.raises(jointbus.MotorError) as nan:
        servo.set_velocity(float("nan"))
    assert nan.value.code == 5005
    code, text = servo.status()
    assert (code, text) == (5004, "no feedback yet, or offline (both families)")
    assert servo.position == servo.position  # properties never raise
    with pytest.raises(ValueError, match="torque needs a speed"):
        servo.set_position(0.0, torque=1.0)


@pytest.mark.parametrize("make, bus", [
    (lambda: jointbus.DamiaoMotor(model=4310, id=1, master_id=0x11, interface="jbabsent0"),
     "jbabsent0"),
    (lambda: jointbus.FeetechServo(id=1, port="/nonexistent/jbabsent"), "/nonexistent/jbabsent"),
])
def test_init_on_a_bus_that_is_not_there_raises_with_the_reason(make, bus):
    with pytest.raises(jointbus.MotorError) as absent:
        make().init()
    assert absent.value.code == 5004
    text = str(absent.value)
    assert f"init on motor 1 ({bus})" in text and f"{bus} cannot be opened: " in text
    reason = text.split("cannot be opened: ")[1]
    assert reason.split(" (code")[0] in ("No such device", "No such file or directory",
                                         "Address family not supported by protocol")


def test_arm_disables_every_motor_on_an_exception(tmp_path, servo_bus):
    path = arm_file(tmp_path, servo_bus.link, (1, 2))
    with pytest.raises(RuntimeError, match="control loop failed"):
        with jointbus.Arm(path) as arm:
            assert len(arm) == 2
            assert all(m.feedback_age is not None for m in arm)  # handed over once all report
            assert wait_for(lambda: all(m.enabled for m in arm))
            assert servo_bus.status(2)["torque"] == 1
            raise RuntimeError("control loop failed")
    assert servo_bus.status(1)["torque"] == 0
    assert servo_bus.status(2)["torque"] == 0
    assert arm.motors == []


def test_arm_names_a_motor_that_gives_no_feedback_and_stops_the_others(tmp_path, servo_bus):
    path = arm_file(tmp_path, servo_bus.link, (1, 3))  # no servo 3 on the bus
    with pytest.raises(jointbus.MotorError) as silent:
        with jointbus.Arm(path, feedback_timeout_s=0.5):
            pass
    assert silent.value.code == 5004
    assert f"motor 3 ({servo_bus.link}) gave no feedback within 0.5 s" in str(silent.value)
    assert servo_bus.status(1)["torque"] == 0


def test_arm_homes_only_when_asked(tmp_path, servo_bus):
    """Homing re-zeroes a motor wherever it stands: the default Arm sends no calibration."""
    path = arm_file(tmp_path, servo_bus.link, (1, 2))
    with jointbus.Arm(path) as arm:
        assert wait_for(lambda: all(m.enabled for m in arm))
    assert [servo_bus.status(i)["calibrations"] for i in (1, 2)] == [0, 0]
    with jointbus.Arm(path, home=True) as arm:
        assert wait_for(lambda: all(m.enabled for m in arm))
    assert [servo_bus.status(i)["calibrations"] for i in (1, 2)] == [1, 1]


def test_two_arms_with_the_same_ids_are_told_apart_by_bus(tmp_path, servo_bus):
    other = ServoEmulator(str(tmp_path / "ttyOTHER"), "1,2")
    try:
        entries = "".join(
            f"  - {{vendor: feetech, id: {i}, dev_name: {link}, baudrate: 1000000}}\n"
            for link in (servo_bus.link, other.link) for i in (1, 2))
        path = write(tmp_path, "two.yaml", "motor_init_para:\n" + entries)
        with jointbus.Arm(path) as arm:
            assert [(m.bus, m.id) for m in arm] == [
                (servo_bus.link, 1), (servo_bus.link, 2), (other.link, 1), (other.link, 2)]
            assert wait_for(lambda: all(m.enabled for m in arm))
            assert servo_bus.status(1)["torque"] == 1 and other.status(1)["torque"] == 1
        repeated = write(tmp_path, "repeated.yaml", "motor_init_para:\n" + entries + entries)
        with pytest.raises(ValueError, match="entries 1 and 5 are the same motor"):
            jointbus.load_config(repeated)
    finally:
        other.close()


def test_arm_disables_every_motor_on_keyboard_interrupt(tmp_path, servo_bus):
    path = arm_file(tmp_path, servo_bus.link)
    with pytest.raises(KeyboardInterrupt):
        with jointbus.Arm(path) as arm:
            assert wait_for(lambda: arm.motors[0].enabled)
            raise KeyboardInterrupt
    assert servo_bus.status(1)["torque"] == 0


def test_the_gil_is_released_while_the_library_waits(tmp_path):
    """A Python thread keeps counting while another waits in set_home on a servo that never
    answers (the wait ends by its time-out: 1.5 s, a whole 2 s for a servo)."""
    silent = str(tmp_path / "nothing")
    os.symlink("/dev/null", silent)
    servo = jointbus.FeetechServo(id=9, port=silent)
    servo.init()
    ticks = 0
    waiting = threading.Event()
    done = threading.Event()

    def waiter():
        waiting.set()
        try:
            servo.set_home(1500)
        except jointbus.MotorError as e:
            assert e.code == 3006
        done.set()

    thread = threading.Thread(target=waiter)
    thread.start()
    waiting.wait()
    while not done.is_set():
        ticks += 1
        done.wait(0.01)
    thread.join()
    assert ticks > 20  # about 200 without the GIL held; at most a few with it


def test_trace_recorder_writes_every_added_motor(tmp_path, servo_bus):
    servo = jointbus.FeetechServo(id=2, port=servo_bus.link)
    servo.init()
    recorder = jointbus.TraceRecorder()
    recorder.add_motor(servo)
    out = str(tmp_path / "run.csv")
    recorder.start(out, rate_hz=100)
    assert recorder.recording
    assert wait_for(lambda: recorder.samples >= 0 and os.path.getsize(out) > 0)
    wait_for(lambda: False, 0.3)
    recorder.stop()
    assert not recorder.recording
    lines = open(out).read().splitlines()
    assert lines[0].startswith("t,id,family")
    assert any(",2,feetech," in line for line in lines[1:])
    with pytest.raises(ValueError):
        recorder.start(str(tmp_path / "no" / "such" / "dir.csv"))


def test_can_interface_settings_are_bounded_and_shared_with_the_file(tmp_path):
    assert jointbus.can_interface("pyfd0") == {"tick_us": 0, "frame_gap_us": 100, "can_fd": False}
    jointbus.set_can_interface("pyfd0", tick_us=1000, frame_gap_us=0, can_fd=True)
    assert jointbus.can_interface("pyfd0") == {"tick_us": 1000, "frame_gap_us": 0, "can_fd": True}
    for bad, message in [({"tick_us": 499}, "tick_us"), ({"tick_us": 5001}, "tick_us"),
                         ({"frame_gap_us": -1}, "frame_gap_us"),
                         ({"frame_gap_us": 1001}, "frame_gap_us")]:
        with pytest.raises(ValueError, match=message):
            jointbus.set_can_interface("pyfd0", **bad)
    with pytest.raises(ValueError, match="no interface name"):
        jointbus.set_can_interface("")
    assert jointbus.can_interface("pyfd0")["tick_us"] == 1000, "a refusal changes nothing"

    # A file's can_interfaces are in force once it is loaded, and read back the same way.
    path = write(tmp_path, "fd.yaml",
                 "can_interfaces:\n  pyfd1: {tick_us: 2000, frame_gap_us: 50}\n"
                 "motor_init_para:\n"
                 "  - {vendor: damiao, id: 1, master_id: 0x11, dev_name: pyfd1, mode: 0,"
                 " motor_model: 4310}\n")
    assert len(jointbus.load_config(path)) == 1
    assert jointbus.can_interface("pyfd1") == {"tick_us": 2000, "frame_gap_us": 50,
                                               "can_fd": False}


def test_fatal_policy_is_exit_unless_set_and_refuses_unknown_names():
    assert jointbus.fatal_policy() == "exit"
    with pytest.raises(ValueError, match="not a policy"):
        jointbus.set_fatal_policy("carry_on")
    jointbus.set_fatal_policy("disable_bus")
    assert jointbus.fatal_policy() == "disable_bus"
    jointbus.set_fatal_policy("exit")


def test_realtime_options_refuse_bad_values():
    for bad, message in [({"priority": 100}, "priority"), ({"priority": -1}, "priority"),
                         ({"cpus": [-1]}, "cpu")]:
        with pytest.raises(ValueError, match=message):
            jointbus.set_realtime(**bad)
    jointbus.set_realtime()  # the normal scheduler: always permitted


def test_limits_clamp_commands_and_count_them():
    joint = jointbus.DamiaoMotor(model=4310, id=3, master_id=0x13, interface="jbnone0")
    assert joint.limits == {"position": None, "velocity": None, "torque": None, "step": None}
    joint.set_limits(position=(-0.5, 0.5), velocity=1.0)
    assert joint.limits == {"position": (-0.5, 0.5), "velocity": 1.0, "torque": None,
                            "step": None}
    joint.set_position(2.0, speed=4.0)
    joint.set_position(0.25)
    assert joint.limit_hits == 1
    with pytest.raises(ValueError, match="the minimum 1 is above the maximum -1"):
        joint.set_limits(position=(1.0, -1.0))
    assert joint.limits["velocity"] == 1.0  # a refusal changes nothing
    joint.set_limits()
    assert joint.limits["position"] is None


def test_impedance_commands_and_the_exit_policy_refuse_what_the_motor_cannot_take():
    joint = jointbus.DamiaoMotor(model=4310, id=4, master_id=0x14, interface="jbnone0")
    joint.set_impedance(0.1, kp=20.0, kd=1.5)
    joint.set_torque(0.5)
    with pytest.raises(ValueError, match=r"kp 600 and kd 1 must lie in \[0, 500\]"):
        joint.set_impedance(0.0, kp=600.0, kd=1.0)
    joint.set_exit_policy("damp_then_disable", damp_ms=300, damp_kd=0.5)
    for bad, message in [({"on_exit": "drop"}, "on_exit must be"),
                         ({"on_exit": "damp_then_disable", "damp_kd": 9.0}, "damp_kd 9 is beyond"),
                         ({"on_exit": "damp_then_disable", "damp_ms": 0}, "damp_ms must be")]:
        with pytest.raises(ValueError, match=message):
            joint.set_exit_policy(**bad)


@pytest.mark.parametrize("bumpless", [True, False])
def test_a_bumpless_enable_keeps_a_moved_servo_where_it_stands(servo_bus, bumpless):
    servo = jointbus.FeetechServo(id=1, port=servo_bus.link)
    servo.init()
    assert wait_for(lambda: servo.status()[0] == 0)
    servo.set_bumpless_enable(bumpless)
    goal = servo_bus.status(1)["goal"]
    servo_bus.command("hand 1 600 4000")  # moved by hand while its torque is off
    assert wait_for(lambda: abs(servo_bus.status(1)["pos"] - goal) > 300)
    servo_bus.command("hand 1 off")
    moved = servo_bus.status(1)["pos"]
    servo.enable()
    assert wait_for(lambda: servo_bus.status(1)["torque"] == 1)
    if bumpless:
        status = servo_bus.status(1)
        assert abs(status["goal"] - moved) < 20 and abs(status["pos"] - moved) < 20
    else:
        assert wait_for(lambda: abs(servo_bus.status(1)["pos"] - goal) < 20), "back to the old goal"
    servo.disable()


def test_the_command_watchdog_disables_a_silent_servo_once(servo_bus):
    servo = jointbus.FeetechServo(id=1, port=servo_bus.link)
    with pytest.raises(ValueError, match="motor 1 cannot damp: only a Damiao motor in MIT mode"):
        servo.set_command_watchdog(100, "damp")
    with pytest.raises(ValueError, match="motor 1 is not a Damiao motor in MIT mode"):
        servo.set_torque(0.1)
    with pytest.raises(ValueError, match="stall_ms needs a torque limit"):
        servo.set_fault_watch(stall_ms=100)
    with pytest.raises(ValueError, match="timeout_ms must be from 0 to 600000, not -1"):
        servo.set_command_watchdog(-1)
    servo.init()
    assert wait_for(lambda: servo.status()[0] == 0)
    servo.enable()
    assert wait_for(lambda: servo_bus.status(1)["torque"] == 1)
    servo.set_command_watchdog(100, "disable")  # and then no command
    assert wait_for(lambda: servo_bus.status(1)["torque"] == 0)
    assert wait_for(lambda: not servo.enabled)
    assert servo.command_timeouts == 1
    servo.set_command_watchdog(0)


def test_a_driven_cycle_moves_a_servo_and_refuses_what_it_cannot_drive(servo_bus):
    servo = jointbus.FeetechServo(id=1, port=servo_bus.link)
    with pytest.raises(ValueError, match="Feetech servo 1 on .* is not initialised"):
        jointbus.ControlCycle([servo]).start()
    servo.init()
    assert wait_for(lambda: servo.status()[0] == 0)
    servo.enable()
    assert wait_for(lambda: servo.enabled)
    with jointbus.ControlCycle([servo], watchdog_ms=10000, period_us=5000) as c:
        with pytest.raises(ValueError, match="is driven by another control cycle"):
            jointbus.ControlCycle([servo]).start()
        for _ in range(300):
            now = servo.position
            if abs(now - 0.2) < 0.02:
                break
            servo.set_position(now + max(-0.08, min(0.08, 0.2 - now)))
            assert c.cycle() == 0 and c.silent == []
        assert abs(servo.position - 0.2) < 0.03, servo.position
        assert c.cycles > 0
    with pytest.raises(ValueError, match="not started"):
        c.cycle()
    servo.disable()
    assert wait_for(lambda: servo_bus.status(1)["torque"] == 0)
