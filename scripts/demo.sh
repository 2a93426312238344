#!/usr/bin/env bash
# The main job: builds jointbus and runs spinbench on a simulated arm (emulated Damiao motors
# on a virtual CAN bus and an emulated gripper servo), on the host where its kernel has CAN,
# else on the user-mode Linux CAN bench; records the run and plots it to build/demo/arm.png.
#   scripts/demo.sh [--python | --two-arms]
# --python runs the Python example (examples/python/arm_loop.py) on the same arm instead;
# --two-arms runs spinbench on two such arms with the same ids on vcan0 and vcan1, each with its
# own gripper port, and plots both to build/demo/two_arms.png.
# spinbench serves the live view of the arm while it runs, on port DEMO_VIEW_PORT (8765), and
# the script prints its address.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "demo: building (first run takes a few minutes)"
scripts/build.sh plain >/dev/null
state=$PWD/build/plain/demo-bench
demo=$PWD/build/demo
mkdir -p "$demo"
rm -f "$demo/arm.csv" "$demo/arm.png"
tests/support/canbench.sh start "$state"
trap 'tests/support/canbench.sh stop "$state"' EXIT
if [ "${1:-}" = --python ]; then
    JOINTBUS_SIM_CLIENT=python tests/support/canbench.sh run "$state" "$PWD/scripts/sim_arm.sh" \
        "$PWD/build/plain" "${DEMO_SECONDS:-10}"
    exit
fi
# spinbench serves the live view of the arm while it runs.
export JOINTBUS_SIM_VIEW=${DEMO_VIEW_PORT:-8765}
echo "demo: live view at http://127.0.0.1:$JOINTBUS_SIM_VIEW/ while the arm runs"
if [ "$(cat "$state/mode" 2>/dev/null)" != host ]; then
    echo "demo: (this kernel has no CAN, so the arm runs in the user-mode Linux bench, whose"
    echo "demo:  loopback only the bench reaches; where the kernel has CAN, open it in a browser)"
fi
name=arm
if [ "${1:-}" = --two-arms ]; then
    name=two_arms
    export JOINTBUS_SIM_ARMS=two
fi
rm -f "$demo/$name.csv" "$demo/$name.png"
tests/support/canbench.sh run "$state" "$PWD/scripts/sim_arm.sh" "$PWD/build/plain" \
    "${DEMO_SECONDS:-10}" "$demo/$name.csv"
/usr/bin/python3 scripts/plot_trace.py "$demo/$name.csv" --out "$demo/$name.png"
echo "demo: the run's trace is $demo/$name.csv, its picture $demo/$name.png"
