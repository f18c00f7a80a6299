# kolv-camera with surfaces of other pixel formats (publish_surface.py --format). An unknown
# format gives grey frames at the full rate, with one log line as it starts; an 'NV12' surface
# after it arrives converted to BGRA at 30 frames a second, and one line says pictures are
# shown again.
. "$(dirname "$0")/lib.sh"

start_camera || finish

# publish FORMAT FPS: a test companion in the background with its log in publisher-FORMAT.log;
# waits until it has handed its surface over. Sets PUBLISHER_PID.
publish() {
  local log="$E2E_DIR/publisher-$1.log"
  python3 -u "$E2E_HERE/publish_surface.py" --format "$1" --fps "$2" >"$log" 2>&1 &
  PUBLISHER_PID=$!
  track_pid "$PUBLISHER_PID"
  wait_until 15 grep -q '^published ' "$log" || { fail "the test companion publishes '$1'"; show_tail "$log"; return 1; }
}

STARTS="Kolv Camera Video: pictures of pixel format 'XYZW' cannot be shown; sending grey"
ENDS="Kolv Camera Video: pictures are shown again"

# An unknown format, with a new timestamp on every tick.
publish XYZW 60 || finish
check "an unknown format: every frame is grey, none missing" \
  capture_checked check_pixels.py 90 --grey-only
check "an unknown format: grey frames at 30 a second" \
  e2e_python check_timing.py "$E2E_DIR/frames.fifo.log" --frames 90
check "an unknown format: one log line says so ($(camera_log_count "$STARTS"))" [ "$(camera_log_count "$STARTS")" = 1 ]
check "an unknown format: no line says pictures are shown" [ "$(camera_log_count "$ENDS")" = 0 ]
stop_pid "$PUBLISHER_PID"

# 'NV12', with a new timestamp twice a tick: nearly every frame is the converted picture.
publish NV12 60 || finish
# The first frames may still be grey: the camera's own, or the last of the unknown format.
check "'NV12': frames carry the picture converted to BGRA (BT.601, within 2)" \
  capture_checked check_converted.py 90 --min-converted 75
check "'NV12': converted frames at 30 a second" \
  e2e_python check_timing.py "$E2E_DIR/frames.fifo.log" --frames 90
check "'NV12': one log line says pictures are shown again" wait_until 5 camera_log_reaches "$ENDS" 1
check "'NV12': and only one ($(camera_log_count "$ENDS")); the unknown format's line was not repeated" \
  [ "$(camera_log_count "$ENDS")" = 1 -a "$(camera_log_count "$STARTS")" = 1 ]
stop_pid "$PUBLISHER_PID"
finish
