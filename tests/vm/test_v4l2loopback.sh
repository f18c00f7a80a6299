#!/bin/bash
# The camera's V4L2 output on a real v4l2loopback device ("Kolv Camera", exclusive_caps=1), in
# the VM of run-in-vm.sh (it starts one when run outside it):
#   tests/vm/test_v4l2loopback.sh [BUILD_DIR]      (default build/ci)
# kolv-camera holds /dev/video10 as its writer, v4l2-ctl lists it as a capture device, and
# ffmpeg -f v4l2 and GStreamer's v4l2src read whole frames checked by content
# (check_frames.py): grey without a companion, kolv-publish's pattern while it runs (stamps and
# bars; in YUYV by their Y, U and V; numbers rising), grey again once it stops. --check reports
# the device. No reader: the stream stops and the camera uses no CPU. A reader's wait for frames
# is printed. Chromium without its PipeWire camera lists, opens and shows the camera. In a
# private PipeWire session with udevd: without the WirePlumber rule PipeWire lists "Kolv Camera"
# twice, with it once, and v4l2-ctl one device; the module loaded after the camera is taken.
# Last, another writer holding the device: one line, and the device taken once it has gone.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
if [ -z "${KOLV_VM_SHARE:-}" ]; then
  export KOLV_VM_MEMORY=${KOLV_VM_MEMORY:-2048}  # Chromium runs in it too
  exec "$here/run-in-vm.sh" "$here/test_v4l2loopback.sh" "$build"
fi

failures=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
wait_for() { local seconds=$1; shift; for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done; return 1; }

export XDG_RUNTIME_DIR=/tmp/kolv-xdg
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
work=$(mktemp -d)
camera_pid= publish_pid= writer_pid=
cleanup() {
  for pid in $publish_pid $camera_pid $writer_pid; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT

start_camera() {  # FORMAT [LOG NAME]
  local log="$work/camera-${2:-$1}.log"
  KOLV_V4L2_FORMAT=$1 "$build/src/app/kolv-camera" >"$log" 2>&1 &
  camera_pid=$!
  wait_for 30 grep -q "V4L2 output: writing $1 1280x720 at 30 fps into /dev/video10" "$log"
}
stop_camera() {
  kill "$camera_pid"; wait "$camera_pid"; local status=$?
  camera_pid=
  return $status
}
# The frames as the device gives them: copied, neither converted nor repeated to a constant
# rate. (Converting made ffmpeg slow enough in the emulated guest that the camera wrote into a
# buffer it was still copying: torn frames, the module's doing; docs/v4l2loopback.md.)
read_frames() {  # COUNT FILE: the device's frames as it carries them
  timeout 120 ffmpeg -hide_banner -nostdin -loglevel error -f v4l2 -i /dev/video10 -frames:v "$1" \
    -c:v copy -f rawvideo -y "$2"
}

echo "== V4L2 output, YUYV"
check "kolv-camera takes /dev/video10 as its writer (YUYV)" start_camera YUYV
v4l2-ctl -D -d /dev/video10 >"$work/caps.txt" 2>&1
check "v4l2-ctl: card \"Kolv Camera\", a capture device while the camera holds it" \
  eval 'grep -q "Card type *: Kolv Camera" "$work/caps.txt" && grep -A3 "Device Caps" "$work/caps.txt" | grep -q "Video Capture"'
"$build/src/app/kolv-camera" --check >"$work/check.txt" 2>&1
check "kolv-camera --check: the module, the device, the camera as its writer, in YUYV" eval \
  'grep -q "^\[ok\]   V4L2 loopback: module loaded\( (.*)\)\?, device /dev/video10 \"Kolv Camera\"" "$work/check.txt" &&
   grep -q "^\[ok\]   V4L2 loopback: written by kolv-camera (PID $camera_pid), YUYV:1280x720@30; no readers" "$work/check.txt"'
grep "V4L2 loopback" "$work/check.txt" | sed 's/^/  --check: /'
v4l2-ctl -d /dev/video10 --get-fmt-video >"$work/fmt.txt" 2>&1
check "v4l2-ctl: YUYV 1280x720" eval 'grep -q "Width/Height *: 1280/720" "$work/fmt.txt" && grep -q "YUYV" "$work/fmt.txt"'
check "ffmpeg reads 30 frames" read_frames 30 "$work/grey.yuv"
check "without a companion: grey (Y 0x47, U and V 0x80)" python3 "$here/check_frames.py" "$work/grey.yuv" grey yuyv
rm -f "$work/grey.yuv"  # the guest's /tmp is half its memory
"$build/tools/kolv-publish" --pattern --quiet >"$work/publish.log" 2>&1 &
publish_pid=$!
sleep 2
check "ffmpeg reads 30 frames of the pattern" read_frames 30 "$work/pattern.yuv"
check "with kolv-publish --pattern: its pattern (stamps and bars by their Y, U, V), numbers rising" \
  python3 "$here/check_frames.py" "$work/pattern.yuv" pattern yuyv
rm -f "$work/pattern.yuv"  # the guest's /tmp is half its memory
gst_frames() {  # COUNT FILE: GStreamer's v4l2src, as GStreamer applications read a camera
  timeout 120 gst-launch-1.0 -q v4l2src device=/dev/video10 num-buffers="$1" \
    ! video/x-raw,format=YUY2,width=1280,height=720 ! filesink location="$2" >"$work/gst.log" 2>&1 ||
    { tail -n 5 "$work/gst.log" | sed 's/^/  | /'; return 1; }
}
check "GStreamer v4l2src reads 30 frames" gst_frames 30 "$work/gst.yuv"
# v4l2src hands the mapped buffer itself down the pipeline; in the emulated guest filesink can
# still be writing it out when the camera writes the next-but-one frame into it (1 frame of 30,
# once). Torn frames are counted, not failed; ffmpeg's copies above must have none.
check "GStreamer v4l2src: the pattern, numbers rising" \
  python3 "$here/check_frames.py" "$work/gst.yuv" pattern yuyv --torn-allowed
rm -f "$work/gst.yuv"
echo "-- a reader's wait for frames (open to first and third frame; the guest is emulated)"
check "three readers each read three frames" python3 "$here/first_frame.py" /dev/video10 1843200 3
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$camera_pid/stat"; }
idle_cpu() {  # the camera's CPU over 10 s with the device held and no reader: under 1%
  sleep 2
  local before after
  before=$(cpu_ticks); sleep 10; after=$(cpu_ticks)
  echo "  the camera with no reader: $((after - before)) clock ticks of CPU in 10 s ($(getconf CLK_TCK) a second)"
  [ $((after - before)) -le $(($(getconf CLK_TCK) / 10)) ]
}
check "no reader: the camera uses no CPU to speak of" idle_cpu
check "SIGTERM: the camera exits with status 0" stop_camera
check "every start has its stop (no reader left)" eval \
  '[ "$(grep -c "stream started" "$work/camera-YUYV.log")" -ge 2 ] &&
   [ "$(grep -c "stream started" "$work/camera-YUYV.log")" = "$(grep -c "stream stopped" "$work/camera-YUYV.log")" ]'

echo "== V4L2 output, BGRA (the pattern's stamps read exactly)"
check "kolv-camera takes /dev/video10 again, in BGRA" start_camera BGRA
check "ffmpeg reads 60 frames" read_frames 60 "$work/pattern.bgra"
check "kolv-publish, running since before the camera's restart: the pattern, numbers rising" \
  python3 "$here/check_frames.py" "$work/pattern.bgra" pattern bgra --torn-allowed
rm -f "$work/pattern.bgra"  # the guest's /tmp is half its memory
kill "$publish_pid"; wait "$publish_pid" 2>/dev/null
"$build/tools/kolv-publish" --pattern --quiet >"$work/publish2.log" 2>&1 &
publish_pid=$!
sleep 2
check "ffmpeg reads 60 frames" read_frames 60 "$work/pattern2.bgra"
check "kolv-publish started after the camera: the pattern, numbers rising" \
  python3 "$here/check_frames.py" "$work/pattern2.bgra" pattern bgra --torn-allowed
rm -f "$work/pattern2.bgra"  # the guest's /tmp is half its memory
kill "$publish_pid"; wait "$publish_pid" 2>/dev/null; publish_pid=
sleep 1
check "ffmpeg reads 30 frames after the companion stopped" read_frames 30 "$work/after.bgra"
check "grey again after the companion stopped" python3 "$here/check_frames.py" "$work/after.bgra" grey bgra
rm -f "$work/after.bgra"  # the guest's /tmp is half its memory
check "SIGTERM: the camera exits with status 0" stop_camera

echo "== Chromium as it comes (no PipeWire camera: it takes /dev/video*), headless"
# A still image: the guest is emulated and Chromium holds each frame for seconds there, longer
# than v4l2loopback keeps the writer out of the buffer it reads (two frame times), so a picture
# that changes can be torn (docs/v4l2loopback.md); this checks what Chromium lists, opens and
# shows.
check "kolv-camera takes /dev/video10 (YUYV)" start_camera YUYV chromium
python3 "$root/tests/e2e/make_png.py" "$work/quadrants.png"
"$build/tools/kolv-publish" --image "$work/quadrants.png" --quiet >"$work/publish-image.log" 2>&1 &
publish_pid=$!
sleep 2
chromium_v4l2() {
  local started=$SECONDS
  printf 'devices 120000\nopen Kolv Camera\nframes 10 I\nquit\n' |
    timeout 600 env HOME="$work/chromium-home" KOLV_BROWSER_PROTOCOL_TIMEOUT_MS=300000 node "$root/tests/e2e/browsers/drive.mjs" chromium-v4l2 "$work" \
      >"$work/chromium.out" 2>"$work/chromium.log"
  sed 's/^/  chromium: /' "$work/chromium.out"
  echo "  (Chromium's run took $((SECONDS - started)) s)"
  local frames
  frames=$(grep "^frames=" "$work/chromium.out")
  grep -q "^cameras=.*Kolv Camera" "$work/chromium.out" &&
    grep -q "^label=Kolv Camera	width=1280	height=720" "$work/chromium.out" &&
    [[ "$frames" =~ pictures=([0-9]+) ]] && ((BASH_REMATCH[1] >= 5)) &&
    [[ "$frames" == *"grey_among=0"* && "$frames" == *"	T=0"* && "$frames" == *"other=0	wrong_kind=0"* ]] ||
    { tail -n 20 "$work/chromium.log" | sed 's/^/  | /'; return 1; }
}
check "Chromium lists \"Kolv Camera\", opens it at 1280x720 and sees the companion's image in every frame" \
  chromium_v4l2
kill "$publish_pid"; wait "$publish_pid" 2>/dev/null; publish_pid=
check "SIGTERM: the camera exits with status 0" stop_camera

echo "== PipeWire and WirePlumber: one camera, never two"
mkdir -p /run/systemd/seats /run/systemd/sessions /run/systemd/users /run/systemd/machines
/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
udevadm trigger --action=add --subsystem-match=video4linux >/dev/null 2>&1
udevadm settle --timeout=60
session() { "$root/scripts/private-pipewire-session.sh" "$here/one_camera.sh" "$build" "$work" "$1"; }
rule=/usr/share/wireplumber/main.lua.d/51-kolv-camera-v4l2.lua
rm -f "$rule"
check "without the rule WirePlumber makes the device a second camera (the count sees it)" session expect-two
cp "$root/resources/wireplumber/51-kolv-camera-v4l2.lua" "$rule"
check "with the rule: one PipeWire camera, one V4L2 device" session expect-one

echo "== The module comes after the camera"
rmmod v4l2loopback
check "missing: one line, PipeWire works; loaded: the device is taken; held: the module stays" session module-returns

echo "== Another writer holds the device, then leaves"
timeout 300 ffmpeg -hide_banner -nostdin -loglevel error -re -f lavfi -i testsrc=size=1280x720:rate=5 \
  -pix_fmt yuyv422 -f v4l2 /dev/video10 >"$work/other-writer.log" 2>&1 &
writer_pid=$!
# The emulated guest takes seconds to start ffmpeg: the camera starts once ffmpeg holds the device
# and has had time to write into it.
other_holds() { local pid; pid=$(pgrep -P "$writer_pid" -x ffmpeg) && ls -l "/proc/$pid/fd" 2>/dev/null | grep -q /dev/video10; }
check "the other writer (ffmpeg) opens the device" wait_for 60 other_holds
sleep 3
KOLV_V4L2_FORMAT=YUYV "$build/src/app/kolv-camera" >"$work/camera-held.log" 2>&1 &
camera_pid=$!
check "one line: held by another writer" wait_for 30 grep -q "V4L2 output: .*held by another writer" "$work/camera-held.log"
sleep 5
check "said once while it lasts" [ "$(grep -c "V4L2 output: " "$work/camera-held.log")" = 1 ]
kill "$writer_pid"; wait "$writer_pid" 2>/dev/null
check "taken once the other writer is gone" wait_for 30 grep -q "V4L2 output: writing YUYV" "$work/camera-held.log"
grep "V4L2 output: " "$work/camera-held.log" | sed 's/^/  camera: /'
check "ffmpeg reads 10 frames after that" read_frames 10 "$work/after-writer.yuv"
check "grey (no companion)" python3 "$here/check_frames.py" "$work/after-writer.yuv" grey yuyv

check "SIGTERM: the camera exits with status 0" stop_camera

if ((failures)); then
  for log in "$work"/camera-*.log; do echo "  --- $log"; tail -n 15 "$log" | sed 's/^/  | /'; done
  cp "$work"/*.log "$KOLV_VM_SHARE/" 2>/dev/null
  echo "  $failures check(s) failed"
  exit 1
fi
echo "  all checks passed"
