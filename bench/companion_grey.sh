#!/usr/bin/env bash
# Grey frames among a companion's pictures, as a GStreamer pipewiresrc consumer records them:
# kolv-publish --pattern at 30 and at 10 pictures a second, and --image, RUNS runs of FRAMES
# frames each, against kolv-camera in a private PipeWire session (the end-to-end harness's
# capture helpers and checkers).
#   bench/companion_grey.sh [BUILD_DIR [FRAMES [RUNS]]]   (defaults: build/default, 600, 3)
# KOLV_PUBLISH=PATH measures another kolv-publish (an older build, say) against the same camera.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd) || exit 2
frames=${2:-600}
runs=${3:-3}
publish=${KOLV_PUBLISH:-$build/tools/kolv-publish}
for program in "$build/src/app/kolv-camera" "$publish"; do
  [ -x "$program" ] || { echo "companion_grey: build $program first" >&2; exit 2; }
done

exec "$root/scripts/private-pipewire-session.sh" bash -c '
  export KOLV_BUILD_DIR=$1 KOLV_SOURCE_DIR=$2
  publish=$3 frames=$4 runs=$5
  . "$KOLV_SOURCE_DIR/tests/e2e/lib.sh"
  E2E_CONSUMER_TIMEOUT=$((frames / 30 + 60))
  echo "load average: $(cat /proc/loadavg)"
  start_camera || finish
  e2e_python make_png.py "$E2E_DIR/quadrants.png"

  # measure NAME CHECKER OPTIONS... -- PUBLISH_ARGS...: RUNS runs, one summary line each.
  measure() {
    local name=$1 checker=$2 options=() run
    shift 2
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    for run in $(seq "$runs"); do
      start_companion "$E2E_DIR/publish.log" "$publish" "$@" || continue
      sleep 1  # past the start, as a consumer that joins a running companion
      printf "%-16s run %d:" "$name" "$run"
      capture_checked "$checker" "$frames" "${options[@]}" | tr -s " " | head -n 1
      kill -TERM "$COMPANION_PID" && wait_exit "$COMPANION_PID" 10
    done
  }
  measure "pattern 30/s" ../../tools/pattern_frames.py -- --pattern --fps 30
  measure "pattern 10/s" ../../tools/pattern_frames.py -- --pattern --fps 10
  measure "image" check_colours.py --min-matching 0 --point 320,180=0,0,255 --point 960,540=128,128,128 \
    -- --image "$E2E_DIR/quadrants.png"
  finish
' companion-grey "$build" "$root" "$publish" "$frames" "$runs"
