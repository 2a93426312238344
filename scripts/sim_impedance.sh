#!/usr/bin/env bash
# Runs the 1 kHz impedance example against three emulated Damiao joints on vcan0 for a while.
# Needs a kernel with CAN (the CAN bench).
#   scripts/sim_impedance.sh BUILD_DIR SECONDS cpp|python
set -u
cd "$(dirname "$0")/.."
if [[ $# -ne 3 || ! $2 =~ ^[0-9]+$ || ! $3 =~ ^(cpp|python)$ ]]; then
    echo "usage: scripts/sim_impedance.sh BUILD_DIR SECONDS cpp|python" >&2
    exit 2
fi
export SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info
emulator=""
cleanup() {
    [ -n "$emulator" ] && kill "$emulator" 2>/dev/null && wait "$emulator" 2>/dev/null
    emulator=""
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if ! ip link show vcan0 >/dev/null 2>&1; then
    ip link add dev vcan0 type vcan && ip link set vcan0 up || { echo "sim_impedance: cannot create vcan0"; exit 1; }
fi
"$1/bin/damiao_emulator" vcan0 1:0x11:4310:0 2:0x12:4310:0 3:0x13:4310:0 </dev/null &
emulator=$!
sleep 0.5
echo "sim_impedance: the $3 example holds three joints on a sine at 1 kHz for $2 s"
if [ "$3" = cpp ]; then
    "$1/examples/impedance" vcan0 "$2"
else
    PYTHONPATH="$1/python" /usr/bin/python3 examples/python/impedance.py vcan0 --seconds "$2"
fi
status=$?
cleanup
echo "sim_impedance: the example exited with status $status"
exit $status
