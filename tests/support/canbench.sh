#!/usr/bin/env bash
# The CAN test bench: real SocketCAN on vcan interfaces, on the host where its kernel has CAN,
# otherwise inside a user-mode Linux kernel that sees the host's file system.
#
#   canbench.sh start STATE      boot the bench (or check the host), wait until it is ready
#   canbench.sh run STATE CMD..  run CMD on the bench from the current directory; exit status
#                                and output are CMD's
#   canbench.sh stop STATE       halt the bench
#
# Inside the bench, jobs are files that the bench's init process picks up and runs.
set -u
action=${1:?usage: canbench.sh start|run|stop STATE [CMD...]}
state=${2:?usage: canbench.sh start|run|stop STATE [CMD...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
job_timeout=${CANBENCH_JOB_TIMEOUT:-900}

host_has_can() {
    # A vcan interface can be made here: the host kernel has CAN.
    local probe=jbprobe$$
    modprobe -q vcan 2>/dev/null || true
    modprobe -q can-raw 2>/dev/null || true
    if ip link add dev "$probe" type vcan 2>/dev/null; then
        ip link del "$probe" 2>/dev/null
        return 0
    fi
    return 1
}

case "$action" in
start)
    "$0" stop "$state" >/dev/null 2>&1
    rm -rf "$state"
    mkdir -p "$state/jobs"
    if [ "${CANBENCH_FORCE_UML:-0}" != 1 ] && host_has_can; then
        echo host >"$state/mode"
        echo "CAN bench: host kernel"
        exit 0
    fi
    echo uml >"$state/mode"
    # The kernel that scripts/setup-uml.sh unpacked where Debian 12's does not boot.
    kernel=/opt/jointbus-uml/linux.uml
    modules=/opt/jointbus-uml/modules
    if [ ! -x "$kernel" ]; then
        kernel=$(command -v linux.uml || true)
        modules=/usr/lib/uml/modules
    fi
    [ -n "$kernel" ] || { echo "CAN bench: linux.uml not found (install user-mode-linux)"; exit 1; }
    setsid "$kernel" mem=1536M rootfstype=hostfs rootflags=/ rw \
        init="$here/canbench-init.sh" con0=fd:0,fd:1 con=null \
        JBSTATE="$state" JBMODULES="$modules" </dev/null >"$state/console.log" 2>&1 &
    echo $! >"$state/pid"
    for _ in $(seq 1 600); do
        [ -f "$state/ready" ] && { echo "CAN bench: user-mode Linux $(cat "$state/ready")"; exit 0; }
        kill -0 "$(cat "$state/pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "CAN bench: the user-mode kernel did not come up; its console:"
    tail -n 40 "$state/console.log"
    exit 1
    ;;
run)
    if [ "$(cat "$state/mode" 2>/dev/null)" = host ]; then
        exec "$@"
    fi
    [ -f "$state/ready" ] || { echo "CAN bench is not running ($state)"; exit 1; }
    id=$$-$RANDOM
    job="$state/jobs/$id"
    {
        echo "cd '$PWD' || exit 99"
        # Carry the variables a test may depend on into the bench.
        env | grep -E '^(SPDLOG_|JOINTBUS_|GTEST_|VALGRIND)' | sed -E "s/^([^=]*)=(.*)$/export \1='\2'/"
        printf 'exec'
        printf " '%s'" "$@"
        echo
    } >"$job.tmp"
    mv "$job.tmp" "$job.job"
    # Stream the job's output while it runs.
    printed=0
    flush() {
        [ -f "$job.out" ] || return 0
        size=$(stat -c %s "$job.out")
        if [ "$size" -gt "$printed" ]; then
            tail -c +$((printed + 1)) "$job.out" | head -c $((size - printed))
            printed=$size
        fi
    }
    waited=0
    while [ ! -f "$job.rc" ]; do
        sleep 0.2
        flush
        waited=$((waited + 1))
        if [ $waited -gt $((job_timeout * 5)) ]; then
            echo "CAN bench: job timed out after ${job_timeout}s: $*"
            exit 124
        fi
        if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
            echo "CAN bench: the user-mode kernel ended while running: $*"
            exit 1
        fi
    done
    flush
    rc=$(cat "$job.rc")
    rm -f "$job.out" "$job.rc" "$job.run"
    exit "$rc"
    ;;
stop)
    [ -f "$state/pid" ] || exit 0
    pid=$(cat "$state/pid")
    touch "$state/halt"
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 -- -"$pid" 2>/dev/null || kill -9 "$pid" 2>/dev/null
    rm -f "$state/pid"
    exit 0
    ;;
*)
    echo "usage: canbench.sh start|run|stop STATE [CMD...]"
    exit 2
    ;;
esac
