#!/usr/bin/env bash
# The Debian packages as scripts/package.sh builds them (jointbus, and jointbus-dds beside it): everything under /usr, stripped binaries
# with their debug information in the -dbgsym package, the example configurations in the
# documentation folder, a modest size, and no error from lintian.
#   package_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
scripts/package.sh >/dev/null
deb=$(ls build/package/jointbus_*_amd64.deb)
ddeb=$(ls build/package/jointbus-dbgsym_*_amd64.ddeb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "package test: $*"
    failed=1
}

paths=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
outside=$(grep -v -E '^/usr(/|$)|^/$' <<<"$paths" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
grep -q '^/usr/local' <<<"$paths" && fail "files under /usr/local"
for path in /usr/bin/spinbench /usr/bin/jointcfg \
            /usr/lib/x86_64-linux-gnu/libjointbus.so.3 /usr/lib/x86_64-linux-gnu/libjointbus-view.so.1 \
            /usr/lib/x86_64-linux-gnu/pkgconfig/jointbus.pc /usr/include/jointbus/common/live_view.h \
            /usr/lib/python3/dist-packages/jointbus/__init__.py \
            /usr/share/doc/jointbus/copyright /usr/share/doc/jointbus/changelog.gz \
            /usr/share/doc/jointbus/examples/sim_arm.yaml \
            /usr/share/doc/jointbus/examples/motor_template.yaml; do
    grep -q -x -F "$path" <<<"$paths" || fail "no $path"
done

# Stripped, with the debug information apart; the library still exports the logger.
dpkg -x "$deb" "$work/root"
# (Each output is taken whole before grep reads it: grep -q leaving early would fail the
# pipeline under pipefail.)
for binary in usr/bin/spinbench usr/lib/x86_64-linux-gnu/libjointbus.so.3; do
    sections=$(readelf -S "$work/root/$binary")
    grep -q '\.debug_info' <<<"$sections" && fail "$binary is not stripped"
done
symbols=$(readelf --dyn-syms -W "$work/root/usr/lib/x86_64-linux-gnu/libjointbus.so.3")
grep -q ' OBJECT .* DEFAULT .*_ZZN7vantrel6Logger8InstanceEvE8instance$' <<<"$symbols" ||
    fail "the stripped library does not export the logger's instance"
grep -q '/usr/lib/debug/.build-id/.*\.debug$' <<<"$(dpkg-deb -c "$ddeb")" ||
    fail "no debug information in $ddeb"

size=$(dpkg-deb -f "$deb" Installed-Size)
[ "$size" -lt 10000 ] || fail "installs $size KiB (more than 10 MiB: debug information?)"

# The DDS bridge is a package of its own: the main one carries no DDS and needs none.
dds=$(ls build/package/jointbus-dds_*_amd64.deb)
dds_paths=$(dpkg-deb -c "$dds" | awk '{ print $6 }' | sed 's|^\./|/|')
for path in /usr/bin/jointbridge /usr/lib/x86_64-linux-gnu/libjointbus-dds.so.1 \
            /usr/lib/x86_64-linux-gnu/pkgconfig/jointbus-dds.pc \
            /usr/include/jointbus/dds/joint_bridge.h /usr/share/doc/jointbus-dds/copyright; do
    grep -q -x -F "$path" <<<"$dds_paths" || fail "no $path in $dds"
done
grep -q -E 'jointbridge|dds' <<<"$paths" && fail "the main package carries the DDS bridge"
grep -q 'libddsc' <<<"$(dpkg-deb -f "$deb" Depends)" && fail "the main package depends on DDS"
grep -q 'jointbus (= ' <<<"$(dpkg-deb -f "$dds" Depends)" || fail "$dds does not depend on jointbus"

for package in "$deb" "$dds"; do
    lintian --no-tag-display-limit "$package" >"$work/lintian" 2>&1 || true
    grep -E '^E: ' "$work/lintian" && fail "lintian reports errors for $(basename "$package")"
done

[ $failed -eq 0 ] && echo "package test: ok ($(basename "$deb"), $size KiB installed)"
exit $failed
