# A companion that goes in the middle of a recording, again and again: kolv-publish --pattern,
# ended with SIGTERM or killed with SIGKILL while a pipewiresrc consumer records 150 frames, with
# busy loops on every core. Each round the consumer gets all 150 frames: the pattern, then only
# grey (at least 60 frames of it); the camera's stop line says what it sent. A consumer that
# falls behind holds every buffer of the camera's for a moment; the camera used to send nothing
# more after that once it was drawing grey (KOLV_KILLED_HOGS_PER_CORE=6 showed it in every round).
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"
ROUNDS=${KOLV_KILLED_ROUNDS:-8}
HOGS_PER_CORE=${KOLV_KILLED_HOGS_PER_CORE:-2}
FRAMES=150
# Generous: 150 frames take 5 s; linking on a loaded machine takes a few more.
E2E_CONSUMER_TIMEOUT=60

HOG_PIDS=()
for ((i = 0; i < $(nproc) * HOGS_PER_CORE; i++)); do
  sh -c 'while :; do :; done' &
  HOG_PIDS+=($!)
  track_pid $!
done
echo "  ${#HOG_PIDS[@]} busy loops on $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"

start_camera || finish

for ((round = 1; round <= ROUNDS; round++)); do
  signal=$( ((round % 2)) && echo TERM || echo KILL)
  start_companion "$E2E_DIR/publish-$round.log" "$PUBLISH" --pattern --fps 30 || break
  fifo="$E2E_DIR/round-$round.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  python3 "$KOLV_SOURCE_DIR/tools/pattern_frames.py" "$fifo" --frames "$FRAMES" --min-pattern 20 \
    --trailing-grey 60 >"$E2E_DIR/round-$round.check" &
  checker=$!
  track_pid "$checker"
  sent_before=$(camera_log_count "frames sent")
  start_capture "$fifo" "$FRAMES"
  wait_until 30 frames_reach "$fifo.log" 30 || fail "round $round: the consumer records while the companion runs"
  kill "-$signal" "$COMPANION_PID"
  { wait_exit "$COMPANION_PID" 10; } >/dev/null 2>&1
  wait_exit "$CONSUMER_PID" 90
  consumer_status=$?
  # A consumer that never opened the FIFO leaves the checker waiting for a writer.
  ((consumer_status)) && { exec 3<>"$fifo"; exec 3>&-; }
  wait "$checker"
  checker_status=$?
  wait_until 10 camera_log_reaches "frames sent" $((sent_before + 1))
  stop_line=$(grep -F "frames sent" "$E2E_DIR/camera.log" | tail -n1)
  echo "  round $round (SIG$signal): $(frames_logged "$fifo.log") buffers; $(tr -s ' ' <"$E2E_DIR/round-$round.check" | head -n2 | paste -sd' ')"
  echo "    camera: ${stop_line#*: }"
  check "round $round: after SIG$signal to the companion the consumer gets all $FRAMES frames, pattern then grey" \
    [ "$consumer_status.$checker_status" = 0.0 ] ||
    { show_tail "$fifo.log" "consumer " 5; show_tail "$E2E_DIR/camera.log" "" 8; }
  rm -f "$fifo"
done
finish
