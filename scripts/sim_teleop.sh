#!/usr/bin/env bash
# Leader and follower on emulated arms: two servo emulators with ids 1 to 6 on two
# pseudo-terminals; a scripted hand moves every leader servo (a slow sine of its own), and the
# example reads the leader and drives the follower. Pseudo-terminals need no CAN: runs anywhere.
#   scripts/sim_teleop.sh BUILD_DIR [SECONDS [python|cpp]]
set -u
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || $# -gt 3 || ! ${2:-10} =~ ^[0-9]+$ || ! ${3:-python} =~ ^(python|cpp)$ ]]; then
    echo "usage: scripts/sim_teleop.sh BUILD_DIR [SECONDS [python|cpp]]" >&2
    exit 2
fi
build=$1
seconds=${2:-10}
client=${3:-python}
export SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=${SPDLOG_LEVEL:-warning}
# The run's links, configuration and emulator output live in a directory of its own, removed on
# every exit, so that runs side by side do not meet and no link is left behind.
work=$(mktemp -d "${TMPDIR:-/tmp}/jointbus-teleop.XXXXXX")
ready=$work/ready
mkdir -p "$ready"
leader=$work/leader follower=$work/follower
config=$work/sim_teleop.yaml
sed -e "s|/tmp/jointbus-sim-leader|$leader|" -e "s|/tmp/jointbus-sim-follower|$follower|" \
    examples/config/sim_teleop.yaml >"$config"
leader_pid="" follower_pid="" example=""
cleanup() {
    [ -n "$example" ] && kill -TERM "$example" 2>/dev/null && wait "$example" 2>/dev/null
    [ -n "$leader_pid" ] && { echo quit >&3; exec 3>&-; } 2>/dev/null
    [ -n "$follower_pid" ] && kill "$follower_pid" 2>/dev/null && wait "$follower_pid" 2>/dev/null
    leader_pid="" follower_pid=""
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# The leader's emulator takes its hand commands on descriptor 3.
exec 3> >(exec "$build/bin/feetech_emulator" "$leader" 1,2,3,4,5,6 --baud 1000000 >"$ready/leader")
leader_pid=$!
"$build/bin/feetech_emulator" "$follower" 1,2,3,4,5,6 --baud 1000000 </dev/null >"$ready/follower" &
follower_pid=$!
for side in leader follower; do
    for _ in $(seq 100); do grep -q '^ready' "$ready/$side" 2>/dev/null && break; sleep 0.1; done
done
# Each joint swings up to 20 degrees (227 ticks) at its own pace, as a hand moves an arm.
for id in 1 2 3 4 5 6; do
    echo "hand $id $((100 + 25 * id)) $((1500 + 400 * id))" >&3
done
echo "sim_teleop: a hand moves the leader on $leader; the $client example drives the follower on $follower for ${seconds}s"
# The example runs in the background so that a signal to this script is handled at once
# (bash runs a trap only once the command in the foreground has ended).
if [ "$client" = cpp ]; then
    "$build/examples/teleop" "$config" "$leader" "$follower" "$seconds" &
else
    PYTHONPATH="$build/python" /usr/bin/python3 examples/python/teleop.py \
        "$config" --leader "$leader" --follower "$follower" \
        --seconds "$seconds" &
fi
example=$!
wait "$example"
status=$?
example=""
cleanup
echo "sim_teleop: the example exited with status $status"
exit $status
