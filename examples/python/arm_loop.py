#!/usr/bin/python3
"""A 200 Hz control loop over an arm from Python: every cycle reads all joints and streams a
sine target to each; Ctrl-C (or --seconds) stops it, and the arm is held and disabled.

Each joint first moves from where it stands onto the sine at --approach rad/s, since a motor
holds still when a target jumps far from it. At the end every joint must have followed its
target for the last second; one that did not is named and the exit status is 1.

    PYTHONPATH=build/plain/python examples/python/arm_loop.py examples/config/sim_arm.yaml

(scripts/demo.sh --python runs it on the simulated arm.) The library's threads do the bus
work; this loop only stores targets and reads the last feedback.
"""

import argparse
import collections
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
    parser.add_argument("--approach", type=float, default=0.5,
                        help="speed onto the sine from where each joint stands, rad/s")
    parser.add_argument("--tolerance", type=float, default=0.15,
                        help="largest lag, rad, that still counts as following (default 0.15)")
    args = parser.parse_args()

    cycles = missed = refused = 0
    worst = 0.0
    with jointbus.Arm(args.config) as arm:
        print(f"arm_loop: {len(arm)} motors enabled, {args.hz:g} Hz, Ctrl-C stops", flush=True)
        step = 1.0 / args.hz
        start = deadline = time.monotonic()
        # Where each joint is on its way onto the sine; then the lag of each over the last
        # second of the run (a window of cycles).
        on_the_way = [r[0] for r in jointbus.read_all(arm.motors)]
        targets = list(on_the_way)
        recent = [collections.deque(maxlen=max(1, int(args.hz))) for _ in arm]
        try:
            while args.seconds <= 0 or time.monotonic() - start < args.seconds:
                rows = jointbus.read_all(arm.motors)
                # How far each joint lags the target it was sent last cycle.
                lags = [abs(r[0] - t) for r, t in zip(rows, targets)]
                for window, lag in zip(recent, lags):
                    window.append(lag)
                worst = max([worst] + lags)
                phase = 2 * math.pi * (time.monotonic() - start) / args.period
                sine = args.amplitude * math.sin(phase)
                reach = args.approach * step
                on_the_way = [p + max(-reach, min(reach, sine - p)) for p in on_the_way]
                targets = list(on_the_way)
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
        behind = [(m, max(w)) for m, w in zip(arm.motors, recent)
                  if w and max(w) > args.tolerance]
    for motor, lag in behind:
        print(f"arm_loop: motor {motor.id} on {motor.bus} did not follow: {lag:.3f} rad behind "
              f"its target in the last second", flush=True)
    how = "cleanly" if not behind else f"with {len(behind)} motor(s) not following"
    print(f"arm_loop: stopped {how} after {cycles} cycles, {missed} missed their slot, "
          f"{refused} with a servo offline, largest lag {worst:.3f} rad", flush=True)
    return 1 if behind else 0


if __name__ == "__main__":
    sys.exit(main())
