# kolv-camera with kolv-publish --pattern: at 30 pictures a second a consumer sees pattern
# frames with increasing frame numbers and none torn; at 10 a second grey frames fill the ticks
# between; once kolv-publish is stopped with SIGTERM every frame is grey.
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"

start_camera || finish

# start_publisher ARGS...: kolv-publish in the background, log in $E2E_DIR/publish.log; waits for
# its first picture. Sets PUBLISHER_PID.
start_publisher() {
  start_companion "$E2E_DIR/publish.log" "$PUBLISH" "$@" || return 1
  PUBLISHER_PID=$COMPANION_PID
}

# start_pattern_check FRAMES OPTIONS...: records FRAMES frames through a FIFO into
# tools/pattern_frames.py with OPTIONS, both in the background. Sets CHECKER_PID, CONSUMER_PID.
start_pattern_check() {
  local frames=$1; shift
  local fifo="$E2E_DIR/frames.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  python3 "$KOLV_SOURCE_DIR/tools/pattern_frames.py" "$fifo" --frames "$frames" "$@" &
  CHECKER_PID=$!
  track_pid "$CHECKER_PID"
  start_capture "$fifo" "$frames"
}
# The checker's status, or the consumer's when that failed.
finish_pattern_check() {
  wait_exit "$CONSUMER_PID" 90
  local consumer_status=$?
  # A consumer that never opened the FIFO leaves the checker waiting for a writer.
  ((consumer_status)) && { exec 3<>"$E2E_DIR/frames.fifo"; exec 3>&-; }
  wait_exit "$CHECKER_PID" 30
  local checker_status=$?
  ((consumer_status)) && { show_tail "$E2E_DIR/frames.fifo.log" "consumer "; return "$consumer_status"; }
  return "$checker_status"
}
pattern_check() {
  start_pattern_check "$@"
  finish_pattern_check
}

stop_publisher() {
  kill -TERM "$PUBLISHER_PID"
  wait_exit "$PUBLISHER_PID" 10
}

# 30 pictures a second: nearly every tick has a new one. The clocks of camera and companion
# beat, so now and then a tick finds none (grey) or two (one number skipped).
start_publisher --pattern --fps 30 || finish
check "30 pictures a second over 5 s: pattern frames, numbers increasing, none torn" \
  pattern_check 150 --min-pattern 75 || show_tail "$E2E_DIR/publish.log"
stop_publisher
check "kolv-publish exits with status 0 on SIGTERM" [ $? = 0 ]

# 10 pictures a second: each is sent on one tick and about two grey frames follow it.
start_publisher --pattern --fps 10 || finish
check "10 pictures a second: grey frames fill the ticks between pattern frames" \
  pattern_check 90 --min-pattern 18 --max-pattern 45 --min-grey 40 --grey-after-pattern 0.7
stop_publisher
check "kolv-publish at 10 a second exits with status 0 on SIGTERM" [ $? = 0 ] || show_tail "$E2E_DIR/publish.log"

# Stopped in the middle of a recording: pattern frames, then only grey ones.
start_publisher --pattern --fps 30 || finish
start_pattern_check 150 --min-pattern 20 --trailing-grey 60
if wait_until 20 frames_reach "$E2E_DIR/frames.fifo.log" 45; then
  stop_publisher
  check "SIGTERM in mid-stream: kolv-publish exits with status 0" [ $? = 0 ]
  check "kolv-publish reports how many pictures it published" grep -q 'stopped: [0-9]* published' "$E2E_DIR/publish.log"
  check "kolv-publish released its surfaces" eval '[ -z "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces")" ]'
else
  fail "the consumer gets 45 frames"
fi
check "after kolv-publish stops, every frame is grey" finish_pattern_check ||
  { show_tail "$E2E_DIR/publish.log"; show_tail "$E2E_DIR/camera.log"; }
finish
