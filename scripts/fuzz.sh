#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer on)
# and runs each for a fixed time from its committed seed corpus.
#
#   scripts/fuzz.sh [SECONDS]    seconds per target, default 300; the test command uses 10
#
# New inputs are kept in build/fuzz/corpus, never in the committed seeds. A crash, leak or
# sanitizer report fails the run and leaves the input as build/fuzz/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
[[ $# -le 1 && $seconds =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }
scripts/setup.sh

targets=(fuzz_damiao_feedback fuzz_feetech_reply fuzz_feetech_consume fuzz_motor_config
         fuzz_param_files fuzz_feetech_packets)
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DJOINTBUS_FUZZ=ON -DJOINTBUS_TESTS=OFF -DJOINTBUS_WERROR=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]}"

status=0
for t in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$t
    mkdir -p "$corpus"
    # Quiet logger: the targets feed bad input on purpose, and every rejection logs a line.
    if SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info \
        "build/fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/ "$corpus" "fuzz/corpus/$t" \
        >"build/fuzz/$t.log" 2>&1; then
        echo "fuzz $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/$t.log" | grep -o '[0-9]*$') runs in ${seconds}s, no finding"
    else
        echo "fuzz $t: FAILED; the end of its log:"
        tail -n 60 "build/fuzz/$t.log"
        status=1
    fi
done
exit $status
