#!/bin/sh
# The VM's second stage, PID 1 on this machine's root (read-only, with a tmpfs on top): mounts
# the kernel's file systems, loads v4l2loopback, runs /kolv-vm/command.sh with its output in
# /kolv-vm/output.log, writes its exit status to /kolv-vm/status and powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
# The folders below get a fresh tmpfs; the command's folder (/kolv-vm/cwd, a clone under /tmp,
# say) stays where it is: seen through a view of the root taken before.
mkdir -p /kolv-root
mount --bind / /kolv-root
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs tmpfs /var/tmp
keep=$(cat /kolv-vm/cwd 2>/dev/null)
if [ -n "$keep" ] && [ "$keep" != / ] && [ ! -d "$keep" ]; then
  mkdir -p "$keep" && mount --bind "/kolv-root$keep" "$keep"
fi
hostname kolv-vm
ip link set lo up 2>/dev/null
{
  if modprobe v4l2loopback devices=1 video_nr=10 card_label="Kolv Camera" exclusive_caps=1; then
    for _ in $(seq 50); do [ -e /dev/video10 ] && break; sleep 0.1; done
    /bin/sh /kolv-vm/command.sh </dev/null
    echo $? >/kolv-vm/status.tmp
  else
    echo "stage2: cannot load v4l2loopback"
    echo 2 >/kolv-vm/status.tmp
  fi
} >>/kolv-vm/output.log 2>&1
mv /kolv-vm/status.tmp /kolv-vm/status
sync
echo o >/proc/sysrq-trigger
sleep 30
