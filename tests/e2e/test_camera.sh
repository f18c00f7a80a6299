# kolv-camera without a companion: the node's properties and formats, the negotiated format,
# grey frames, 30 frames a second with pts 1/30 s apart, and a clean exit on SIGTERM.
. "$(dirname "$0")/lib.sh"

start_camera || finish

pw-dump >"$E2E_DIR/dump.json" 2>/dev/null
check "pw-dump shows the node's properties and its formats (BGRA, YUY2, NV12, I420)" \
  e2e_python check_node.py <"$E2E_DIR/dump.json"

capture "$E2E_DIR/grey.raw" 30
check "a consumer takes 30 frames" [ $? = 0 ]
negotiated() {
  grep -qF 'pipewiresrc0.GstPad:src: caps = video/x-raw, format=(string)BGRA, width=(int)1280, height=(int)720, framerate=(fraction)30/1' \
    "$E2E_DIR/grey.raw.log"
}
check "pipewiresrc negotiates video/x-raw, format=BGRA, width=1280, height=720, framerate=30/1" negotiated
check "without a companion every byte of every frame is 0x40" \
  e2e_python check_pixels.py "$E2E_DIR/grey.raw" --frames 30 --grey-only
rm -f "$E2E_DIR/grey.raw"

# Arrival rate over 3 s of wall time, counted from the first frame on.
log="$E2E_DIR/rate.log"
start_watch "$log" 150
if wait_until 10 frames_reach "$log" 1; then
  t0=$(now_seconds) n0=$(frames_logged "$log")
  sleep 3
  t1=$(now_seconds) n1=$(frames_logged "$log")
  per3s=$(awk -v n=$((n1 - n0)) -v t="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" \
    'BEGIN { printf "%d", n * 3 / t + 0.5 }')
  check "frames arrive at about 30 a second: $per3s in 3 s (75..105)" \
    [ "$per3s" -ge 75 -a "$per3s" -le 105 ]
else
  fail "the rate consumer gets a first frame"
  show_tail "$log"
fi
wait_exit "$CONSUMER_PID"
check "the rate consumer takes 150 frames" [ $? = 0 ]
check "pts increase by 1/30 s (median), seq without big gaps" e2e_python check_timing.py "$log" --frames 150

# Scheduling: libpipewire's data thread, which carries each frame to consumers, and the frame
# queue, which makes them, are real-time where the system permits it (as root it always does),
# the queue below the data thread so that it never holds up a graph cycle.
# Fields 40 and 41 of /proc/PID/task/TID/stat are the real-time priority and the policy
# (0 SCHED_OTHER, 1 SCHED_FIFO, 2 SCHED_RR); printed as NAME:POLICY:PRIORITY.
thread_policies() {
  local task
  for task in /proc/"$CAMERA_PID"/task/*; do
    printf '%s:%s\n' "$(cat "$task/comm")" "$(awk '{ sub(/^.*\) /, ""); print $39 ":" $38 }' "$task/stat")"
  done
}
policies=$(thread_policies)
if [ "$(id -u)" = 0 ]; then
  queue_priority=$(echo "$policies" | sed -n 's/^cameraTimer:[12]:\([0-9]*\)$/\1/p')
  check "the frame queue is real-time (threads: $(echo $policies))" [ -n "$queue_priority" ]
  check "a real-time thread above the frame queue carries the frames (threads: $(echo $policies))" \
    eval "echo \"\$policies\" | grep -v '^cameraTimer:' | awk -F: -v q=\"\${queue_priority:-0}\" '\$2 != 0 && \$3 > q { found = 1 } END { exit !found }'"
fi

kill -TERM "$CAMERA_PID"
wait_exit "$CAMERA_PID" 10
check "SIGTERM: the camera exits with status 0" [ $? = 0 ]
check "SIGTERM: the node is gone" eval '! node_published kolv-camera'
finish
