"""The servo emulator as a child process of a Python test, on a pseudo-terminal published under
a link (the Python side of tests/support/feetech_emulator_process)."""

import os
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("JOINTBUS_BUILD", os.path.join(ROOT, "build", "plain"))


def wait_for(predicate, seconds=30):
    """Polls until predicate() holds; False after `seconds` (generous: only a failure waits)."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class ServoEmulator:
    def __init__(self, link, ids, baud=1000000):
        self.link = link
        self.proc = subprocess.Popen(
            [os.path.join(BUILD, "bin", "feetech_emulator"), link, ids, "--baud", str(baud)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        line = self.proc.stdout.readline()
        if not line.startswith("ready"):
            raise RuntimeError("feetech_emulator did not start: " + line)

    def status(self, servo_id):
        """{pos, goal, torque, mode, speed} of one servo."""
        self.proc.stdin.write("status\n")
        self.proc.stdin.flush()
        found = {}
        for line in iter(self.proc.stdout.readline, ""):
            if line == "end\n":
                break
            fields = line.split()
            if fields[:2] == ["servo", str(servo_id)]:
                found = {k: int(v) for k, v in (f.split("=") for f in fields[2:])}
        return found

    def command(self, line):
        """Sends one of the emulator's standard-input commands."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
