#!/usr/bin/env bash
# Runs spinbench on a simulated arm for a while, then stops it with SIGINT. Needs a kernel
# with CAN (scripts/demo.sh runs it on the CAN bench).
#   scripts/sim_arm.sh BUILD_DIR [SECONDS [TRACE_CSV]]
# With TRACE_CSV, spinbench records every motor into that file (--record). With
# JOINTBUS_SIM_CLIENT=python the Python example examples/python/arm_loop.py drives the arm instead,
# with JOINTBUS_SIM_CLIENT=readme the README's Python example.
# With JOINTBUS_SIM_ARMS=two it runs two arms with the same ids, the left on vcan0 and the
# right on vcan1, each with its own gripper port (examples/config/sim_two_arms.yaml).
# With JOINTBUS_SIM_VIEW=PORT spinbench also serves the live view on http://127.0.0.1:PORT/ (0: a
# free port, which spinbench logs).
set -u
cd "$(dirname "$0")/.."
if [[ $# -lt 1 || $# -gt 3 || ! ${2:-10} =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/sim_arm.sh BUILD_DIR [SECONDS [TRACE_CSV]]" >&2
    exit 2
fi
bin=$1/bin
seconds=${2:-10}
record=()
[ -n "${3:-}" ] && record=(--record "$3")
export SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info

# Everything this run makes (the grippers' links, its copy of the configuration, the
# emulators' output) is in a directory of its own, removed on every exit: runs side by side do
# not meet, and no link is left behind to point at some later program's pseudo-terminal.
work=$(mktemp -d "${TMPDIR:-/tmp}/jointbus-sim.XXXXXX")
emulators=()
tool=""
cleanup() {
    [ -n "$tool" ] && kill -INT "$tool" 2>/dev/null && wait "$tool" 2>/dev/null
    [ ${#emulators[@]} -gt 0 ] && kill "${emulators[@]}" 2>/dev/null
    [ ${#emulators[@]} -gt 0 ] && wait "${emulators[@]}" 2>/dev/null
    emulators=()
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ "${JOINTBUS_SIM_ARMS:-one}" = two ]; then
    example=examples/config/sim_two_arms.yaml
    buses=(vcan0 vcan1)
    grippers=("$work/gripper-left" "$work/gripper-right")
    what="two arms (vcan0 and vcan1), 3 emulated Damiao joints and a Feetech gripper each"
else
    example=examples/config/sim_arm.yaml
    buses=(vcan0)
    grippers=("$work/gripper")
    what="3 emulated Damiao joints and a Feetech gripper"
fi
# The example file names the grippers' links under /tmp for a run by hand; this run's are its own.
config=$work/$(basename "$example")
sed "s|/tmp/jointbus-sim-gripper|$work/gripper|" "$example" >"$config"

for bus in "${buses[@]}"; do
    if ! ip link show "$bus" >/dev/null 2>&1; then
        ip link add dev "$bus" type vcan && ip link set "$bus" up || { echo "sim_arm: cannot create $bus"; exit 1; }
    fi
    "$bin/damiao_emulator" "$bus" 1:0x11:4310:0 2:0x12:4340:0 3:0x13:4310:0 </dev/null &
    emulators+=($!)
done
ready=$work/ready
mkdir -p "$ready"
for k in "${!grippers[@]}"; do
    "$bin/feetech_emulator" "${grippers[$k]}" 1 --baud 1000000 </dev/null >"$ready/$k" &
    emulators+=($!)
done
# Every emulator says "ready" once it answers; a loaded machine may take a while.
for k in "${!grippers[@]}"; do
    for _ in $(seq 100); do grep -q '^ready' "$ready/$k" 2>/dev/null && break; sleep 0.1; done
done
sleep 0.5

# What a user does before the first run: find the motors, then check them against the file.
for bus in "${buses[@]}"; do
    echo "sim_arm: jointcfg scan -i $bus --ids 1-8"
    SPDLOG_STDOUT=false "$bin/jointcfg" scan -i "$bus" --ids 1-8
done
# The servo's own answer wait is about 10 ms at 1 Mbaud; the bench runs four or six emulators
# on one processor, so give every answer 100 ms.
echo "sim_arm: jointcfg check -c $config --wait-ms 100"
if ! SPDLOG_STDOUT=false "$bin/jointcfg" check -c "$config" --wait-ms 100; then
    echo "sim_arm: the motors do not match the configuration; not starting"
    exit 1
fi

if [ "${JOINTBUS_SIM_CLIENT:-spinbench}" = readme ]; then
    # The README's Python example as written, run where its motor.yaml is this arm's file.
    echo "sim_arm: the README's Python example on $what"
    cp "$config" "$work/motor.yaml"
    awk '/^## Python$/ { section = 1 } section && /^```python$/ { on = 1; next }
         on && /^```$/ { exit } on { print }' README.md >"$work/example.py"
    (cd "$work" && PYTHONPATH="$(cd "$1" && pwd)/python" /usr/bin/python3 example.py)
    status=$?
elif [ "${JOINTBUS_SIM_CLIENT:-spinbench}" = python ]; then
    # The example stops itself after its loop has run that long (Ctrl-C stops it too).
    echo "sim_arm: the Python example streams a sine to $what for ${seconds}s"
    PYTHONPATH="$1/python" /usr/bin/python3 examples/python/arm_loop.py "$config" \
        --seconds "$seconds"
    status=$?
else
    echo "sim_arm: spinbench drives $what to 2 rad for ${seconds}s"
    echo "sim_arm: (joint 2 is mounted inverse)"
    bus_option=()
    [ ${#buses[@]} -gt 1 ] && bus_option=(--bus)
    if [ -n "${JOINTBUS_SIM_VIEW:-}" ]; then
        bus_option+=(--view "$JOINTBUS_SIM_VIEW")
        if [ "$JOINTBUS_SIM_VIEW" = 0 ]; then
            echo "sim_arm: live view of the arm on a free port while it runs (spinbench's \"live view:\" line)"
        else
            echo "sim_arm: live view of the arm at http://127.0.0.1:$JOINTBUS_SIM_VIEW/ while it runs"
        fi
    fi
    "$bin/spinbench" -c "$config" -m 2 -p 2.0 -s 0.2 -f 20 "${bus_option[@]}" "${record[@]}" &
    tool=$!
    sleep "$seconds"
    echo "sim_arm: sending SIGINT to spinbench"
    kill -INT "$tool"
    wait "$tool"
    status=$?
    tool=""
fi
cleanup
echo "sim_arm: the client exited with status $status"
exit $status
