#!/bin/sh
# PID 1 inside the virtual machine: makes the usual mounts, runs the job that
# winvm left in its folder, records the exit status and powers off.
mount -t proc proc /proc
mount -t sysfs sys /sys
# Sockets cannot live on 9p. X's socket folder and TMPDIR, where Wine keeps
# its server's, get a tmpfs; the rest of /tmp stays this machine's, where a
# checkout may lie.
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmp /tmp/.X11-unix
mount -t tmpfs run /run
mkdir -m 1777 /run/tmp
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
job=$(sed -n 's/.*winvm_job=\([^ ]*\).*/\1/p' /proc/cmdline)
if [ -n "$job" ] && [ -f "$job/cmd" ]; then
    . "$job/env"
    export TMPDIR=/run/tmp
    cd "$(cat "$job/cwd")" && sh "$job/cmd" > "$job/output" 2>&1 < /dev/null
    echo $? > "$job/status"
fi
sync
echo o > /proc/sysrq-trigger
while :; do :; done
