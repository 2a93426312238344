#!/usr/bin/env bash
# Runs spinbench on a simulated arm for a while, then stops it with SIGINT. Needs a kernel
# with CAN (scripts/demo.sh runs it on the CAN bench).
#   scripts/sim_arm.sh BUILD_DIR [SECONDS [TRACE_CSV]]
# With TRACE_CSV, spinbench records every motor into that file (--record). With
# JOINTBUS_SIM_CLIENT=python the Python example examples/python/arm_loop.py drives the arm instead.
set -u
cd "$(dirname "$0")/.."
bin=$1/bin
seconds=${2:-10}
record=()
[ -n "${3:-}" ] && record=(--record "$3")
export SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info

if ! ip link show vcan0 >/dev/null 2>&1; then
    ip link add dev vcan0 type vcan && ip link set vcan0 up || { echo "sim_arm: cannot create vcan0"; exit 1; }
fi
"$bin/damiao_emulator" vcan0 1:0x11:4310:0 2:0x12:4340:0 3:0x13:4310:0 </dev/null &
emulator=$!
"$bin/feetech_emulator" /tmp/jointbus-sim-gripper 1 --baud 1000000 </dev/null >/dev/null &
gripper=$!
sleep 0.5

# What a user does before the first run: find the motors, then check them against the file.
echo "sim_arm: jointcfg scan -i vcan0 --ids 1-8"
SPDLOG_STDOUT=false "$bin/jointcfg" scan -i vcan0 --ids 1-8
echo "sim_arm: jointcfg check -c examples/config/sim_arm.yaml"
if ! SPDLOG_STDOUT=false "$bin/jointcfg" check -c examples/config/sim_arm.yaml; then
    echo "sim_arm: the motors do not match the configuration; not starting"
    kill "$emulator" "$gripper" 2>/dev/null
    exit 1
fi

if [ "${JOINTBUS_SIM_CLIENT:-spinbench}" = python ]; then
    # The example stops itself after its loop has run that long (Ctrl-C stops it too).
    echo "sim_arm: the Python example streams a sine to 3 emulated Damiao joints and a Feetech gripper for ${seconds}s"
    PYTHONPATH="$1/python" /usr/bin/python3 examples/python/arm_loop.py \
        examples/config/sim_arm.yaml --seconds "$seconds"
    status=$?
else
    echo "sim_arm: spinbench drives 3 emulated Damiao joints and a Feetech gripper to 2 rad for ${seconds}s"
    echo "sim_arm: (joint 2 is mounted inverse)"
    "$bin/spinbench" -c examples/config/sim_arm.yaml -m 2 -p 2.0 -s 0.2 -f 20 "${record[@]}" &
    tool=$!
    sleep "$seconds"
    echo "sim_arm: sending SIGINT to spinbench"
    kill -INT "$tool"
    wait "$tool"
    status=$?
fi
kill "$emulator" "$gripper" 2>/dev/null
wait "$emulator" "$gripper" 2>/dev/null
echo "sim_arm: the client exited with status $status"
exit $status
