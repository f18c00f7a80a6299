# A companion that stops while nobody watches leaves nothing behind: kolv-publish --pattern
# runs, a consumer takes 10 frames of it and goes (the stream stops), the companion ends
# (SIGTERM, or SIGKILL every other round), and the next consumer's 30 frames are all grey.
# The camera keeps the surface it looked up last, and the companion re-stamps its picture after
# the camera's last tick: before the camera checked that the surface was still published, the
# new stream's first frame was that picture once more (3 of 8 rounds).
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"
ROUNDS=${KOLV_GONE_ROUNDS:-8}
start_camera || finish
for ((round = 1; round <= ROUNDS; round++)); do
  signal=$( ((round % 2)) && echo TERM || echo KILL)
  start_companion "$E2E_DIR/publish-$round.log" "$PUBLISH" --pattern --fps 30 || break
  check "round $round: the companion's pattern reaches a consumer" \
    capture_checked ../../tools/pattern_frames.py 10 --min-pattern 5
  kill "-$signal" "$COMPANION_PID"
  { wait_exit "$COMPANION_PID" 10; } >/dev/null 2>&1
  sleep 0.5
  check "round $round: after SIG$signal to the companion, the next consumer gets only grey" \
    capture_checked ../../tools/pattern_frames.py 30 --max-pattern 0 --min-grey 30
done
finish
