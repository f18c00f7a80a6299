#!/usr/bin/env bash
# Torn frames that slow V4L2 readers see on the camera's v4l2loopback device, by the module's
# max_buffers, in the small VM of tests/vm/run-in-vm.sh (emulated: 5 to 10 minutes).
#
#   bench/loopback_slow_readers.sh [--buffers "2 8"] [--holds "50 100"] [--runs N] [BUILD_DIR]
#       --buffers LIST  max_buffers values to load the module with, in turn (default "2 8")
#       --holds LIST    how long each reader takes over a frame, in ms (default "50 100")
#       --runs N        captures of 30 frames per reader, hold and setting (default 2)
#       BUILD_DIR       a build with kolv-camera and kolv-publish (default build/ci)
#
# The camera writes YUYV and kolv-publish --pattern runs. Two readers, each made slow: GStreamer's
# v4l2src holding every buffer (identity sleep-time) on its way to filesink, and ffmpeg copying
# frames into a pipe whose reader takes the hold for each. One line per capture:
# tests/vm/check_frames.py's summary, torn frames counted.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
usage() { sed -n '4,9p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-2}"; }
buffers="2 8" holds="50 100" runs=2 build=""
while (($#)); do
  case "$1" in
    -h | --help) usage 0 ;;
    --buffers) buffers=${2:-}; shift 2 ;;
    --holds) holds=${2:-}; shift 2 ;;
    --runs) runs=${2:-}; shift 2 ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) build=$1; shift ;;
  esac
done
build=$(cd "${build:-$root/build/ci}" 2>/dev/null && pwd) || { echo "no build folder" >&2; exit 2; }
[ -x "$build/src/app/kolv-camera" ] || { echo "$build has no kolv-camera; build it first" >&2; exit 2; }
if [ -z "${KOLV_VM_SHARE:-}" ]; then
  exec "$root/tests/vm/run-in-vm.sh" "$0" --buffers "$buffers" --holds "$holds" --runs "$runs" "$build"
fi

export XDG_RUNTIME_DIR=/tmp/kolv-xdg
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
work=$(mktemp -d)
camera_pid= publish_pid=
trap 'kill $publish_pid $camera_pid 2>/dev/null' EXIT
slow_reader() {  # FILE SECONDS: keeps each YUYV frame from stdin, taking SECONDS over it
  python3 -c '
import sys, time
size, out = 1280 * 720 * 2, open(sys.argv[1], "wb")
while frame := sys.stdin.buffer.read(size):
    out.write(frame)
    time.sleep(float(sys.argv[2]))' "$1" "$2"
}
summary() { python3 "$root/tests/vm/check_frames.py" "$1" pattern yuyv --torn-allowed | head -n 1; }
for n in $buffers; do
  rmmod v4l2loopback
  modprobe v4l2loopback devices=1 video_nr=10 card_label="Kolv Camera" exclusive_caps=1 max_buffers="$n" || exit 1
  KOLV_V4L2_FORMAT=YUYV "$build/src/app/kolv-camera" >"$work/camera.log" 2>&1 &
  camera_pid=$!
  for _ in $(seq 300); do grep -q "V4L2 output: writing YUYV" "$work/camera.log" && break; sleep 0.1; done
  "$build/tools/kolv-publish" --pattern --quiet >/dev/null 2>&1 &
  publish_pid=$!
  sleep 2
  for ms in $holds; do
    for run in $(seq "$runs"); do
      timeout 120 gst-launch-1.0 -q v4l2src device=/dev/video10 num-buffers=30 \
        ! video/x-raw,format=YUY2,width=1280,height=720 ! identity sleep-time=$((ms * 1000)) \
        ! filesink location="$work/gst.yuv" >"$work/gst.log" 2>&1 || grep -m 1 ERROR "$work/gst.log"
      echo "max_buffers=$n GStreamer holding ${ms} ms, run $run: $(summary "$work/gst.yuv")"
      timeout 120 ffmpeg -hide_banner -nostdin -loglevel error -f v4l2 -i /dev/video10 -frames:v 30 \
        -c:v copy -f rawvideo - 2>/dev/null | slow_reader "$work/ffmpeg.yuv" "$(awk "BEGIN { print $ms / 1000 }")"
      echo "max_buffers=$n ffmpeg into a pipe, ${ms} ms a frame, run $run: $(summary "$work/ffmpeg.yuv")"
      rm -f "$work/gst.yuv" "$work/ffmpeg.yuv"
    done
  done
  kill "$publish_pid" "$camera_pid"; wait "$publish_pid" "$camera_pid" 2>/dev/null
  publish_pid= camera_pid=
done
