#!/usr/bin/env bash
# Installs what jointbus needs to build, test and run its simulated bench on Debian 12.
# Safe to run again: installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git
    libspdlog-dev libfmt-dev libyaml-cpp-dev libsocketcan-dev libsystemd-dev
    googletest libgtest-dev libgmock-dev
    user-mode-linux patchelf kmod iproute2 can-utils
    valgrind systemd systemd-sysv procps
    clang libclang-rt-14-dev
    python3 python3-matplotlib python3-pytest
    python3-dev pybind11-dev python3-pybind11 dpkg-dev python3-can
    libcpp-httplib-dev libjs-dygraphs chromium chromium-driver python3-selenium
    cyclonedds-dev cyclonedds-tools
    file binutils lintian
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$(dirname "$0")/setup-uml.sh"
