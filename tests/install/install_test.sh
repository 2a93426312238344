#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs the example client against
# it twice: through the CMake package and through pkg-config.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(ls -d "$work"/prefix/lib*)
test -f "$work/prefix/include/jointbus/common/ctrl_motor_interface.h"
test -f "$libdir/cmake/jointbus/jointbusConfig.cmake"
test -f "$libdir/pkgconfig/jointbus.pc"

cmake -S "$source/examples/hello_motor" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info \
    "$work/cmake-build/hello_motor"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 "$source/examples/hello_motor/hello_motor.cpp" -o "$work/hello_pc" \
    $(pkg-config --cflags --libs jointbus)
LD_LIBRARY_PATH="$libdir" "$work/hello_pc"
# The library's ABI version: clients record the SONAME, and the logger's instance stays an
# object of type Logger (a reference would be 8 bytes under the same name), exported from the
# dynamic symbol table of the stripped library, as a package ships it.
lib=$(ls "$libdir"/libjointbus.so.*.*)
soname=$(readelf -d "$lib" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
test "$soname" = libjointbus.so.3 || { echo "SONAME $soname, expected libjointbus.so.3"; exit 1; }
readelf -d "$work/hello_pc" | grep -q 'NEEDED.*\[libjointbus.so.3\]'
strip --strip-unneeded -o "$work/stripped.so" "$lib"
logger=$(readelf --dyn-syms -W "$work/stripped.so" |
    awk '$8 == "_ZZN7vantrel6Logger8InstanceEvE8instance" && $7 != "UND" { print $3, $4, $5, $6 }')
read -r logger_size logger_type logger_bind logger_vis <<<"${logger:-0 - - -}"
case "$logger_type $logger_bind $logger_vis" in
    "OBJECT GLOBAL DEFAULT" | "OBJECT UNIQUE DEFAULT") ;;
    *) echo "the logger's instance is not exported (dynamic symbol: '$logger')"; exit 1 ;;
esac
test "$logger_size" -gt 8 || { echo "the logger's instance is $logger_size bytes, not a Logger"; exit 1; }

# A client that allocates the device classes through the header-only factory (so their size
# is compiled into it) runs against the installed library and tears them down cleanly.
cat >"$work/factory_client.cpp" <<'EOF_CLIENT'
#include <jointbus/common/motor_factory.h>

#include <cstdio>

int main() {
    const YAML::Node config = YAML::Load(
        "- {vendor: damiao, id: 3, master_id: 0x13, dev_name: jointbus-none0, motor_model: 4310}\n"
        "- {vendor: feetech, id: 2, dev_name: /nonexistent/jointbus-tty, baudrate: 1000000}\n");
    int built = 0;
    for (const auto& entry : config) {
        auto motor = MotorAllocate(entry);
        if (!motor) return 1;
        motor->setMotorPosition(0.25);
        double target = 0;
        if (auto* joint = dynamic_cast<damiaoMotor*>(motor.get())) {
            joint->setFeedbackTimeout(250);
            joint->getTargetPosition(target);
            if (joint->getFeedbackTimeout() != 250 || target != 0.25f) return 2;
        }
        ++built;
    }
    std::printf("factory client: %d motors built and released\n", built);
    return built == 2 ? 0 : 3;
}
EOF_CLIENT
# shellcheck disable=SC2046
c++ -std=c++17 "$work/factory_client.cpp" -o "$work/factory_client" $(pkg-config --cflags --libs jointbus)
LD_LIBRARY_PATH="$libdir" SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false "$work/factory_client"
# The live view is a library of its own, found through its own pkg-config file.
cat >"$work/view_client.cpp" <<'EOF_VIEW'
#include <jointbus/common/live_view.h>
#include <jointbus/common/virtual_motor.h>

int main() {
    VirtualMotor motor(1, false);
    jointbus::LiveView view;
    return view.addMotor(&motor) == 0 && view.start(0) == 0 && view.serving() ? 0 : 1;
}
EOF_VIEW
# shellcheck disable=SC2046
c++ -std=c++17 "$work/view_client.cpp" -o "$work/view_client" $(pkg-config --cflags --libs jointbus-view)
LD_LIBRARY_PATH="$libdir" SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false "$work/view_client"
readelf -d "$work/view_client" | grep -q 'NEEDED.*\[libjointbus-view.so.1\]'
# The DDS bridge too, found through pkg-config and through the CMake package; the core
# library itself loads no DDS.
cat >"$work/dds_client.cpp" <<'EOF_DDS'
#include <jointbus/common/virtual_motor.h>
#include <jointbus/dds/joint_bridge.h>

int main() {
    VirtualMotor motor(1, false);
    jointbus::JointBridge bridge;
    return bridge.addJoint("joint1", &motor) == 0 && jointbus::DdsTopicName("/joint_states") ==
                                                        "rt/joint_states" ? 0 : 1;
}
EOF_DDS
# shellcheck disable=SC2046
c++ -std=c++17 "$work/dds_client.cpp" -o "$work/dds_client" $(pkg-config --cflags --libs jointbus-dds)
LD_LIBRARY_PATH="$libdir" SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false "$work/dds_client"
readelf -d "$work/dds_client" | grep -q 'NEEDED.*\[libjointbus-dds.so.1\]'
mkdir -p "$work/dds-cmake"
cat >"$work/dds-cmake/CMakeLists.txt" <<'EOF_CMAKE'
cmake_minimum_required(VERSION 3.16)
project(dds_client CXX)
find_package(jointbus REQUIRED)
add_executable(dds_client ../dds_client.cpp)
target_link_libraries(dds_client PRIVATE jointbus::dds)
EOF_CMAKE
cmake -S "$work/dds-cmake" -B "$work/dds-cmake/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/dds-cmake/build" >/dev/null
needed=$(readelf -d "$lib")
if grep -q 'libddsc' <<<"$needed"; then echo "libjointbus.so needs DDS"; exit 1; fi
echo "install test: ok"
