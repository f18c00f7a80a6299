# kolv-camera with the other picture sources: kolv-publish --image (PNG and JPEG, scaled to
# fit), kolv-publish --raw - fed by GStreamer's videotestsrc through fdsink, and the Python
# ctypes example of docs/companion.md on the companion library.
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"

start_camera || finish

stop_companion() {
  kill -TERM "$COMPANION_PID" 2>/dev/null
  wait_exit "$COMPANION_PID" 10
}

# A 320x180 PNG of four quadrants (red, green, blue; white at half opacity) fills the frame.
e2e_python make_png.py "$E2E_DIR/quadrants.png"
if start_companion "$E2E_DIR/image.log" "$PUBLISH" --image "$E2E_DIR/quadrants.png"; then
  # Published once and held: the camera sends it on every tick.
  check "--image PNG: every frame shows the image scaled 4x, transparency over black" \
    capture_checked check_colours.py 60 --min-matching 57 --point 320,180=0,0,255 --point 960,180=0,255,0 \
    --point 320,540=255,0,0 --point 960,540=128,128,128
  stop_companion
  check "--image: kolv-publish exits with status 0 on SIGTERM" [ $? = 0 ]
fi

# A 4:3 JPEG is scaled to 960x720 and centred between black bars.
timeout 30 gst-launch-1.0 -q videotestsrc num-buffers=1 pattern=solid-color foreground-color=0xffc08020 \
  ! video/x-raw,width=320,height=240 ! jpegenc ! filesink location="$E2E_DIR/colour.jpg"
if start_companion "$E2E_DIR/image.log" "$PUBLISH" --image "$E2E_DIR/colour.jpg"; then
  check "--image JPEG: frames show it 960x720 between black bars" \
    capture_checked check_colours.py 60 --min-matching 45 --tolerance 12 --point 80,360=0,0,0 --point 200,100=32,128,192 \
    --point 640,360=32,128,192 --point 1080,620=32,128,192 --point 1200,360=0,0,0
  stop_companion
fi

# Raw frames from videotestsrc through a pipe: 150 SMPTE bar frames, all published, then the
# end of input ends kolv-publish.
mkfifo "$E2E_DIR/raw.fifo"
timeout 60 gst-launch-1.0 -q videotestsrc num-buffers=150 pattern=smpte \
  ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! fdsink fd=1 >"$E2E_DIR/raw.fifo" &
track_pid $!
if COMPANION_INPUT="$E2E_DIR/raw.fifo" start_companion "$E2E_DIR/raw.log" "$PUBLISH" --raw -; then
  check "--raw - from videotestsrc: frames show its SMPTE bars" \
    capture_checked check_colours.py 60 --min-matching 45 --point 91,100=255,255,255 --point 274,100=0,255,255 \
    --point 640,100=0,255,0 --point 823,100=255,0,255 --point 1188,100=255,0,0 --point 274,650=255,255,255 --point 640,650=0,0,0
  wait_exit "$COMPANION_PID" 30
  check "--raw -: kolv-publish ends with status 0 at the end of its input" [ $? = 0 ]
  check "--raw -: all 150 frames were published" grep -q 'done: 150 published' "$E2E_DIR/raw.log" ||
    show_tail "$E2E_DIR/raw.log"
fi

# The documentation's Python example, taken from docs/companion.md as it stands.
awk '/tests\/e2e\/test_companion_sources.sh runs this example/ { found = 1; next }
     found && /^```python/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$KOLV_SOURCE_DIR/docs/companion.md" >"$E2E_DIR/example.py"
check "docs/companion.md holds the Python example" test -s "$E2E_DIR/example.py"
export KOLV_COMPANION_LIB="$KOLV_BUILD_DIR/src/companion/libkolv_companion.so"
# A library built with a sanitizer needs its runtime loaded first, before Python's own
# libraries; Python's allocations at exit are not the library's leaks.
sanitizers=$(ldd "$KOLV_COMPANION_LIB" | awk '/lib(a|t|ub)san\.so/ { print $3 }' | paste -sd:)
python_env=()
[ -n "$sanitizers" ] && python_env=(env LD_PRELOAD="$sanitizers" ASAN_OPTIONS=detect_leaks=0)
if start_companion "$E2E_DIR/example.log" "${python_env[@]}" python3 "$E2E_DIR/example.py" 6; then
  check "the Python ctypes example: frames show its blue-to-cyan picture" \
    capture_checked check_colours.py 60 --min-matching 40 --point 10,10=255,*,0 --point 640,360=255,*,0 --point 1270,710=255,*,0
  wait_exit "$COMPANION_PID" 20
  check "the Python example ends with status 0 after its 6 seconds" [ $? = 0 ] || show_tail "$E2E_DIR/example.log"
  check "the Python example closed its publisher" eval '[ -z "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces")" ]'
fi
finish
