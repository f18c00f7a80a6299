#!/bin/bash
# Inside the VM, in a private PipeWire session (scripts/private-pipewire-session.sh), with
# udevd running: kolv-camera holds the loopback device and WirePlumber sees it.
#   one_camera.sh BUILD_DIR WORK expect-two|expect-one|module-returns
# expect-two (without the WirePlumber rule): waits until PipeWire lists "Kolv Camera" twice, the
# camera's node and WirePlumber's node of the device, and prints how long that took; it shows
# that the count below can see a second camera. expect-one (with the rule): for a settling time
# of 30 s or twice that, PipeWire lists exactly one (the camera's own node) and v4l2-ctl
# --list-devices one device "Kolv Camera". module-returns (v4l2loopback not loaded): the camera
# says so in one line and is on PipeWire all the same; once the module is loaded it takes the
# device; while it holds it, the kernel refuses to unload the module.
set -u
build=$1 work=$2 expect=$3
KOLV_V4L2_FORMAT=YUYV "$build/src/app/kolv-camera" >"$work/camera-$expect.log" 2>&1 &
camera=$!
trap 'kill $camera 2>/dev/null; wait $camera 2>/dev/null' EXIT
cameras() {  # the PipeWire video sources called "Kolv Camera...", one per line
  pw-dump 2>/dev/null | python3 -c '
import json, sys
for o in json.load(sys.stdin):
    props = (o.get("info") or {}).get("props") or {}
    if props.get("media.class") == "Video/Source" and str(props.get("node.description", "")).startswith("Kolv Camera"):
        print(props.get("node.name"), "|", props.get("node.description"))'
}
count() { cameras | wc -l; }
# Waits up to SECONDS (by the clock: each pw-dump takes seconds in the emulated guest) for COMMAND.
within() { local until=$(($(date +%s) + $1)); shift; while ! "$@"; do [ "$(date +%s)" -lt $until ] || return 1; sleep 0.5; done; }
at_least() { [ "$(count)" -ge "$1" ]; }
start=$(date +%s)
if [ "$expect" = module-returns ]; then
  within 60 at_least 1
  [ "$(count)" = 1 ] || { echo "the camera is not on PipeWire without the device"; exit 1; }
  missing=$(grep -c "V4L2 output: no v4l2loopback device labelled \"Kolv Camera\"" "$work/camera-$expect.log")
  [ "$missing" = 1 ] || { echo "$missing lines about the missing device, not 1"; exit 1; }
  modprobe v4l2loopback devices=1 video_nr=10 card_label="Kolv Camera" exclusive_caps=1 || exit 1
  for _ in $(seq 600); do grep -q "V4L2 output: writing YUYV" "$work/camera-$expect.log" && break; sleep 0.1; done
  grep -q "V4L2 output: writing YUYV 1280x720 at 30 fps into /dev/video10" "$work/camera-$expect.log" ||
    { echo "the camera did not take the device once it was there"; exit 1; }
  echo "the device was taken $(($(date +%s) - start)) s after the camera started; PipeWire listed the camera meanwhile"
  if rmmod v4l2loopback 2>"$work/rmmod.txt"; then echo "the module went while the camera held it"; exit 1; fi
  echo "rmmod while the camera holds the device: $(cat "$work/rmmod.txt")"
  exit 0
fi
within 60 at_least 1
for _ in $(seq 300); do grep -q "V4L2 output: writing YUYV" "$work/camera-$expect.log" && break; sleep 0.1; done
grep -q "V4L2 output: writing YUYV" "$work/camera-$expect.log" || { echo "the camera does not hold the device"; exit 1; }
# With exclusive_caps=1 the device became a capture device only now, after WirePlumber looked
# at it; a udev change event makes it look again, as when the camera starts before WirePlumber.
udevadm trigger --action=change --subsystem-match=video4linux
if [ "$expect" = expect-two ]; then
  within 120 at_least 2
  cameras
  [ "$(count)" = 2 ] || { echo "no second camera from WirePlumber in 120 s"; exit 1; }
  echo "$(($(date +%s) - start))" >"$work/second-camera-seconds"
  echo "WirePlumber's node of the device came $(cat "$work/second-camera-seconds") s after the camera started"
  exit 0
fi
settle=30
[ -f "$work/second-camera-seconds" ] && settle=$((2 * $(cat "$work/second-camera-seconds")))
((settle < 30)) && settle=30
deadline=$(($(date +%s) + settle))
while [ "$(date +%s)" -lt $deadline ]; do
  n=$(count)
  [ "$n" = 1 ] || { cameras; echo "PipeWire lists $n cameras called Kolv Camera"; exit 1; }
  sleep 1
done
cameras
wpctl status 2>&1 | sed -n '/^Video/,/^Settings/p' | grep -i "kolv" | sed 's/^/wpctl: /'
devices=$(v4l2-ctl --list-devices 2>/dev/null | grep -c "^Kolv Camera")
echo "after ${settle} s: one PipeWire camera; v4l2-ctl lists $devices device(s) called Kolv Camera"
[ "$devices" = 1 ]
