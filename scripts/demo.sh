#!/usr/bin/env bash
# Kolv Camera in one command: installs what it needs (as root), builds kolv-camera and
# kolv-publish, starts the camera on your PipeWire session (or on a private one when none is
# running), publishes the test pattern, records a few seconds with GStreamer's pipewiresrc and
# saves a PNG snapshot and the measured frame rate.
#   scripts/demo.sh            results in build/default/demo (or $KOLV_DEMO_DIR)
# Every process it starts is stopped again by pid when it ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
self="$root/scripts/demo.sh"
build="$root/build/default"
out=${KOLV_DEMO_DIR:-$build/demo}
frames=150 # 5 seconds

say() { echo "== $*"; }

# Processes started by record(), stopped newest first when the script exits.
DEMO_PIDS=()
stop_started() {
  local i pid
  for ((i = ${#DEMO_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${DEMO_PIDS[$i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

# The part that runs inside a PipeWire session: camera, companion, recording, snapshot.
record() {
  trap stop_started EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  wait_for() { # SECONDS COMMAND...
    local end=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do ((SECONDS < end)) || return 1; sleep 0.1; done
  }
  camera_node() { pw-cli ls Node 2>/dev/null | grep -q 'node.name = "kolv-camera"'; }

  if camera_node; then
    say "kolv-camera is already running in this session: using it"
  else
    say "starting kolv-camera (log: $out/camera.log)"
    "$build/src/app/kolv-camera" >"$out/camera.log" 2>&1 &
    DEMO_PIDS+=($!)
    wait_for 15 camera_node || { echo "kolv-camera did not appear in PipeWire; see $out/camera.log" >&2; return 1; }
  fi

  local runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
  local frame_file="$runtime/app-groups/group.kolv.vcamera/kolvcamera_frame_meta"
  local started
  started=$(date +%s)
  say "starting kolv-publish --pattern (log: $out/publish.log)"
  "$build/tools/kolv-publish" --pattern >"$out/publish.log" 2>&1 &
  DEMO_PIDS+=($!)
  published_now() { [ -s "$frame_file" ] && (($(stat -c %Y "$frame_file") >= started)); }
  wait_for 15 published_now || { echo "kolv-publish did not publish; see $out/publish.log" >&2; return 1; }

  say "recording $frames frames with pipewiresrc"
  local fifo="$out/frames.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  python3 "$root/tools/pattern_frames.py" "$fifo" --frames "$frames" \
    --save-last-pattern "$out/snapshot.bgra" >"$out/frames.txt" 2>&1 &
  local checker=$!
  DEMO_PIDS+=("$checker")
  if ! timeout 60 gst-launch-1.0 -v pipewiresrc target-object=kolv-camera num-buffers="$frames" do-timestamp=false \
    ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! identity silent=false \
    ! filesink location="$fifo" >"$out/consumer.log" 2>&1; then
    exec 3<>"$fifo" && exec 3>&- # let the checker see the end
    echo "the pipewiresrc consumer failed; see $out/consumer.log" >&2
    return 1
  fi
  local checked=0
  wait "$checker" || checked=$?
  rm -f "$fifo"
  python3 "$root/tools/pattern_frames.py" --buffer-log "$out/consumer.log" >"$out/rate.txt" 2>&1 || true
  [ -s "$out/snapshot.bgra" ] || { cat "$out/frames.txt" >&2; echo "no pattern frame was recorded" >&2; return 1; }

  say "saving the snapshot with pngenc"
  timeout 30 gst-launch-1.0 -q filesrc location="$out/snapshot.bgra" \
    ! rawvideoparse format=bgra width=1280 height=720 framerate=30/1 ! videoconvert ! pngenc \
    ! filesink location="$out/snapshot.png"
  rm -f "$out/snapshot.bgra"
  return "$checked"
}

if [ "${1:-}" = "--record" ]; then
  record
  exit
fi

cd "$root"
if [ "$(id -u)" = 0 ]; then
  say "installing packages"
  scripts/install-deps.sh
else
  echo "Not root: skipping package installation (run scripts/install-deps.sh as root if the build fails)."
fi

say "building kolv-camera and kolv-publish (build/default)"
cmake --preset default >/dev/null
cmake --build --preset default --target kolv-camera kolv-publish

mkdir -p "$out"
rm -f "$out/snapshot.png" "$out/frames.txt" "$out/rate.txt"
export KOLV_DEMO_DIR="$out"
session_ready() { pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'; }
status=0
if timeout 5 pw-cli info 0 >/dev/null 2>&1 && session_ready; then
  session="your PipeWire session"
  say "using $session"
  "$self" --record || status=$?
else
  session="a private PipeWire session (none was running for $(id -un))"
  say "starting $session"
  scripts/private-pipewire-session.sh "$self" --record || status=$?
fi

echo
say "Kolv Camera demo: results"
cat "$out/frames.txt" 2>/dev/null || true
cat "$out/rate.txt" 2>/dev/null || true
rate=$(sed -n 's/.*rate=\([0-9.]*\) frames\/s.*/\1/p' "$out/rate.txt" 2>/dev/null)
echo "Session:    $session"
echo "Snapshot:   $out/snapshot.png"
echo "Frame rate: ${rate:-unknown} frames/s, measured by pipewiresrc over $frames frames"
echo "Logs:       $out/{camera,publish,consumer}.log"
if ((status)); then
  echo "The demo FAILED (see the lines above and the logs)." >&2
  exit "$status"
fi
echo "To see it in your own applications, run $build/src/app/kolv-camera and"
echo "$build/tools/kolv-publish --pattern, then open \"Kolv Camera\" (docs/pipewire.md)."
