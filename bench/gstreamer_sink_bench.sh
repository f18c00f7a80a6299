#!/usr/bin/env bash
# CPU per streamed second of `videotestsrc ! kolvsink` (through kolv-camera) against
# `videotestsrc ! pipewiresink` (a PipeWire video source of its own), in one private PipeWire
# session: ROUNDS rounds, each one SECONDS-long measurement of A then of B, while a
# pipewiresrc consumer streams 1280x720 BGRA at 30 frames a second from the camera (A) or
# from the pipewiresink node (B). Per round it prints the producer's CPU (gst-launch with the
# sink, user + system, all threads) in ms per streamed second, and for A the camera's too
# (its copy of each picture into PipeWire's buffer, which pipewiresink does itself); at the
# end the medians.
#   bench/gstreamer_sink_bench.sh [BUILD_DIR [ROUNDS [SECONDS]]]   (defaults: build/default, 7, 10)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd) || exit 2
rounds=${2:-7}
seconds=${3:-10}
for file in "$build/src/app/kolv-camera" "$build/plugins/gstreamer/libgstkolv.so"; do
  [ -e "$file" ] || { echo "gstreamer_sink_bench: build $file first" >&2; exit 2; }
done

exec "$root/scripts/private-pipewire-session.sh" bash -c '
  export KOLV_BUILD_DIR=$1 KOLV_SOURCE_DIR=$2
  rounds=$3 seconds=$4
  . "$KOLV_SOURCE_DIR/tests/e2e/lib.sh"
  export GST_PLUGIN_PATH="$KOLV_BUILD_DIR/plugins/gstreamer"
  E2E_CONSUMER_TIMEOUT=$((seconds + 60))
  echo "load average: $(cat /proc/loadavg)"
  start_camera || finish
  caps="video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1"

  # measure SINK TARGET CAMERA_PID: starts the producer with SINK and a consumer of TARGET,
  # lets them settle for 2 s, then prints "<producer ms/s> <camera ms/s> <frames/s>" over
  # SECONDS seconds.
  measure() {
    local sink=$1 target=$2 camera=$3
    gst-launch-1.0 -q videotestsrc is-live=true ! "$caps" ! $sink >"$E2E_DIR/producer.log" 2>&1 &
    local producer=$!
    track_pid "$producer"
    if [ "$target" = kolv-camera ]; then
      wait_until 10 eval "[ -e \"\$XDG_RUNTIME_DIR/app-groups/group.kolv.vcamera/kolvcamera_surface_id\" ]"
    else
      wait_until 10 node_published "$target"
    fi
    start_watch "$E2E_DIR/consumer.log" $((seconds * 30 + 200)) "$target"
    wait_until 20 frames_reach "$E2E_DIR/consumer.log" 30
    sleep 2
    local p0 c0 f0 t0 p1 c1 f1 t1
    p0=$(cpu_seconds "$producer"); c0=$(cpu_seconds "$camera"); f0=$(frames_logged "$E2E_DIR/consumer.log"); t0=$(now_seconds)
    sleep "$seconds"
    p1=$(cpu_seconds "$producer"); c1=$(cpu_seconds "$camera"); f1=$(frames_logged "$E2E_DIR/consumer.log"); t1=$(now_seconds)
    stop_pid "$CONSUMER_PID"
    stop_pid "$producer"
    awk -v p0="$p0" -v p1="$p1" -v c0="$c0" -v c1="$c1" -v f0="$f0" -v f1="$f1" -v t0="$t0" -v t1="$t1" \
      -v cam="$([ "$target" = kolv-camera ] && echo 1 || echo 0)" \
      "BEGIN { t = t1 - t0; printf \"%.1f %.1f %.2f\n\", (p1 - p0) * 1000 / t, cam ? (c1 - c0) * 1000 / t : 0, (f1 - f0) / t }"
  }
  median() { sort -n | awk "{ v[NR] = \$1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }"; }

  : >"$E2E_DIR/a.txt"; : >"$E2E_DIR/b.txt"
  printf "%-6s %-44s %-44s\n" round "A: videotestsrc ! kolvsink (producer, camera, fps)" "B: videotestsrc ! pipewiresink (producer, fps)"
  for round in $(seq "$rounds"); do
    a=$(measure kolvsink kolv-camera "$CAMERA_PID")
    b=$(measure "pipewiresink mode=provide stream-properties=props,media.class=Video/Source,node.name=bench-pipewiresink" bench-pipewiresink "$CAMERA_PID")
    echo "$a" >>"$E2E_DIR/a.txt"; echo "$b" >>"$E2E_DIR/b.txt"
    read -r ap ac af <<<"$a"; read -r bp _ bf <<<"$b"
    printf "%-6s %-44s %-44s\n" "$round" "$ap ms/s, $ac ms/s, $af/s" "$bp ms/s, $bf/s"
  done
  echo "median A: producer $(cut -d" " -f1 "$E2E_DIR/a.txt" | median) ms/s, camera $(cut -d" " -f2 "$E2E_DIR/a.txt" | median) ms/s, $(cut -d" " -f3 "$E2E_DIR/a.txt" | median) frames/s"
  echo "median B: producer $(cut -d" " -f1 "$E2E_DIR/b.txt" | median) ms/s, $(cut -d" " -f3 "$E2E_DIR/b.txt" | median) frames/s"
  echo "load average: $(cat /proc/loadavg)"
  finish
' gstreamer-sink-bench "$build" "$root" "$rounds" "$seconds"
