#!/usr/bin/env bash
# Configures and builds one flavour of the tree: plain (default), thread or address.
#   scripts/build.sh [plain|thread|address] [release]
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
if [[ $# -gt 2 || ! $flavour =~ ^(plain|thread|address)$ || ! ${2:-release} = release ]]; then
    echo "usage: scripts/build.sh [plain|thread|address] [release]" >&2
    exit 2
fi
type=RelWithDebInfo
[ "${2:-}" = release ] && type=Release
sanitize=""
[ "$flavour" = plain ] || sanitize=$flavour
dir=build/$flavour
[ "$type" = Release ] && dir=build/release
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=$type -DJOINTBUS_WERROR=ON -DJOINTBUS_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)"
