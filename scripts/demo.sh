#!/usr/bin/env bash
# The main job: builds jointbus and runs spinbench on a simulated arm (emulated Damiao motors
# on a virtual CAN bus), on the host where its kernel has CAN, else on the user-mode Linux
# CAN bench.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "demo: building (first run takes a few minutes)"
scripts/build.sh plain >/dev/null
state=$PWD/build/plain/demo-bench
tests/support/canbench.sh start "$state"
trap 'tests/support/canbench.sh stop "$state"' EXIT
tests/support/canbench.sh run "$state" "$PWD/scripts/sim_arm.sh" "$PWD/build/plain" "${DEMO_SECONDS:-10}"
