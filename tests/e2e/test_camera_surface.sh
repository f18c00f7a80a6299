# kolv-camera with a companion: a surface published through the hand-off files
# (publish_surface.py, a static known picture, a new timestamp 10 times a second). Ticks with a
# new timestamp carry the surface's pixels exactly; the ticks between them are grey; once the
# companion stops, the frames turn grey.
. "$(dirname "$0")/lib.sh"

start_camera || finish

python3 -u "$E2E_HERE/publish_surface.py" --fps 10 >"$E2E_DIR/publisher.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
published() { grep -q '^published ' "$E2E_DIR/publisher.log"; }
check "the test companion publishes its surface" wait_until 10 published || { show_tail "$E2E_DIR/publisher.log"; finish; }


# 10 timestamps a second against 30 ticks: about 20 picture and 40 grey frames in 60.
check "with new timestamps, frames carry the surface's pixels and grey frames fill the other ticks" \
  capture_checked check_pixels.py 60 --min-picture 8 --min-grey 20

stop_pid "$PUBLISHER_PID"
stopped() { grep -q '^stopped after ' "$E2E_DIR/publisher.log"; }
check "the test companion stops and removes its surface" stopped
# The first tick of the new stream may still carry the companion's last picture: its timestamp
# came after the previous stream had stopped, so it was never sent.
check "without new timestamps every frame is grey (the first may be the last picture)" \
  capture_checked check_pixels.py 15 --grey-from 1

# A refused surface named right after a good one: grey keeps flowing at 30 frames a second, no
# tick without a frame.
python3 -u "$E2E_HERE/publish_surface.py" --fps 10 >"$E2E_DIR/publisher2.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
published2() { grep -q '^published ' "$E2E_DIR/publisher2.log"; }
wait_until 10 published2 || fail "the test companion publishes again"
start_watch "$E2E_DIR/refused.log" 90
sleep 0.5
stop_pid "$PUBLISHER_PID"
python3 -u "$E2E_HERE/publish_bad_surface.py" --lie id >"$E2E_DIR/bad.log" 2>&1 &
BAD_PID=$!
track_pid "$BAD_PID"
check "while a refused surface is named, grey flows with no gap over 100 ms in the frame times" \
  eval 'wait_exit "$CONSUMER_PID" 30 && e2e_python check_timing.py "$E2E_DIR/refused.log" --frames 90 --max-pts-gap-ms 100'
check "the refused surface was named" grep -q '^published ' "$E2E_DIR/bad.log"
check "the camera logged the refusal once" eval '[ "$(camera_log_count "refused: its header names surface")" = 1 ]'
stop_pid "$BAD_PID"
finish
