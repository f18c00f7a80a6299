# OBS Studio with the kolv-camera-obs plugin: OBS 29 under Xvfb, on a scene of known content
# (an orange colour source and a PNG of four quadrants, tests/e2e/obs_profile.sh), started with
# --startvirtualcam. OBS's "Start Virtual Camera" drives Kolv Camera (OBS has no v4l2loopback
# output here), and a pipewiresrc consumer sees OBS's picture on every frame: rendered in NV12
# (BT.601 in OBS's settings; OBS converts it to BGRA) and in BGRA (published as it is). Stopped
# with SIGTERM, OBS leaves grey frames behind it.
. "$(dirname "$0")/lib.sh"

PLUGIN_DIR="$KOLV_BUILD_DIR/plugins/obs"
if [ ! -f "$PLUGIN_DIR/kolv-camera-obs.so" ]; then
  fail "the OBS plugin is built (needs libobs-dev: scripts/install-deps.sh, then cmake -DKOLV_BUILD_OBS=ON)"
  finish
fi
for program in obs Xvfb; do
  command -v "$program" >/dev/null || { fail "$program is installed (scripts/install-deps.sh)"; finish; }
done

start_camera || finish

start_obs_display || { fail "Xvfb starts"; finish; }

# A plugin built with a sanitizer needs its runtime loaded before OBS's own libraries; OBS's
# allocations at exit are not the plugin's leaks.
obs_env=(env PATH="$E2E_DIR/bin:$PATH" LIBGL_ALWAYS_SOFTWARE=1
  OBS_PLUGINS_PATH="$PLUGIN_DIR" OBS_PLUGINS_DATA_PATH="$PLUGIN_DIR/data")
sanitizers=$(ldd "$PLUGIN_DIR/kolv-camera-obs.so" | awk '/lib(a|t|ub)san\.so/ { print $3 }' | paste -sd:)
[ -n "$sanitizers" ] && obs_env+=(LD_PRELOAD="$sanitizers" ASAN_OPTIONS=detect_leaks=0)

e2e_python make_png.py "$E2E_DIR/quadrants.png"
# The image's quadrants, 160x90 each, in the top left corner; orange everywhere else.
POINTS=(--point 80,45=0,0,255 --point 240,45=0,255,0 --point 80,135=255,0,0
  --point 400,45=0,128,255 --point 640,360=0,128,255 --point 1270,710=0,128,255)

# start_obs FORMAT SPACE: OBS on a fresh configuration rendering FORMAT in SPACE; waits until
# its virtual camera publishes (generous: OBS renders on the CPU here). Sets OBS_PID, OBS_LOG.
start_obs() {
  local home="$E2E_DIR/obs-$1" before
  rm -rf "$home"
  "$E2E_HERE/obs_profile.sh" "$home" "$E2E_DIR/quadrants.png" "$1" "$2"
  before=$(frame_file_bytes)
  (cd "$home" && exec "${obs_env[@]}" HOME="$home" XDG_CONFIG_HOME="$home/.config" obs --multi --startvirtualcam --minimize-to-tray) \
    >"$E2E_DIR/obs-$1.out" 2>&1 &
  OBS_PID=$!
  track_pid "$OBS_PID"
  OBS_LOG="$E2E_DIR/obs-$1.out"
  if ! wait_until 90 eval '[ "$(frame_file_bytes)" != "$before" ]' || ! process_alive "$OBS_PID"; then
    fail "OBS ($1) starts its virtual camera and publishes"
    show_tail "$OBS_LOG" "" 30
    return 1
  fi
}

for setup in "NV12 601" "BGRA 709"; do
  read -r format space <<<"$setup"
  start_obs "$format" "$space" || continue
  check "OBS ($format): \"Start Virtual Camera\" is Kolv Camera's" \
    grep -q '\[kolv-camera\] "Start Virtual Camera" publishes to Kolv Camera' "$OBS_LOG"
  grep '\[kolv-camera\] publishing' "$OBS_LOG" | sed 's/^/  | /'
  # BGRA goes as OBS renders it. OBS 29's NV12 carries BT.709 values even at "Rec. 601"
  # (plugins/obs/camera_output.cpp), which the camera would show as BT.601: OBS converts it.
  if [ "$format" = BGRA ]; then
    expected="publishing 1280x720 BGRA as OBS renders it"
  else
    expected="publishing 1280x720 BGRA, converted by OBS from its 1280x720 $format"
  fi
  check "OBS ($format): the plugin logs \"$expected\"" grep -qF "[kolv-camera] $expected" "$OBS_LOG"
  # OBS renders 30 pictures a second and the library keeps each live until the next: every
  # frame is OBS's picture, none grey.
  check "OBS ($format): all 90 frames show OBS's scene (colour source and image)" \
    capture_checked check_colours.py 90 --min-matching 90 --tolerance 12 "${POINTS[@]}" ||
    show_tail "$OBS_LOG"
  if [ "$format" != BGRA ]; then
    stop_pid "$OBS_PID"
    continue
  fi
  # Stopped in the middle of a recording: OBS's pictures, then only grey.
  fifo="$E2E_DIR/stop.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  e2e_python check_colours.py "$fifo" --frames 150 --min-matching 20 --tolerance 12 "${POINTS[@]}" \
    --then-grey 60 >"$E2E_DIR/stop.check" &
  checker=$!
  start_capture "$fifo" 150
  wait_until 30 frames_reach "$fifo.log" 30 || fail "the consumer records while OBS runs"
  kill -TERM "$OBS_PID"
  wait_exit "$OBS_PID" 30
  check "OBS ends on SIGTERM" eval '! process_alive '"$OBS_PID"
  wait_exit "$CONSUMER_PID" 60
  wait "$checker"
  status=$?
  cat "$E2E_DIR/stop.check"
  check "OBS stopped during a recording: its pictures, then only grey frames" [ "$status" = 0 ] ||
    { show_tail "$fifo.log" "consumer "; show_tail "$E2E_DIR/camera.log"; show_tail "$OBS_LOG"; }
done
finish
