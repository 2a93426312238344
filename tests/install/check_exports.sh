#!/usr/bin/env bash
# The library exports only its public classes and functions.
set -euo pipefail
lib=$1
allowed='^(CtrlMotorInterface|ConsumerInterface|HardwareIO|VirtualMotor|get_lib_version|PrivateTimer|DriverCan|CanFrame|damiaoMotor|Damiao::Damiao_Thread|DriverUart|FeetechDrvImpl|feetechMotor|servo::SMS_STS_THREAD|vantrel::Logger|TraceRecorder|Damiao::RegisterBus|Feetech::RegisterPort|jointbus::LiveView|jointbus::ReadBusCounters|jointbus::CheckCanInterfaceSettings|jointbus::SetCanInterfaceSettings|jointbus::GetCanInterfaceSettings|jointbus::CheckRealtimeSettings|jointbus::SetRealtime)($|::|\(|\[)'
bad=$(nm -DC --defined-only "$lib" | awk '$2 == "T" || $2 == "D" || $2 == "B" { $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
      | sed -E 's/^((non-)?virtual thunk to |typeinfo for |typeinfo name for |vtable for |VTT for )//' | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
    echo "unexpected exported symbols:"
    echo "$bad"
    exit 1
fi
echo "exports: ok"
