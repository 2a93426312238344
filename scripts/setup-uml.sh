#!/usr/bin/env bash
# Makes sure that the CAN bench has a user-mode Linux kernel that boots on this machine.
#
# Debian 12's kernel (package user-mode-linux, 6.1) cannot run a process on a CPU with AMX: its
# buffer for a process's FP state is smaller than the host's, and the host refuses to restore
# it ("userspace - ptrace set fp regs failed, errno = 14", then a panic of init). Where that
# kernel does not boot, the kernel of Debian's development release is unpacked under
# /opt/jointbus-uml with the C library it was built for, and the bench boots that one.
# Safe to run again: a kernel that boots is kept.
set -euo pipefail
dest=/opt/jointbus-uml

# Boots `kernel` with an init that only reports and halts.
boots() {
    local kernel=$1 probe status=1
    probe=$(mktemp -d)
    printf '#!/bin/sh\necho up >%s/booted\nhalt -f\n' "$probe" >"$probe/init"
    chmod +x "$probe/init"
    timeout 120 "$kernel" mem=256M rootfstype=hostfs rootflags=/ rw init="$probe/init" \
        con0=fd:0,fd:1 con=null </dev/null >"$probe/console.log" 2>&1 || true
    [ -f "$probe/booted" ] && status=0
    rm -rf "$probe"
    return $status
}

[ -x "$dest/linux.uml" ] && boots "$dest/linux.uml" && exit 0
boots "$(command -v linux.uml)" && exit 0

echo "setup: Debian 12's user-mode Linux does not boot on this CPU; unpacking the development" \
     "release's kernel into $dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "deb http://deb.debian.org/debian sid main" >"$work/sources.list"
mkdir -p "$work/lists/partial"
apt=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts=-
     -o Dir::State::Lists="$work/lists" -o Debug::NoLocking=1)
apt-get "${apt[@]}" update -qq
(cd "$work" && apt-get -q "${apt[@]}" download user-mode-linux libc6 2>&1 | grep -v '^W:' || true)
rm -rf "$dest.new"
mkdir -p "$dest.new"
for deb in "$work"/user-mode-linux_*.deb "$work"/libc6_*.deb; do dpkg-deb -x "$deb" "$work/root"; done
cp "$work/root/usr/bin/linux.uml" "$dest.new/linux.uml"
cp -a "$work/root/usr/lib/uml/modules" "$dest.new/modules"
mkdir -p "$dest.new/lib"
cp -a "$work/root/usr/lib/x86_64-linux-gnu/." "$dest.new/lib/"
cp "$work/root/usr/lib64/ld-linux-x86-64.so.2" "$dest.new/lib/ld-linux-x86-64.so.2"
# The kernel must be started as itself (through its interpreter, not by running the loader),
# or it finds its memory laid out where it cannot use it.
patchelf --set-interpreter "$dest/lib/ld-linux-x86-64.so.2" --set-rpath "$dest/lib" \
    "$dest.new/linux.uml"
rm -rf "$dest"
mv "$dest.new" "$dest"
boots "$dest/linux.uml" || { echo "setup: no user-mode Linux kernel boots here"; exit 1; }
echo "setup: the CAN bench boots $dest/linux.uml"
