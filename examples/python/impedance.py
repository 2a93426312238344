#!/usr/bin/python3
"""A 1 kHz impedance loop in MIT mode that drives its bus itself, the Python twin of
examples/impedance/impedance.cpp: three Damiao joints follow a slow sine through their
stiffness (kp) and damping (kd), with the sine's velocity as feed-forward. Each period the loop
sets the targets and runs one control cycle, which sends the frames at once and returns with
this cycle's feedback (the GIL is released while it waits). Ctrl-C (or --seconds) stops it; the
joints are held and disabled, and the loop's figures are printed.

    PYTHONPATH=build/plain/python examples/python/impedance.py vcan0 --seconds 5

Against the emulator: damiao_emulator vcan0 1:0x11:4310:0 2:0x12:4310:0 3:0x13:4310:0
"""

import argparse
import math
import signal
import statistics
import time

signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGTERM, signal.default_int_handler)

import jointbus  # noqa: E402

PERIOD_US = 1000
AMPLITUDE = 0.1  # rad
HZ = 0.5         # of the sine


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("interface", help="CAN interface of the three joints")
    parser.add_argument("--seconds", type=float, default=0.0,
                        help="stop after this long (default: run until Ctrl-C)")
    args = parser.parse_args()

    joints = [jointbus.DamiaoMotor(model=4310, id=i, master_id=0x10 + i,
                                   interface=args.interface, kp=20.0, kd=0.5)
              for i in (1, 2, 3)]
    for joint in joints:
        joint.init()
        joint.enable()
    time.sleep(0.1)  # enabled by the bus's ticks
    start = [joint.position for joint in joints]
    periods, errors = [], []
    cycles = silent_cycles = 0
    try:
        with jointbus.ControlCycle(joints, period_us=PERIOD_US,
                                   deadline_us=PERIOD_US * 9 // 10) as cycle:
            t0 = last = time.monotonic()
            deadline = t0
            w = 2 * math.pi * HZ
            while True:
                now = time.monotonic()
                t = now - t0
                if args.seconds and t >= args.seconds:
                    break
                if cycles:
                    periods.append((now - last) * 1e6)
                last = now
                for joint, q0 in zip(joints, start):
                    target = q0 + AMPLITUDE * math.sin(w * t)
                    errors.append(abs(joint.position - target))
                    joint.set_position(target, speed=AMPLITUDE * w * math.cos(w * t), torque=0.0)
                if cycle.cycle():
                    silent_cycles += 1
                cycles += 1
                deadline = max(deadline + PERIOD_US / 1e6, time.monotonic())
                time.sleep(max(0.0, deadline - time.monotonic()))
    except KeyboardInterrupt:
        pass
    finally:
        jointbus.hold_and_disable(joints)
    quantiles = statistics.quantiles(periods, n=100) if len(periods) > 1 else [math.nan] * 99
    print(f"impedance: {cycles} cycles at {1000000 // PERIOD_US} Hz, {silent_cycles} with a "
          f"silent joint; period median {statistics.median(periods or [math.nan]):.0f} us, "
          f"p99 {quantiles[98]:.0f} us; tracking error median "
          f"{statistics.median(errors or [math.nan]):.4f} rad")


if __name__ == "__main__":
    main()
