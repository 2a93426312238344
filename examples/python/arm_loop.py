#!/usr/bin/python3
"""A 200 Hz control loop over an arm from Python: every cycle reads all joints and streams a
sine target to each; Ctrl-C (or --seconds) stops it, and the arm is held and disabled.

    PYTHONPATH=build/plain/python examples/python/arm_loop.py examples/config/sim_arm.yaml

(scripts/demo.sh --python runs it on the simulated arm.) The library's threads do the bus
work; this loop only stores targets and reads the last feedback.
"""

import argparse
import math
import signal
import sys
import time

# Ctrl-C and SIGTERM stop the loop the same way, also when started in the background (where
# a shell leaves SIGINT ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGTERM, signal.default_int_handler)

import jointbus  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="motor configuration file (YAML)")
    parser.add_argument("--hz", type=float, default=200.0, help="loop rate (default 200)")
    parser.add_argument("--amplitude", type=float, default=0.3, help="sine amplitude, rad")
    parser.add_argument("--period", type=float, default=4.0, help="sine period, s")
    parser.add_argument("--seconds", type=float, default=0.0,
                        help="stop after this long (default: run until Ctrl-C)")
    args = parser.parse_args()

    cycles = missed = refused = 0
    worst = 0.0
    with jointbus.Arm(args.config) as arm:
        print(f"arm_loop: {len(arm)} motors enabled, {args.hz:g} Hz, Ctrl-C stops", flush=True)
        step = 1.0 / args.hz
        start = deadline = time.monotonic()
        targets = [0.0] * len(arm)
        try:
            while args.seconds <= 0 or time.monotonic() - start < args.seconds:
                rows = jointbus.read_all(arm.motors)
                # How far each joint lags the target it was sent last cycle.
                worst = max([worst] + [abs(r[0] - t) for r, t in zip(rows, targets)])
                phase = 2 * math.pi * (time.monotonic() - start) / args.period
                targets = [args.amplitude * math.sin(phase)] * len(arm)
                try:
                    jointbus.command_all(arm.motors, targets)
                except jointbus.MotorError as e:
                    # A servo that missed a reply is offline for a tick or two and refuses
                    # targets meanwhile (5002); the others got theirs. Any other fault stops.
                    if e.code != 5002:
                        raise
                    refused += 1
                cycles += 1
                if cycles % int(args.hz) == 0:
                    print(f"arm_loop: {cycles} cycles, positions "
                          + " ".join(f"{r[0]:+.3f}" for r in rows), flush=True)
                deadline += step
                pause = deadline - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                else:
                    missed += 1
                    deadline = time.monotonic()  # start again from now, do not catch up
        except KeyboardInterrupt:
            print("arm_loop: Ctrl-C, stopping", flush=True)
    print(f"arm_loop: stopped cleanly after {cycles} cycles, {missed} missed their slot, "
          f"{refused} with a servo offline, largest lag {worst:.3f} rad", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
