#!/usr/bin/env bash
# The scripts a user runs refuse unknown arguments with their usage, and the simulation scripts
# leave nothing behind, neither after a normal end nor after SIGTERM: no directory, no link, no
# emulator.
#   cleanup_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
cd "$2"
tmp=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$tmp" "$log"' EXIT
failed=0
fail() {
    echo "cleanup test: $*"
    failed=1
}

for command in "scripts/demo.sh --two-arm" "scripts/demo.sh --python extra" \
               "scripts/sim_teleop.sh $build 3 rust" "scripts/sim_arm.sh" \
               "scripts/build.sh debug" "scripts/bench.sh soon" "scripts/test.sh all"; do
    $command >"$log" 2>&1
    status=$?
    [ $status -eq 2 ] || fail "'$command' exited $status, not 2"
    grep -q "usage: " "$log" || fail "'$command' did not show its usage: $(cat "$log")"
done

left_behind() {
    [ -z "$(ls -A "$tmp")" ] || fail "$1: left $(ls -A "$tmp")"
    pgrep -f "$tmp" >/dev/null && fail "$1: left $(pgrep -af "$tmp")"
}

TMPDIR=$tmp scripts/sim_teleop.sh "$build" 1 cpp >"$log" 2>&1 || fail "a short run failed: $(tail -3 "$log")"
left_behind "a run to its end"

TMPDIR=$tmp scripts/sim_teleop.sh "$build" 120 cpp >"$log" 2>&1 &
script=$!
for _ in $(seq 300); do grep -q "^teleop: 6 joints" "$log" && break; sleep 0.1; done
grep -q "^teleop: 6 joints" "$log" || fail "the run did not start: $(tail -3 "$log")"
kill -TERM "$script"
wait "$script"
left_behind "a run stopped by SIGTERM"

[ $failed -eq 0 ] && echo "cleanup test: ok"
exit $failed
