# obs-kolv-camera against the installed camera: OBS 29 finds the installed plugin in its own
# plugin folder (no OBS_PLUGINS_PATH), its "Start Virtual Camera" (--startvirtualcam) publishes,
# and a consumer of /usr/bin/kolv-camera sees OBS's orange colour source in all 60 frames. Run
# inside scripts/private-pipewire-session.sh by tests/package/test_package.sh, when the tree has
# the OBS plugin's package.
. "$(dirname "$0")/../../e2e/lib.sh"
unset OBS_PLUGINS_PATH OBS_PLUGINS_DATA_PATH

kolv_camera_bin() { echo /usr/bin/kolv-camera; }

check "the plugin is in OBS's plugin folder" eval 'ls /usr/lib/*/obs-plugins/kolv-camera-obs.so >/dev/null 2>&1'
start_camera || finish

start_obs_display || { fail "Xvfb starts"; finish; }

home="$E2E_DIR/obs"
e2e_python make_png.py "$E2E_DIR/quadrants.png"
"$E2E_HERE/obs_profile.sh" "$home" "$E2E_DIR/quadrants.png" NV12 601
before=$(frame_file_bytes)
(cd "$home" && exec env PATH="$E2E_DIR/bin:$PATH" LIBGL_ALWAYS_SOFTWARE=1 HOME="$home" \
  XDG_CONFIG_HOME="$home/.config" obs --multi --startvirtualcam --minimize-to-tray) >"$E2E_DIR/obs.out" 2>&1 &
OBS_PID=$!
track_pid "$OBS_PID"
if ! wait_until 90 eval '[ "$(frame_file_bytes)" != "$before" ]' || ! process_alive "$OBS_PID"; then
  fail "OBS starts its virtual camera and publishes"
  show_tail "$E2E_DIR/obs.out" "" 30
  finish
fi
check "a consumer of the installed camera sees OBS's scene in all 60 frames" \
  capture_checked check_colours.py 60 --min-matching 60 --tolerance 12 \
  --point 400,45=0,128,255 --point 640,360=0,128,255 --point 1270,710=0,128,255
finish
