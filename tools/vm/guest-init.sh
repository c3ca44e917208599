#!/bin/sh
# PID 1 inside the virtual machine: makes the usual mounts, runs the job that
# winvm left in its folder, records the exit status and powers off.
mount -t proc proc /proc
mount -t sysfs sys /sys
# Only the socket folders of X and Wine get a tmpfs of their own; the rest of
# /tmp stays this machine's, where a checkout may lie.
for d in /tmp/.X11-unix /tmp/.wine-0; do
    mkdir -p "$d"
    mount -t tmpfs -o mode=1777 tmp "$d"
done
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
job=$(sed -n 's/.*winvm_job=\([^ ]*\).*/\1/p' /proc/cmdline)
if [ -n "$job" ] && [ -f "$job/cmd" ]; then
    . "$job/env"
    cd "$(cat "$job/cwd")" && sh "$job/cmd" > "$job/output" 2>&1 < /dev/null
    echo $? > "$job/status"
fi
sync
echo o > /proc/sysrq-trigger
while :; do :; done
