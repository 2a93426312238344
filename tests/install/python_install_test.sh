#!/usr/bin/env bash
# The Python module as users get it: installed by `cmake --install` into a scratch prefix, and
# packaged by `cpack -G DEB` then unpacked with `dpkg -x` (dpkg -i needs a whole machine). Each
# time it is imported from a clean folder with only PYTHONPATH set, and must load the library
# that was installed beside it, not the build tree's.
#   python_install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Imports jointbus with `site` as the only extra path and checks where the library came from.
check_import() {
    local site=$1 libroot=$2
    (cd "$work" && env -u LD_LIBRARY_PATH PYTHONPATH="$site" SPDLOG_STDOUT=false \
        /usr/bin/python3 - "$libroot" <<'PY'
import sys
import jointbus
from jointbus import _jointbus
libroot = sys.argv[1]
assert _jointbus.__file__.startswith(libroot), _jointbus.__file__
with open("/proc/self/maps") as maps:
    libs = {line.split()[-1] for line in maps if "libjointbus.so" in line}
assert libs and all(lib.startswith(libroot) for lib in libs), libs
assert "jointbus version" in jointbus.version()
assert jointbus.DamiaoMotor(model=4310, id=1, master_id=0x11, interface="vcan0").id == 1
print("import ok from", libroot)
PY
    )
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
site=$(ls -d "$work"/prefix/lib/python3*/dist-packages)
test -f "$site/jointbus/__init__.pyi"
check_import "$site" "$work/prefix"

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/jointbus_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libyaml-cpp libspdlog libsocketcan libcpp-httplib libjs-dygraphs python3; do
    grep -q "$needed" <<<"$depends" || { echo "package lacks a dependency on $needed"; exit 1; }
done
contents=$(dpkg-deb -c "$deb")
grep -q "/bin/spinbench$" <<<"$contents"
grep -q "include/jointbus/common/ctrl_motor_interface.h$" <<<"$contents"
grep -q "include/jointbus/common/live_view.h$" <<<"$contents"
dpkg -x "$deb" "$work/root"
site=$(find "$work/root" -type d -name dist-packages -print -quit)
check_import "$site" "$work/root"
echo "python install test: ok"
