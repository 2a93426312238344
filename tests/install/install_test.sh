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
echo "install test: ok"
