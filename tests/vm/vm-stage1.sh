#!/bin/busybox sh
# The VM's first stage (the initramfs's /init, built by run-in-vm.sh): loads the virtio, 9p
# and overlayfs modules, mounts this machine's root read-only with a tmpfs on top, mounts the
# shared folder at /kolv-vm and hands over to vm-stage2.sh there.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do insmod "/modules/$module" || echo "stage1: insmod $module failed"; done </modules/order
fail() { echo "stage1: $*"; echo o >/proc/sysrq-trigger; sleep 10; }
mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=262144 hostroot /mnt/lower || fail "cannot mount the host's root"
mount -t tmpfs -o mode=0755 tmpfs /mnt/upper
mkdir -p /mnt/upper/data /mnt/upper/work
mount -t overlay -o lowerdir=/mnt/lower,upperdir=/mnt/upper/data,workdir=/mnt/upper/work overlay /newroot ||
  fail "cannot mount the overlay"
mkdir -p /newroot/kolv-vm
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 kolvshare /newroot/kolv-vm || fail "cannot mount the shared folder"
umount /proc /sys
mount --move /dev /newroot/dev
exec switch_root /newroot /bin/sh /kolv-vm/stage2.sh
