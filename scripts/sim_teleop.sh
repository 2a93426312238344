#!/usr/bin/env bash
# Leader and follower on emulated arms: two servo emulators with ids 1 to 6 on two
# pseudo-terminals; a scripted hand moves every leader servo (a slow sine of its own), and the
# example reads the leader and drives the follower. Pseudo-terminals need no CAN: runs anywhere.
#   scripts/sim_teleop.sh BUILD_DIR [SECONDS [python|cpp]]
set -u
cd "$(dirname "$0")/.."
build=$1
seconds=${2:-10}
client=${3:-python}
leader=/tmp/jointbus-sim-leader follower=/tmp/jointbus-sim-follower
export SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=${SPDLOG_LEVEL:-warning}
ready=$(mktemp -d)
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
if [ "$client" = cpp ]; then
    "$build/examples/teleop" examples/config/sim_teleop.yaml "$leader" "$follower" "$seconds"
else
    PYTHONPATH="$build/python" /usr/bin/python3 examples/python/teleop.py \
        examples/config/sim_teleop.yaml --leader "$leader" --follower "$follower" \
        --seconds "$seconds"
fi
status=$?
echo quit >&3
exec 3>&-
kill "$follower_pid" 2>/dev/null
wait "$follower_pid" 2>/dev/null
rm -rf "$ready"
echo "sim_teleop: the example exited with status $status"
exit $status
