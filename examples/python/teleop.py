#!/usr/bin/python3
"""Leader and follower: a leader arm with its torque off is moved by hand and read at 200 Hz,
and a follower arm with the same ids on another port tracks it.

    PYTHONPATH=build/plain/python examples/python/teleop.py examples/config/sim_teleop.yaml \\
        --leader /tmp/jointbus-sim-leader --follower /tmp/jointbus-sim-follower

The configuration holds both arms; each motor belongs to the arm whose port (its bus) it is on,
and leader and follower joints are paired by id. Ctrl-C (or --seconds) stops it, and the
follower is held and disabled. At the end it prints how far the follower lagged: the position
error (median and p99 over all cycles and joints) and the delay that best lines the follower's
path up with the leader's. scripts/sim_teleop.sh runs it on emulated arms.
"""

import argparse
import signal
import sys
import time

signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGTERM, signal.default_int_handler)

import jointbus  # noqa: E402

STEP = 0.08  # rad: the largest step towards the leader per cycle


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else 0.0


def best_delay(leader, follower, max_shift):
    """The shift in cycles (0..max_shift) at which the follower's path is nearest the leader's."""
    def cost(shift):
        pairs = list(zip(leader[:len(leader) - shift], follower[shift:]))
        return sum(abs(a - b) for a, b in pairs) / max(1, len(pairs))
    return min(range(max_shift + 1), key=cost)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="motor configuration file with both arms (YAML)")
    parser.add_argument("--leader", required=True, help="the leader arm's port")
    parser.add_argument("--follower", required=True, help="the follower arm's port")
    parser.add_argument("--hz", type=float, default=200.0, help="loop rate (default 200)")
    parser.add_argument("--seconds", type=float, default=0.0,
                        help="stop after this long (default: run until Ctrl-C)")
    args = parser.parse_args()

    # Nothing is enabled on entry: the leader stays limp for the hand, the follower is enabled
    # below once the pairs are known.
    with jointbus.Arm(args.config, enable=False) as arm:
        leader = sorted((m for m in arm if m.bus == args.leader), key=lambda m: m.id)
        follower = sorted((m for m in arm if m.bus == args.follower), key=lambda m: m.id)
        if not leader or [m.id for m in leader] != [m.id for m in follower]:
            print(f"teleop: the leader's ids {[m.id for m in leader]} and the follower's "
                  f"{[m.id for m in follower]} do not pair up", file=sys.stderr)
            return 2
        for m in follower:
            # Once it answers, the follower holds where it stands when its torque comes on.
            deadline = time.monotonic() + 5
            while m.status()[0] == 5004 and time.monotonic() < deadline:
                time.sleep(0.01)
            m.set_position(m.position)  # MotorError 5002 if it never answered
            m.enable()
        print(f"teleop: {len(leader)} joints, leader {args.leader}, follower {args.follower}, "
              f"{args.hz:g} Hz, Ctrl-C stops", flush=True)
        step = 1.0 / args.hz
        history = [([], []) for _ in leader]  # per joint: leader and follower positions
        errors = []
        cycles = missed = 0
        start = deadline = time.monotonic()
        try:
            while args.seconds <= 0 or time.monotonic() - start < args.seconds:
                targets = [row[0] for row in jointbus.read_all(leader)]
                present = [row[0] for row in jointbus.read_all(follower)]
                for k, (target, now) in enumerate(zip(targets, present)):
                    history[k][0].append(target)
                    history[k][1].append(now)
                    errors.append(abs(target - now))
                # A servo holds still for a target more than 10 degrees from where it stands:
                # a follower far from the leader closes in by steps of at most STEP.
                steps = [now + max(-STEP, min(STEP, target - now))
                         for target, now in zip(targets, present)]
                try:
                    jointbus.command_all(follower, steps)
                except jointbus.MotorError as e:
                    if e.code != 5002:  # a servo offline for a tick refuses; others stop
                        raise
                cycles += 1
                deadline += step
                pause = deadline - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                else:
                    missed += 1
                    deadline = time.monotonic()
        except KeyboardInterrupt:
            pass
        shifts = [best_delay(a, b, int(args.hz * 0.3)) for a, b in history]
        delays_ms = sorted(s * 1000.0 / args.hz for s in shifts)
        print(f"teleop: {cycles} cycles, {missed} missed their slot; follower error median "
              f"{percentile(errors, 50):.4f} rad, p99 {percentile(errors, 99):.4f} rad; delay "
              f"median {percentile(delays_ms, 50):.0f} ms, worst joint {delays_ms[-1]:.0f} ms",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
