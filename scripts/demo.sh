#!/usr/bin/env bash
# The main job: builds jointbus and runs spinbench on a simulated arm (emulated Damiao motors
# on a virtual CAN bus and an emulated gripper servo), on the host where its kernel has CAN,
# else on the user-mode Linux CAN bench; records the run and plots it to build/demo/arm.png.
#   scripts/demo.sh [--python | --two-arms]
# --python runs the Python example (examples/python/arm_loop.py) on the same arm instead;
# --two-arms runs spinbench on two such arms with the same ids on vcan0 and vcan1, each with its
# own gripper port, and plots both to build/demo/two_arms.png.
# spinbench serves the live view of the arm while it runs, on a free port (DEMO_VIEW_PORT sets
# one), and prints its address. The run fails, naming the motor, when a motor did not reach
# its target.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
    echo "usage: scripts/demo.sh [--python | --two-arms]" >&2
    exit 2
}
mode=spinbench
case $# in
    0) ;;
    1) case $1 in
           --python) mode=python ;;
           --two-arms) mode=two-arms ;;
           -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
           *) echo "demo: unknown argument '$1'" >&2; usage ;;
       esac ;;
    *) usage ;;
esac
scripts/setup.sh
# The first build takes minutes: show where it is, one line a step, instead of a silence.
echo "demo: building (the first run takes a few minutes)"
scripts/build.sh plain | grep --line-buffered -E '^\[ *[0-9]+%\] Built target' |
    sed -u 's/^\[ *\([0-9]*\)%\] Built target /demo: build \1% (built /; s/$/)/'
state=$PWD/build/plain/demo-bench
demo=$PWD/build/demo
mkdir -p "$demo"
tests/support/canbench.sh start "$state"
trap 'tests/support/canbench.sh stop "$state"' EXIT
if [ "$mode" = python ]; then
    JOINTBUS_SIM_CLIENT=python tests/support/canbench.sh run "$state" "$PWD/scripts/sim_arm.sh" \
        "$PWD/build/plain" "${DEMO_SECONDS:-10}"
    exit
fi
# spinbench serves the live view of the arm while it runs: port 0 takes a free one, and
# spinbench logs the address ("live view: http://...").
export JOINTBUS_SIM_VIEW=${DEMO_VIEW_PORT:-0}
echo "demo: spinbench prints the live view's address (live view: http://...) as it starts"
if [ "$(cat "$state/mode" 2>/dev/null)" != host ]; then
    echo "demo: (this kernel has no CAN, so the arm runs in the user-mode Linux bench, whose"
    echo "demo:  loopback only the bench reaches; where the kernel has CAN, open it in a browser)"
fi
name=arm
if [ "$mode" = two-arms ]; then
    name=two_arms
    export JOINTBUS_SIM_ARMS=two
fi
rm -f "$demo/$name.csv" "$demo/$name.png"
tests/support/canbench.sh run "$state" "$PWD/scripts/sim_arm.sh" "$PWD/build/plain" \
    "${DEMO_SECONDS:-10}" "$demo/$name.csv"
echo "demo: the run's trace is $demo/$name.csv, its picture $demo/$name.png"
# spinbench drives every motor to 2 rad: say so only where the trace shows it.
/usr/bin/python3 scripts/plot_trace.py "$demo/$name.csv" --out "$demo/$name.png" --reached 2.0
