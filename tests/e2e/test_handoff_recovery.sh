# A frame file holding +inf (a companion's bug, or a hand edit) must not turn the camera grey for
# good: the camera never takes a timestamp that is not finite, and the next kolv-publish
# continues from its clock, so its pattern comes through at once.
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"
INFINITY_BYTES='\x00\x00\x00\x00\x00\x00\xf0\x7f'  # +inf, little-endian

start_camera || finish

# A consumer keeps the camera ticking, so it holds the companion's surface when +inf arrives.
start_watch "$E2E_DIR/watch.log" 100000
wait_until 15 frames_reach "$E2E_DIR/watch.log" 5 || fail "a consumer streams"
start_companion "$E2E_DIR/publish1.log" "$PUBLISH" --pattern --fps 30 || finish
sleep 1
# Stopped, the companion keeps its surfaces: the camera holds the last one while it reads +inf.
kill -STOP "$COMPANION_PID"
printf "$INFINITY_BYTES" >"$FRAME_FILE.tmp" && mv "$FRAME_FILE.tmp" "$FRAME_FILE"
sleep 1
check "the consumer streamed throughout" process_alive "$CONSUMER_PID"
kill -CONT "$COMPANION_PID"
stop_pid "$COMPANION_PID"
stop_pid "$CONSUMER_PID"

start_companion "$E2E_DIR/publish2.log" "$PUBLISH" --pattern --fps 30 || finish
check "kolv-publish after +inf in the frame file writes a finite timestamp again" \
  eval '[ "$(frame_file_bytes | tr -d " ")" != 000000000000f07f ]'
check "after +inf, the next kolv-publish's pattern reaches a consumer (30 of its first 60 frames)" \
  capture_checked ../../tools/pattern_frames.py 60 --min-pattern 30 || show_tail "$E2E_DIR/camera.log"
finish
