#!/bin/bash
# Runs a command in a small VM whose kernel has a v4l2loopback device, and exits with the
# command's status; 77 (one line says why) when this machine cannot run the VM, 2 when the
# command did not finish in it.
#
#   tests/vm/run-in-vm.sh [--kvm] COMMAND [ARG...]
#
# The guest runs Debian's packaged kernel (the newest under /boot with headers and a built
# v4l2loopback module) on qemu's TCG emulation (--kvm or KOLV_VM_KVM=1 asks for KVM, which
# nested setups often cannot give). Its root is this machine's root, shared read-only over 9p
# with a tmpfs on top, so the command sees this machine's files and programs, the current
# folder included (also under /tmp, /var/tmp or /run, which are otherwise fresh and empty),
# and what it writes goes away with the VM, except under $KOLV_VM_SHARE (a
# read-write folder shared with this machine, the host side given by KOLV_VM_KEEP or a scratch
# folder). Before the command runs, the guest has /dev/video10 from
#   modprobe v4l2loopback devices=1 video_nr=10 card_label="Kolv Camera" exclusive_caps=1
# The command's output is shown as it runs; the guest's console goes to console.log in the
# shared folder.
#
# Settings (environment): KOLV_VM_MEMORY (MiB, 1024), KOLV_VM_CPUS (2), KOLV_VM_TIMEOUT
# (seconds, 900), KOLV_VM_CACHE (kernel and initramfs, /var/tmp/kolv-vm), KOLV_VM_KEEP
# (host folder for the shared folder; kept afterwards).
# Missing Debian packages are installed with apt-get (as root).
set -euo pipefail

kvm=${KOLV_VM_KVM:-0}
if [ "${1:-}" = --kvm ]; then kvm=1; shift; fi
if [ $# = 0 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi

say() { echo "run-in-vm: $*" >&2; }
# This machine cannot run the VM: 77, which callers take as "skipped".
die() { say "$*"; exit 77; }

# ---- Packages ------------------------------------------------------------------------------
packages=(qemu-system-x86 linux-image-amd64 linux-headers-amd64 v4l2loopback-dkms busybox-static v4l-utils cpio kmod
          xz-utils udev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  [ "$(id -u)" = 0 ] || die "missing packages (${missing[*]}); install them as root: apt-get install ${missing[*]}"
  say "installing ${missing[*]} (a few minutes the first time)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2 ||
    die "apt-get could not install ${missing[*]}"
fi

# ---- The kernel: the newest under /boot with its modules, headers and v4l2loopback ----------
kernel=
for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  version=${image#/boot/vmlinuz-}
  if [ -d "/lib/modules/$version/kernel" ] && [ -e "/lib/modules/$version/build" ] &&
     modinfo -k "$version" v4l2loopback >/dev/null 2>&1; then
    kernel=$version
    break
  fi
done
[ -n "$kernel" ] || die "no kernel under /boot has both headers and a v4l2loopback module (dkms status: $(dkms status 2>&1 | tr '\n' ' '))"

cache=${KOLV_VM_CACHE:-/var/tmp/kolv-vm}/$kernel
mkdir -p "$cache"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# qemu boots an uncompressed ELF kernel directly (PVH), without a bootloader: unpack the xz
# stream inside the bzImage once.
if [ ! -s "$cache/vmlinux" ] || [ "/boot/vmlinuz-$kernel" -nt "$cache/vmlinux" ]; then
  offset=$(python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); print(d.find(b"\xfd7zXZ\x00"))' "/boot/vmlinuz-$kernel")
  [ "$offset" -ge 0 ] || die "/boot/vmlinuz-$kernel holds no xz stream"
  # xz complains about the bytes after the stream; the ELF check below is what counts.
  tail -c +"$((offset + 1))" "/boot/vmlinuz-$kernel" | xz -dc >"$cache/vmlinux.tmp" 2>/dev/null || true
  [ "$(head -c 4 "$cache/vmlinux.tmp" | od -A n -t x1 | tr -d ' ')" = 7f454c46 ] ||
    die "could not unpack /boot/vmlinuz-$kernel"
  mv "$cache/vmlinux.tmp" "$cache/vmlinux"
fi

# A tiny initramfs: busybox, the modules for virtio, 9p and overlayfs, and the first stage.
if [ ! -s "$cache/initramfs.cpio" ] || [ "$here/vm-stage1.sh" -nt "$cache/initramfs.cpio" ]; then
  staging=$(mktemp -d)
  mkdir -p "$staging"/{bin,dev,proc,sys,mnt/lower,mnt/upper,newroot,modules}
  cp /bin/busybox "$staging/bin/busybox"
  for module in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -S "$kernel" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
  done | awk '!seen[$0]++' >"$staging/modules/order"
  while read -r path; do cp "$path" "$staging/modules/"; done <"$staging/modules/order"
  sed -i 's|.*/||' "$staging/modules/order"
  cp "$here/vm-stage1.sh" "$staging/init"
  chmod +x "$staging/init"
  (cd "$staging" && find . | cpio -o -H newc --quiet) >"$cache/initramfs.cpio.tmp"
  mv "$cache/initramfs.cpio.tmp" "$cache/initramfs.cpio"
  rm -rf "$staging"
fi

# ---- The run --------------------------------------------------------------------------------
if [ -n "${KOLV_VM_KEEP:-}" ]; then
  share=$KOLV_VM_KEEP
  mkdir -p "$share"
  rm -f "$share"/{status,output.log,console.log,command.sh,cwd}
else
  share=$(mktemp -d "${TMPDIR:-/tmp}/kolv-vm.XXXXXX")
fi
qemu_pid=
cleanup() {
  if [ -n "$qemu_pid" ]; then kill "$qemu_pid" 2>/dev/null || true; wait "$qemu_pid" 2>/dev/null || true; fi
  [ -n "${KOLV_VM_KEEP:-}" ] || rm -rf "$share"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

{
  echo "cd $(printf '%q' "$PWD") 2>/dev/null || cd /"
  printf 'export KOLV_VM_SHARE=/kolv-vm\n'
  for name in PATH KOLV_BUILD_DIR KOLV_E2E_ONLY TMPDIR; do
    [ -n "${!name:-}" ] && printf 'export %s=%q\n' "$name" "${!name}"
  done
  printf '%q ' "$@"
  echo
} >"$share/command.sh"
printf '%s\n' "$PWD" >"$share/cwd"
cp "$here/vm-stage2.sh" "$share/stage2.sh"
: >"$share/output.log"

accel=(-accel tcg)
[ "$kvm" = 1 ] && accel=(-accel kvm -cpu host)
qemu-system-x86_64 "${accel[@]}" -machine q35 -m "${KOLV_VM_MEMORY:-1024}" -smp "${KOLV_VM_CPUS:-2}" \
  -bios /usr/share/qemu/qboot.rom -kernel "$cache/vmlinux" -initrd "$cache/initramfs.cpio" \
  -append "console=ttyS0 no_timer_check panic=-1 loglevel=4 rdinit=/init" \
  -no-reboot -display none -serial "file:$share/console.log" -monitor none -nodefaults \
  -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=share,path="$share",security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=share,mount_tag=kolvshare &
qemu_pid=$!

# Follow the command's output while the VM runs, up to the time limit.
tail -n +1 -f --pid="$qemu_pid" "$share/output.log" &
tail_pid=$!
deadline=$((SECONDS + ${KOLV_VM_TIMEOUT:-900}))
while kill -0 "$qemu_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 1; done
if kill -0 "$qemu_pid" 2>/dev/null; then
  say "the VM did not finish within ${KOLV_VM_TIMEOUT:-900} s; stopping it"
  kill "$qemu_pid"
fi
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=
wait "$tail_pid" 2>/dev/null || true

if [ ! -s "$share/status" ]; then
  say "the command did not finish in the VM; the guest's console:"
  tail -n 30 "$share/console.log" | sed 's/^/  | /' >&2
  exit 2
fi
exit "$(cat "$share/status")"
