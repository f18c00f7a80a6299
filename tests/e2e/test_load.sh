# The camera on a machine loaded beyond its cores: busy loops at normal priority, six per core
# (with two per core grey among pictures rarely shows), run from before the camera starts to
# the end. kolv-publish --pattern at 30 and at 10 pictures a second and --image, 600 frames each,
# at a GStreamer pipewiresrc consumer and in Chromium: no grey frame among the companion's
# pictures (grey before the first picture is the camera waiting for the companion and is not
# counted), and no gap over 100 ms in the camera's frame times (the pts pipewiresrc gives each
# buffer from the camera's monotonic frame time). In Chromium the page reads every frame the
# track delivers (MediaStreamTrackProcessor) and sorts it by its pixels, while a GStreamer
# consumer beside it logs the camera's frame times. One line per configuration with the counts.
# e2e-session: portal   (tests/e2e/run.sh starts this file's session with the Camera portal)
. "$(dirname "$0")/lib.sh"
. "$E2E_HERE/feed_checks.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"
FRAMES=${KOLV_LOAD_FRAMES:-600}
HOGS_PER_CORE=${KOLV_LOAD_HOGS_PER_CORE:-6}
MAX_GAP_MS=100
# Generous: linking and 600 frames at 30 a second take 20 s on an idle machine.
E2E_CONSUMER_TIMEOUT=$((FRAMES / 30 + 90))

# The GStreamer consumers are this test's instruments: what they log is the camera's frame
# times. At nice 0 among the busy loops a pipewiresrc consumer is not scheduled in time for
# every graph cycle and loses frames that the camera sent: every gap over 100 ms it saw was a
# run of sequence numbers missing, each 33.3 ms after the one before, while the camera logged
# them sent and none dropped. That measures the consumer, not the camera. So the consumers run
# real-time where permitted (as an audio or video client's PipeWire data thread does), below
# the camera's frame timer (SCHED_FIFO 10) and the companion's re-stamp (9), which they never
# delay; the checker that drains a consumer's pipe runs just below it, so that a full pipe never
# stalls the consumer.
MEASURE_CHECKER=()
if chrt -f 5 true 2>/dev/null; then
  E2E_CONSUMER_PREFIX=(chrt -f 5)
  MEASURE_CHECKER=(chrt -f 4)
  echo "  consumers at SCHED_FIFO 5, their checkers at 4"
else
  echo "  consumers at normal priority: real-time is not permitted here, so frames lost by a consumer show as gaps"
fi

# Busy loops at the priority the test runs at, stopped by pid (the cleanup stops them too).
HOG_PIDS=()
start_hogs() {
  local i
  for ((i = 0; i < $(nproc) * HOGS_PER_CORE; i++)); do
    sh -c 'while :; do :; done' &
    HOG_PIDS+=($!)
    track_pid $!
  done
  echo "  $((${#HOG_PIDS[@]})) busy loops on $(nproc) cores (nice $(nice)); load average $(cut -d' ' -f1-3 /proc/loadavg)"
}
stop_hogs() {
  local pid
  for pid in "${HOG_PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${HOG_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  HOG_PIDS=()
}

start_load_publisher() {
  start_companion "$E2E_DIR/publish-$1.log" "$PUBLISH" "${@:2}" || return 1
  PUBLISHER_PID=$COMPANION_PID
}

# gstreamer NAME KIND PUBLISH_ARGS...: FRAMES frames at a pipewiresrc consumer, sorted as they
# arrive by frame_stream.py (KIND: P pattern, I image).
gstreamer() {
  local name=$1 kind=$2 tag
  shift 2
  tag=gst-$(echo "$name" | tr -c 'a-z0-9' -)
  start_load_publisher "$tag" "$@" || return
  local fifo="$E2E_DIR/$tag.fifo"
  mkfifo "$fifo"
  "${MEASURE_CHECKER[@]}" python3 "$E2E_HERE/frame_stream.py" "$fifo" --log "$fifo.log" --frames "$FRAMES" --picture "$kind" \
    --max-gap-ms "$MAX_GAP_MS" --name "gstreamer, $name" >"$E2E_DIR/$tag.out" &
  local checker=$!
  track_pid "$checker"
  # The top rows only (frame_stream.py): the whole frame through a pipe costs more than the
  # consumer gets of a loaded machine, and it would hold the camera's buffers meanwhile.
  consumer_command "$FRAMES" kolv-camera videocrop bottom=672 ! filesink location="$fifo"
  "${E2E_COMMAND[@]}" >"$fifo.log" 2>&1
  local consumer_status=$?
  ((consumer_status)) && { exec 3<>"$fifo"; exec 3>&-; }
  wait_exit "$checker" 30
  local checker_status=$?
  sed 's/^/  /' "$E2E_DIR/$tag.out"
  check "gstreamer, $name: $FRAMES frames, none grey among the companion's pictures, no gap over $MAX_GAP_MS ms" \
    eval '[ "$consumer_status" = 0 ] && [ "$checker_status" = 0 ]' ||
    { ((consumer_status)) && show_tail "$fifo.log" "consumer "; }
  stop_publisher
}

# The camera's frame times while another consumer (the browser) streams: a pipewiresrc that
# keeps no pixels. It takes any format: the node carries the one the browser chose (Chromium
# takes I420). Sets WATCH_PID, WATCH_LOG.
start_time_watch() {
  WATCH_LOG="$E2E_DIR/watch-$1.log"
  E2E_CAPS=video/x-raw E2E_CONSUMER_TIMEOUT=300 start_watch "$WATCH_LOG" -1
  WATCH_PID=$CONSUMER_PID
}
# Stops the watch (SIGINT: pipewiresrc ends the stream as an application does) and prints its
# count and longest gap; fails when a gap is over MAX_GAP_MS.
check_time_watch() {
  local name=$1 line
  kill -INT "$WATCH_PID" 2>/dev/null
  wait_exit "$WATCH_PID" 10 >/dev/null || stop_pid "$WATCH_PID"
  line=$(python3 - "$E2E_HERE" "$WATCH_LOG" "$MAX_GAP_MS" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
from frame_stream import Times
times = Times(sys.argv[2])
times.read(int(float(sys.argv[3]) * 1e6))
print(f"buffers={times.buffers} max_gap_ms={times.max_gap_ns / 1e6:.1f} gaps_over={times.gaps_over} "
      f"missing_seq={times.missing_seq} rate={times.rate()}")
EOF
  )
  echo "  chromium, $name: the camera's frame times at a GStreamer consumer beside it: $line"
  check "chromium, $name: no gap over $MAX_GAP_MS ms in the camera's frame times" \
    eval '[[ "$line" == *" gaps_over=0 "* ]] && ! [[ "$line" == buffers=0* ]]'
}

# chromium NAME KIND PUBLISH_ARGS...: FRAMES frames read by the page (drive.mjs "frames").
chromium_config() {
  local name=$1 kind=$2 tag
  shift 2
  tag=chromium-$(echo "$name" | tr -c 'a-z0-9' -)
  start_load_publisher "$tag" "$@" || return
  start_time_watch "$tag"
  agent_send frames "$FRAMES" "$kind"
  agent_receive $((FRAMES / 10 + 90))
  echo "  chromium, $name: frames=$(field frames) pictures=$(field pictures) grey_among=$(field grey_among)" \
    "grey_before=$(field grey_before) torn=$(field T) other=$(field other) backwards=$(field backwards)" \
    "longest_grey_run=$(field longest_grey_run) frame_time_max_gap_ms=$(field max_gap_ms) gaps_over=$(field gaps_over)"
  check "chromium, $name: $FRAMES frames, none grey among the companion's pictures, none torn or unknown" \
    eval 'at_least "$(field frames)" "$FRAMES" && at_least "$(field pictures)" 1 &&
      zero grey_among T other backwards wrong_kind'
  check_time_watch "$name"
  stop_publisher
}

run_chromium() {
  browser_driver_ready /usr/bin/chromium || return
  mkdir -p "$E2E_DIR/home-chromium"
  start_agent chromium "$E2E_DIR/chromium.log" \
    env HOME="$E2E_DIR/home-chromium" node "$DRIVER_DIR/drive.mjs" chromium "$E2E_DIR"
  local driver_pid=$AGENT_PID
  agent_receive 180
  if [ -z "$(field ready)" ]; then
    fail "chromium starts and loads the page"
    show_tail "$E2E_DIR/chromium.log"
    stop_pid "$driver_pid"
    return
  fi
  ask open Kolv Camera
  if ! check "chromium: getUserMedia opens \"Kolv Camera\" at 1280x720, 30 fps" \
    eval '[ "$(field width)x$(field height)@$(field fps)" = 1280x720@30 ]'; then
    show_tail "$E2E_DIR/chromium.log"
  else
    chromium_config "pattern 30/s" P --pattern --fps 30
    chromium_config "pattern 10/s" P --pattern --fps 10
    chromium_config "image" I --image "$E2E_DIR/quadrants.png"
  fi
  agent_send quit
  wait_exit "$driver_pid" 60 >/dev/null || stop_pid "$driver_pid"
}

e2e_python make_png.py "$E2E_DIR/quadrants.png"
start_hogs
start_camera || { stop_hogs; finish; }

gstreamer "pattern 30/s" P --pattern --fps 30
gstreamer "pattern 10/s" P --pattern --fps 10
gstreamer "image" I --image "$E2E_DIR/quadrants.png"

if [ -n "${KOLV_PORTAL_PID:-}" ]; then
  run_chromium
else
  fail "the session runs the Camera portal (scripts/private-pipewire-session.sh --portal)"
fi

echo "  load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
stop_hogs
# The camera's count of each stream: frames sent, and dropped for want of a free buffer.
grep -F 'frames sent' "$E2E_DIR/camera.log" | sed 's/^/  camera: /'
echo "  test time: $SECONDS s"
finish
