#!/usr/bin/env bash
# The library exports only its public classes and functions, and loads only what driving motors
# needs: no web server, TLS or compressor comes with it into a client.
set -euo pipefail
lib=$1
allowed='^(CtrlMotorInterface|ConsumerInterface|HardwareIO|VirtualMotor|get_lib_version|PrivateTimer|DriverCan|CanFrame|damiaoMotor|Damiao::Damiao_Thread|DriverUart|FeetechDrvImpl|feetechMotor|servo::SMS_STS_THREAD|vantrel::Logger|TraceRecorder|Damiao::RegisterBus|Feetech::RegisterPort|jointbus::ObserveMotor|jointbus::ReadMotor|jointbus::ReadThroughGetters|jointbus::MakeFinite|jointbus::RegisterMotorFamilyObserver|jointbus::ReadBusCounters|jointbus::BusOpenError|jointbus::CheckMotorLimits|jointbus::SetMotorLimits|jointbus::GetMotorLimits|jointbus::MotorLimitHits|jointbus::CheckCanInterfaceSettings|jointbus::SetCanInterfaceSettings|jointbus::GetCanInterfaceSettings|jointbus::CheckRealtimeSettings|jointbus::SetRealtime|jointbus::ControlCycle|jointbus::SetCommandWatchdog|jointbus::GetCommandWatchdog|jointbus::CommandTimeouts|jointbus::SetImpedance|jointbus::CheckImpedance|jointbus::SetTorqueCommand|jointbus::CheckExitPolicy|jointbus::SetExitPolicy|jointbus::GetExitPolicy|jointbus::StartExitDamping|jointbus::SetFaultWatch|jointbus::CheckFaultWatch|jointbus::GetFaultWatch|jointbus::LatchedFault|jointbus::ClearLatchedFault|jointbus::SetBumplessEnable|jointbus::GetBumplessEnable|jointbus::SetFatalPolicy|jointbus::GetFatalPolicy)($|::|\(|\[)'
bad=$(nm -DC --defined-only "$lib" | awk '$2 == "T" || $2 == "D" || $2 == "B" { $1 = ""; $2 = ""; sub(/^  /, ""); print }' \
      | sed -E 's/^((non-)?virtual thunk to |typeinfo for |typeinfo name for |vtable for |VTT for )//' | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
    echo "unexpected exported symbols:"
    echo "$bad"
    exit 1
fi
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
extra=$(echo "$needed" | grep -v -E '^lib(fmt|spdlog|yaml-cpp|socketcan|systemd|stdc\+\+|m|gcc_s|c|pthread|dl)\.so|^ld-linux' || true)
if [ -n "$extra" ]; then
    echo "the library needs more than driving motors does:"
    echo "$extra"
    exit 1
fi
echo "exports: ok"
