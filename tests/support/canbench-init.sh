#!/bin/sh
# Process 1 of the user-mode Linux CAN bench: loads the CAN modules, then runs the job files
# that canbench.sh drops into $JBSTATE/jobs until it finds $JBSTATE/halt.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts 2>/dev/null
mount -t tmpfs tmpfs /dev/shm 2>/dev/null
ip link set lo up
modules=${JBMODULES:-/usr/lib/uml/modules}/$(uname -r)/kernel
for m in net/can/can.ko net/can/can-raw.ko drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko \
    net/sched/sch_tbf.ko; do
    insmod "$modules/$m" || echo "canbench: insmod $m failed"
done
uname -r >"$JBSTATE/ready"
while [ ! -f "$JBSTATE/halt" ]; do
    for job in "$JBSTATE"/jobs/*.job; do
        [ -f "$job" ] || continue
        base=${job%.job}
        mv "$job" "$base.run"
        ( sh "$base.run" >"$base.out" 2>&1; echo $? >"$base.rc.tmp"; mv "$base.rc.tmp" "$base.rc" ) &
    done
    sleep 0.1
done
sync
halt -f
