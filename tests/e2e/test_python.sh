# kolv-camera with producers on the Python module kolv (python/kolv, Debian's python3 and
# numpy): colours sent by kolv.Camera arrive at GStreamer's pipewiresrc in order and at the
# producer's pace, then grey as soon as the with block is left; a picture of another size is
# centred on grey; a group kolv-publish holds gives kolv.GroupBusyError; and the recipe of
# docs/companion.md runs as it stands.
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"
# KOLV_COMPANION_LIB, when set, names another build of the library to run the module on.
LIBRARY="${KOLV_COMPANION_LIB:-$KOLV_BUILD_DIR/src/companion/libkolv_companion.so}"
# The module from the source tree on the build's library. A library built with a sanitizer
# needs its runtime loaded first, before Python's own libraries; Python's allocations at exit
# are not the library's leaks.
KOLV_PYTHON=(env KOLV_COMPANION_LIB="$LIBRARY" PYTHONPATH="$KOLV_SOURCE_DIR/python" PYTHONDONTWRITEBYTECODE=1)
sanitizers=$(ldd "$LIBRARY" | awk '/lib(a|t|ub)san\.so/ { print $3 }' | paste -sd:)
[ -n "$sanitizers" ] && KOLV_PYTHON+=(LD_PRELOAD="$sanitizers" ASAN_OPTIONS=detect_leaks=0)
KOLV_PYTHON+=(/usr/bin/python3)

registry_empty() { [ -z "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces" 2>/dev/null)" ]; }

start_camera || finish

# Red, green and blue, 45 pictures each at 30 a second, every second one a non-contiguous
# array; the consumer starts first and sees grey, then the three colours with nothing between,
# then grey while the producer still runs after its with block.
RED=0,0,255 GREEN=0,255,0 BLUE=255,0,0
fifo="$E2E_DIR/sequence.fifo"
mkfifo "$fifo"
e2e_python check_sequence.py "$fifo" --frames 360 --rows 48 --colours "$RED/$GREEN/$BLUE" --each 30,75 \
  --grey-after 30 >"$E2E_DIR/sequence.txt" 2>&1 &
checker=$!
# A band of 48 rows through the middle of each frame: whole frames would cost the consumer more
# than a loaded machine gives it (the pictures' content is checked whole below).
E2E_CONSUMER_TIMEOUT=120 consumer_command 360 kolv-camera videocrop top=336 bottom=336 ! filesink location="$fifo"
"${E2E_COMMAND[@]}" >"$fifo.log" 2>&1 &
CONSUMER_PID=$!
track_pid "$CONSUMER_PID"
if ! wait_until 30 frames_reach "$fifo.log" 15; then
  fail "the consumer streams before the producer starts"
  show_tail "$fifo.log"
elif start_companion "$E2E_DIR/producer.log" "${KOLV_PYTHON[@]}" "$E2E_HERE/python_producer.py" \
  --colours "$RED/$GREEN/$BLUE" --frames-each 45 --linger 8; then
  wait_until 30 grep -qx closed "$E2E_DIR/producer.log"
  check "the with block released the surfaces while the producer still runs" \
    eval 'grep -qx closed "$E2E_DIR/producer.log" && process_alive "$COMPANION_PID" && registry_empty'
  wait_exit "$CONSUMER_PID" 120
  consumer_status=$?
  wait "$checker"
  checker_status=$?
  cat "$E2E_DIR/sequence.txt"
  check "kolv.Camera: red, green, blue in order, green for 30 to 75 of its 45 pictures, then grey after the with block" \
    eval '[ "$consumer_status" = 0 ] && [ "$checker_status" = 0 ]' || show_tail "$fifo.log" "consumer "
  check "kolv.Camera.watched turned true while the consumer streamed" grep -qx watched "$E2E_DIR/producer.log"
  check "kolv.Camera sent all 135 pictures, none dropped" grep -qx 'sent 135, dropped 0' "$E2E_DIR/producer.log"
  wait_exit "$COMPANION_PID" 30
  check "the producer exits with status 0" [ $? = 0 ] || show_tail "$E2E_DIR/producer.log"
fi

# A 640x360 'BGRA' picture: centred, surrounded by grey.
if start_companion "$E2E_DIR/small.log" "${KOLV_PYTHON[@]}" "$E2E_HERE/python_producer.py" \
  --size 640x360 --fmt BGRA --colours 0,128,255 --frames-each 600 --linger 0; then
  check "kolv.Camera(640, 360, fmt=BGRA): every frame shows it centred on grey" \
    capture_checked check_colours.py 60 --min-matching 60 --tolerance 0 --point 640,360=0,128,255 \
    --point 320,180=0,128,255 --point 959,539=0,128,255 --point 319,180=64,64,64 --point 960,539=64,64,64 \
    --point 640,179=64,64,64 --point 640,540=64,64,64
  stop_pid "$COMPANION_PID"
fi

# Consumers that come and get killed: watched follows them, and a new consumer gets the
# picture from its first frame.
watch_log="$E2E_DIR/watch.log"
watched_count() { grep -cx watched "$watch_log"; }
if start_companion "$watch_log" "${KOLV_PYTHON[@]}" "$E2E_HERE/python_producer.py" \
  --colours 0,255,255 --frames-each 1800 --linger 0; then
  start_watch "$E2E_DIR/first.log" 100000
  check "kolv.Camera.watched turns true with a consumer" wait_until 30 eval '(($(watched_count) >= 1))'
  consumer=$(pgrep -P "$CONSUMER_PID" gst-launch-1.0)  # the consumer under its timeout
  kill -KILL "$consumer"
  wait "$CONSUMER_PID" 2>/dev/null
  check "... and false once that consumer is killed" wait_until 20 grep -qx unwatched "$watch_log"
  check "a new consumer: every frame shows the picture held meanwhile" \
    capture_checked check_colours.py 30 --min-matching 30 --tolerance 0 --point 0,0=0,255,255 --point 1279,719=0,255,255
  check "... and kolv.Camera.watched turns true again" wait_until 20 eval '(($(watched_count) >= 2))'
  stop_pid "$COMPANION_PID"
fi

# Another companion holds the group: one line naming the cause, as kolv.GroupBusyError.
if start_companion "$E2E_DIR/pattern.log" "$PUBLISH" --pattern --quiet; then
  "${KOLV_PYTHON[@]}" -c '
import sys, kolv
try:
    kolv.Camera(1280, 720, 30)
except kolv.GroupBusyError as error:
    print(error)
    sys.exit(3)' >"$E2E_DIR/busy.log" 2>&1
  check "kolv.Camera while kolv-publish runs: GroupBusyError" [ $? = 3 ] || show_tail "$E2E_DIR/busy.log"
  check "... which says another companion is publishing" grep -q 'another companion is publishing' "$E2E_DIR/busy.log"
  stop_pid "$COMPANION_PID"
fi

# The recipe of docs/companion.md, taken from it as it stands.
awk '/tests\/e2e\/test_python.sh runs this recipe/ { found = 1; next }
     found && /^```python/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$KOLV_SOURCE_DIR/docs/companion.md" >"$E2E_DIR/recipe.py"
check "docs/companion.md holds the kolv recipe" test -s "$E2E_DIR/recipe.py"
if start_companion "$E2E_DIR/recipe.log" "${KOLV_PYTHON[@]}" "$E2E_DIR/recipe.py" 6; then
  check "the kolv recipe: frames show its red picture with blue rising to the right" \
    capture_checked check_colours.py 60 --min-matching 60 --point 0,360=0,*,255 --point 640,100=127,*,255 \
    --point 1279,700=255,*,255
  wait_exit "$COMPANION_PID" 30
  check "the kolv recipe ends with status 0 after its 6 seconds" [ $? = 0 ] || show_tail "$E2E_DIR/recipe.log"
  check "the kolv recipe released its surfaces" registry_empty
fi
finish
