#!/usr/bin/env bash
# Runs the 1 kHz impedance example against three emulated Damiao joints on vcan0 for a while,
# or (gravity) the gravity-compensation example against one joint loaded like an arm link.
# Needs a kernel with CAN (the CAN bench).
#   scripts/sim_impedance.sh BUILD_DIR SECONDS cpp|python|gravity
set -u
cd "$(dirname "$0")/.."
if [[ $# -ne 3 || ! $2 =~ ^[0-9]+$ || ! $3 =~ ^(cpp|python|gravity)$ ]]; then
    echo "usage: scripts/sim_impedance.sh BUILD_DIR SECONDS cpp|python|gravity" >&2
    exit 2
fi
export SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info
emulator=""
fifo=$(mktemp -u /tmp/sim_impedance.XXXXXX)
cleanup() {
    exec 3>&- 2>/dev/null
    [ -n "$emulator" ] && kill "$emulator" 2>/dev/null && wait "$emulator" 2>/dev/null
    emulator=""
    rm -f "$fifo"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if ! ip link show vcan0 >/dev/null 2>&1; then
    ip link add dev vcan0 type vcan && ip link set vcan0 up || { echo "sim_impedance: cannot create vcan0"; exit 1; }
fi
# The emulator reads its commands from a pipe that this script holds open.
mkfifo "$fifo" || exit 1
"$1/bin/damiao_emulator" vcan0 1:0x11:4310:0 2:0x12:4310:0 3:0x13:4310:0 <"$fifo" &
emulator=$!
exec 3>"$fifo"
sleep 0.5
if [ "$3" = gravity ]; then
    echo "sim_impedance: the gravity example holds joint 1 against a 1.5 N·m load for $2 s"
    echo "gravity 1 1.5" >&3
    "$1/examples/gravity" vcan0 1.5 "$2"
elif [ "$3" = cpp ]; then
    echo "sim_impedance: the $3 example holds three joints on a sine at 1 kHz for $2 s"
    "$1/examples/impedance" vcan0 "$2"
else
    echo "sim_impedance: the $3 example holds three joints on a sine at 1 kHz for $2 s"
    PYTHONPATH="$1/python" /usr/bin/python3 examples/python/impedance.py vcan0 --seconds "$2"
fi
status=$?
cleanup
echo "sim_impedance: the example exited with status $status"
exit $status
