#!/usr/bin/env bash
# Builds the Debian packages into build/package/: jointbus_VERSION_amd64.deb and, with the DDS
# bridge, jointbus-dds_VERSION_amd64.deb, installing under /usr as Debian packages do, with
# stripped binaries, and a -dbgsym .ddeb of each with their debug information.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 0 ] || { echo "usage: scripts/package.sh" >&2; exit 2; }
scripts/setup.sh
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DJOINTBUS_TESTS=OFF -DJOINTBUS_WERROR=ON >/dev/null
cmake --build build/package -j"$(nproc)"
rm -f build/package/*.deb build/package/*.ddeb
(cd build/package && cpack -G DEB >cpack.log 2>&1) || { cat build/package/cpack.log; exit 1; }
ls build/package/*.deb build/package/*.ddeb
