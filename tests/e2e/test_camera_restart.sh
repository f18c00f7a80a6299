# PipeWire dies under a streaming camera and comes back: the camera stops the stream once,
# publishes its node again and a new consumer gets frames.
. "$(dirname "$0")/lib.sh"

STARTED="Kolv Camera Video: stream started"
STOPPED="Kolv Camera Video: stream stopped"

start_camera || finish

E2E_CONSUMER_TIMEOUT=30 start_watch "$E2E_DIR/before.log" 100000
BEFORE_PID=$CONSUMER_PID
check "a consumer gets frames before the restart" wait_until 15 frames_reach "$E2E_DIR/before.log" 10

restart_pipewire || finish
back_at=$(now_seconds)
check "the node is published again after PipeWire's return" wait_until 10 node_published kolv-camera
took=$(awk -v a="$back_at" -v b="$(now_seconds)" 'BEGIN { printf "%.1f", b - a }')
echo "  (node back ${took} s after WirePlumber was ready)"
check "the camera is still running" process_alive "$CAMERA_PID"
check "the stream that was running is stopped once" \
  eval '[ "$(camera_log_count "$STARTED")" = 1 ] && [ "$(camera_log_count "$STOPPED")" = 1 ]'
stop_pid "$BEFORE_PID"

watch_frames "$E2E_DIR/after.log" 30
check "a new consumer takes 30 frames after the restart" [ $? = 0 ]
check "its frames are 1/30 s apart" e2e_python check_timing.py "$E2E_DIR/after.log" --frames 30
check "it started a new stream, stopped once it left" wait_until 10 \
  eval '[ "$(camera_log_count "$STARTED")" = 2 ] && [ "$(camera_log_count "$STOPPED")" = 2 ]'
((E2E_FAILURES)) && show_tail "$E2E_DIR/camera.log" "" 30
finish
