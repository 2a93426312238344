#!/usr/bin/env bash
# Benchmarks (not tests): builds in release mode and prints the Damiao sender's figures on
# the CAN bench and the Feetech scheduler's on a paced pseudo-terminal.
#   scripts/bench.sh [SECONDS_PER_ROW]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh plain release >/dev/null
seconds=${1:-3}
build/release/bin/feetech_scheduler_bench "$seconds"
echo
state=$PWD/build/release/bench-state
tests/support/canbench.sh start "$state" >/dev/null
trap 'tests/support/canbench.sh stop "$state"' EXIT
tests/support/canbench.sh run "$state" "$PWD/build/release/bin/damiao_sender_bench" "$seconds" 2>&1 |
    grep -v "no link data found"
