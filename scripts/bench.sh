#!/usr/bin/env bash
# The benchmark report (figures, not tests): builds in release mode, runs every benchmark
# program several times (JOINTBUS_BENCH_RUNS, default 3) and prints one table of medians, also
# written as JSON to build/release/bench.json.
#   scripts/bench.sh [SECONDS_PER_RUN]    default 3
# The Damiao rows run on the CAN bench (user-mode Linux where the host kernel has no CAN, with
# coarser timers and costlier system calls than the host: compare like with like); the others
# run on the host.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3}
[[ $# -le 1 && $seconds =~ ^[0-9]+$ ]] || { echo "usage: scripts/bench.sh [SECONDS]" >&2; exit 2; }
scripts/setup.sh
scripts/build.sh plain release >/dev/null
bin=$PWD/build/release/bin
rows=$PWD/build/release/bench-rows.jsonl
state=$PWD/build/release/bench-state
rm -f "$rows"
export JOINTBUS_BENCH_JSON=$rows

tests/support/canbench.sh start "$state" >/dev/null
trap 'tests/support/canbench.sh stop "$state" >/dev/null' EXIT
can_env=$(cat "$state/mode")
[ "$can_env" = uml ] && can_env="user-mode Linux $(cat "$state/ready")"

echo "jointbus benchmarks, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, host kernel $(uname -r);"
echo "Damiao rows on the CAN bench ($can_env), the others on the host. Medians of ${JOINTBUS_BENCH_RUNS:-3} runs of ${seconds} s."
echo "allocations/tick and ns/call of the log rows are per call. The client-loop rows are a 200 Hz loop that reads and"
echo "commands n Damiao motors: their CPU columns are the client process per cycle, frames/s the command frames each motor"
echo "received per second (nominal: 200), feedback/s the feedback frames delivered to the client per motor per second,"
echo "missed % its cycles that missed their 5 ms slot, python ÷ this the pure-Python loop's CPU per cycle over the row's."
echo "The host client-loop rows run the same loop on the host's kernel over the socket-pair transport double, where the"
echo "pure-Python loop does its own framing on the same sockets; their CPU columns leave the double's responder out."
echo "switches/tick: the voluntary thread switches per cycle of the library's threads (with a driven cycle, of the"
echo "loop's thread, less its own sleep); library threads: the threads the library started."
echo
printf '%s' "| bench | n | tick median µs | tick p99 µs | period mean µs | period p99 µs | set→wire median µs | set→wire p99 µs | frames/s | wire µs | tick/wire | library CPU µs/tick | library CPU % | allocations/tick | ns/call | missed % | feedback/s | python ÷ this | period median µs | period max µs | switches/tick | library threads |
|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|
"
# Programs print their rows on standard output; the bench's own chatter goes to standard error.
tests/support/canbench.sh run "$state" "$bin/damiao_sender_bench" "$seconds" 2>/dev/null | grep '^|'
tests/support/canbench.sh run "$state" "$bin/client_loop_bench" "$seconds" 2>/dev/null | grep '^|'
"$bin/feetech_scheduler_bench" "$seconds" 2>/dev/null
"$bin/idle_arm_bench" "$seconds" 2>/dev/null
"$bin/fast_tick_bench" "$seconds" 2>/dev/null
"$bin/host_client_loop_bench" "$seconds" 2>/dev/null
"$bin/dds_bridge_bench" "$seconds" 2>/dev/null
"$bin/log_cost_bench" 2>/dev/null

{
    printf '{"date": "%s", "cores": %s, "host_kernel": "%s", "can_bench": "%s", "runs": %s, "seconds_per_run": %s,\n "rows": [\n' \
        "$(date -u +%Y-%m-%dT%H:%MZ)" "$(nproc)" "$(uname -r)" "$can_env" "${JOINTBUS_BENCH_RUNS:-3}" "$seconds"
    sed '$!s/$/,/' "$rows"
    printf ']}\n'
} >build/release/bench.json
echo
echo "JSON: build/release/bench.json"
