"""Damiao CAN joint motors and Feetech serial servos from Python.

The library's C++ threads do all bus traffic every 5 ms; these calls only store targets and
read the last feedback, so a control loop in Python stays cheap::

    import jointbus
    with jointbus.Arm("motor.yaml") as arm:      # Arm(path, home=True) also zeroes each motor
        for _ in range(1000):
            rows = jointbus.read_all(arm.motors)
            jointbus.command_all(arm.motors, [0.0] * len(arm.motors))
"""

from ._jointbus import (  # noqa: F401
    ControlCycle,
    DamiaoMotor,
    FeetechServo,
    Motor,
    TraceRecorder,
    can_interface,
    command_all,
    fatal_policy,
    hold_and_disable,
    load_config,
    set_can_interface,
    set_fatal_policy,
    set_realtime,
    version,
)
from ._jointbus import read_all as _read_all

import time as _time

try:
    import numpy as _numpy
except ImportError:  # NumPy is optional
    _numpy = None

__all__ = [
    "Arm", "ControlCycle", "DamiaoMotor", "FeetechServo", "LiveView", "Motor", "MotorError", "TraceRecorder",
    "can_interface", "command_all", "fatal_policy", "hold_and_disable", "load_config", "read_all",
    "set_can_interface", "set_fatal_policy", "set_realtime", "version",
]


def __getattr__(name):
    # The live view is a module of its own: its web server is loaded only by a program that
    # makes a LiveView.
    if name == "LiveView":
        from ._jointbus_view import LiveView
        globals()["LiveView"] = LiveView
        return LiveView
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class MotorError(RuntimeError):
    """A motor operation returned a non-zero result code (see the README's table)."""

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return f"{self.message} (code {self.code})"


def read_all(motors):
    """Position, velocity and torque of every motor: an (n, 3) NumPy array where NumPy is
    importable, else a list of (position, velocity, torque) tuples."""
    rows = _read_all(motors)
    return _numpy.array(rows, dtype=float).reshape(len(rows), 3) if _numpy else rows


def _wait_for_first_feedback(motor, timeout_s):
    # Feedback, and online: a servo is online (takes setters) only once its scheduler has also
    # read its torque state, a moment after its first feedback.
    deadline = _time.monotonic() + timeout_s
    while motor.feedback_age is None or motor.status()[0] == 5004:
        if _time.monotonic() >= deadline:
            raise MotorError(5004, f"motor {motor.id} ({motor.bus}) gave no feedback within "
                                   f"{timeout_s:g} s")
        _time.sleep(0.01)


class Arm:
    """Every motor of a configuration file, started and stopped safely.

    Entering creates, inits and enables every motor, in file order; after each init it waits
    up to ``feedback_timeout_s`` for the motor's first feedback, so that control is handed over
    only once every motor reports, and raises MotorError (5004) naming a motor that does not.
    It does not home them:
    homing makes a Damiao motor store its present position as zero and re-calibrates a
    servo's middle, so on an arm that is not in its home pose every later target would land
    somewhere else. Pass ``home=True`` to home each motor as spinbench does (waiting up to
    ``home_timeout_ms`` for a Damiao motor and ``servo_home_timeout_ms`` for a servo; 0
    skips that motor's homing). Leaving, also on an exception or KeyboardInterrupt, holds
    each motor where it stands, disables it and waits for it. A failure while starting stops
    the motors started so far and raises.
    """

    def __init__(self, path, home=False, home_timeout_ms=200, servo_home_timeout_ms=200_000,
                 enable=True, feedback_timeout_s=3.0):
        self.path = path
        self.feedback_timeout_s = feedback_timeout_s
        self.home = home
        self.home_timeout_ms = home_timeout_ms
        self.servo_home_timeout_ms = servo_home_timeout_ms
        self.enable = enable
        self.motors = []

    def __enter__(self):
        self.motors = load_config(self.path)
        try:
            for motor in self.motors:
                motor.init()
                _wait_for_first_feedback(motor, self.feedback_timeout_s)
                limit = (self.servo_home_timeout_ms if isinstance(motor, FeetechServo)
                         else self.home_timeout_ms)
                if self.home and limit:
                    motor.set_home(limit)
                if self.enable:
                    motor.enable()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def close(self):
        """Holds, disables and waits for every motor; returns how many still report enabled."""
        motors, self.motors = self.motors, []
        return hold_and_disable(motors) if motors else 0

    def __iter__(self):
        return iter(self.motors)

    def __len__(self):
        return len(self.motors)
