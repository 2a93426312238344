"""Checks the trace of the simulated two-arm run (scripts/sim_arm.sh with JOINTBUS_SIM_ARMS=two):
all eight motors, the same ids on two buses, were recorded and driven towards their target.
    two_arms_trace.py TRACE_CSV"""

import csv
import sys


def main(path):
    rises = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(line for line in f if not line.startswith("#")):
            # A gripper's link is in the run's own directory: it is named by its side.
            bus = row["bus"]
            if row["family"] == "feetech":
                bus = "gripper-" + bus.rsplit("gripper-", 1)[-1]
            key = (row["family"], row["id"], bus)
            position = float(row["position"])
            low, high = rises.get(key, (position, position))
            rises[key] = (min(low, position), max(high, position))
    expected = {("damiao", str(i), bus) for i in (1, 2, 3) for bus in ("vcan0", "vcan1")}
    expected |= {("feetech", "1", f"gripper-{side}") for side in ("left", "right")}
    failures = [f"{k} not recorded" for k in sorted(expected - set(rises))]
    # The target is 2 rad; a loaded bench may hold a joint on the way, but every one moves.
    failures += [f"{k} moved only {high - low:.2f} rad" for k, (low, high) in sorted(rises.items())
                 if high - low < 0.3]
    for failure in failures:
        print("two_arms_trace:", failure)
    if not failures:
        print(f"two_arms_trace: {len(rises)} motors recorded, each moved towards its target")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
