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
finish
