#!/usr/bin/env bash
# The soak run: 7 Damiao motors on an emulated CAN bus and 2 Feetech servos on an emulated
# serial bus at the 5 ms tick, with a random fault every few seconds; prints per-motor frame
# accounting and every fault with its recovery, and fails on a lost frame, an unrecovered
# fault, an ERROR line outside a fault, or a heap or descriptor count that grew.
#   scripts/soak.sh [SECONDS]    default 600 (the test command runs 30)
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -le 1 && ${1:-600} =~ ^[0-9]+$ ]] || { echo "usage: scripts/soak.sh [SECONDS]" >&2; exit 2; }
scripts/setup.sh
scripts/build.sh plain >/dev/null
state=$PWD/build/plain/soak-bench
tests/support/canbench.sh start "$state" >/dev/null
trap 'tests/support/canbench.sh stop "$state" >/dev/null' EXIT
CANBENCH_JOB_TIMEOUT=$(( ${1:-600} + 300 )) \
    tests/support/canbench.sh run "$state" "$PWD/build/plain/tests/soak" "${1:-600}" 2>&1 |
    grep -v -e "no link data found" -e "is not set, and set"
