#!/usr/bin/env bash
# The whole test suite: the plain build (with the CAN bench and its valgrind runs), then the
# ThreadSanitizer and AddressSanitizer+UndefinedBehaviorSanitizer builds on the host, then a
# short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 0 ] || { echo "usage: scripts/test.sh" >&2; exit 2; }
scripts/setup.sh

# The journal sink is tested against a real journal: start journald where none runs. A socket
# file alone proves nothing: a machine restored from an image can keep a stale one in /run.
if ! pgrep -x systemd-journal >/dev/null && [ "$(id -u)" -eq 0 ] && [ -x /lib/systemd/systemd-journald ]; then
    rm -f /run/systemd/journal/socket /run/systemd/journal/stdout /run/systemd/journal/dev-log
    /lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &
    journald=$!
    trap 'kill "$journald" 2>/dev/null' EXIT
    for _ in $(seq 1 50); do [ -S /run/systemd/journal/socket ] && break; sleep 0.1; done
fi

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/support/tsan.supp"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"

status=0
for flavour in plain thread address; do
    echo "=== $flavour build ==="
    scripts/build.sh "$flavour"
    ctest --test-dir "build/$flavour" --output-on-failure -j2 || status=1
done
echo "=== fuzz targets, 10 s each ==="
scripts/fuzz.sh 10 || status=1
exit $status
