# Consumers coming and going: the frame timer runs only while someone watches, a later
# consumer gets frames again, and of two consumers at once the first leaving does not stop the
# second. Exactly one "stream stopped" per "stream started".
. "$(dirname "$0")/lib.sh"

STARTED="Kolv Camera Video: stream started"
STOPPED="Kolv Camera Video: stream stopped"

start_camera || finish

# One consumer, then nobody.
cpu_before=$(cpu_seconds "$CAMERA_PID")
watch_frames "$E2E_DIR/first.log" 30
check "a consumer takes 30 frames" [ $? = 0 ]
check "the camera logs \"stream stopped\" once the consumer has left" wait_until 10 camera_log_reaches "$STOPPED" 1
cpu_streaming=$(awk -v a="$cpu_before" -v b="$(cpu_seconds "$CAMERA_PID")" 'BEGIN { print b - a }')
cpu_idle_start=$(cpu_seconds "$CAMERA_PID")
sleep 2
cpu_idle=$(awk -v a="$cpu_idle_start" -v b="$(cpu_seconds "$CAMERA_PID")" 'BEGIN { print b - a }')
# Streaming costs a few percent of a core; the bound only has to tell a stopped timer from a running one.
check "with nobody watching the camera's CPU time stays flat: ${cpu_idle} s in 2 s (at most 0.04; ${cpu_streaming} s while streaming)" \
  awk -v c="$cpu_idle" 'BEGIN { exit !(c <= 0.04) }'

watch_frames "$E2E_DIR/second.log" 30
check "a second consumer takes 30 frames" [ $? = 0 ]
check "a second consumer's frames are 1/30 s apart" e2e_python check_timing.py "$E2E_DIR/second.log" --frames 30
check "the stream starts and stops once per consumer" \
  wait_until 10 eval '[ "$(camera_log_count "$STARTED")" = 2 ] && [ "$(camera_log_count "$STOPPED")" = 2 ]'

# Two at once: A first, then B; A leaves first, B goes on.
start_watch "$E2E_DIR/a.log" 120
A_PID=$CONSUMER_PID
check "consumer A gets frames" wait_until 15 frames_reach "$E2E_DIR/a.log" 5
start_watch "$E2E_DIR/b.log" 210
B_PID=$CONSUMER_PID
check "consumer B gets frames while A is still watching" wait_until 15 frames_reach "$E2E_DIR/b.log" 5
a_alive_at_b=$(process_alive "$A_PID" && echo yes || echo no)
wait_exit "$A_PID" 30
check "consumer A takes its 120 frames and leaves" [ $? = 0 ]
check "A was still watching when B got its first frames" [ "$a_alive_at_b" = yes ]
b_when_a_left=$(frames_logged "$E2E_DIR/b.log")
check "B keeps getting frames after A has left" wait_until 15 frames_reach "$E2E_DIR/b.log" $((b_when_a_left + 15))
check "A leaving does not stop the stream" [ "$(camera_log_count "$STOPPED")" = 2 ]
wait_exit "$B_PID" 30
check "consumer B takes its 210 frames" [ $? = 0 ]
check "B's frames are 1/30 s apart" e2e_python check_timing.py "$E2E_DIR/b.log" --frames 210
check "the stream stops once after B has left, too" wait_until 10 camera_log_reaches "$STOPPED" 3
check "three streams started, three stopped" \
  [ "$(camera_log_count "$STARTED")" = 3 -a "$(camera_log_count "$STOPPED")" = 3 ]
((E2E_FAILURES)) && show_tail "$E2E_DIR/camera.log" "" 30
finish
