# The installed /usr/bin/kolv-camera and /usr/bin/kolv-publish --pattern: both take the app
# group from /usr/share/kolv-camera/Info.plist (the camera as <exe>/../share/kolv-camera, the
# publisher as the camera's Info.plist beside it), and a GStreamer consumer sees pattern
# frames. Run inside scripts/private-pipewire-session.sh by tests/package/test_package.sh.
. "$(dirname "$0")/../e2e/lib.sh"
KOLV_SOURCE_DIR=$(cd "$E2E_HERE/../.." && pwd)

kolv_camera_bin() { echo /usr/bin/kolv-camera; }

# The group that the installed Info.plist names.
plist_group=$(python3 -c 'import plistlib, sys; print(plistlib.load(open(sys.argv[1], "rb"))["AppGroupIdentifier"])' \
  /usr/share/kolv-camera/Info.plist)

start_camera || finish
start_companion "$E2E_DIR/publish.log" /usr/bin/kolv-publish --pattern || finish

camera_group=$(/usr/bin/kolv-camera --check 2>&1 | sed -n 's/.*(app group "\(.*\)").*/\1/p' | head -n 1)
publish_group=$(sed -n 's/.* to app group \([^ ]*\) (.*/\1/p' "$E2E_DIR/publish.log" | head -n 1)
check "kolv-camera --check names the installed Info.plist's app group ($plist_group; got '$camera_group')" \
  eval '[ -n "$plist_group" ] && [ "$camera_group" = "$plist_group" ]'
check "kolv-publish publishes to the same app group (got '$publish_group')" [ "$publish_group" = "$plist_group" ]

fifo="$E2E_DIR/frames.fifo"
mkfifo "$fifo"
python3 "$KOLV_SOURCE_DIR/tools/pattern_frames.py" "$fifo" --frames 60 --min-pattern 1 >"$E2E_DIR/pattern.log" 2>&1 &
checker=$!
track_pid "$checker"
capture "$fifo" 60
consumer_status=$?
((consumer_status)) && { exec 3<>"$fifo"; exec 3>&-; }
wait_exit "$checker" 30
checker_status=$?
sed 's/^/  | /' "$E2E_DIR/pattern.log"
if [ "$consumer_status" = 0 ] && [ "$checker_status" = 0 ]; then
  pass "a GStreamer consumer gets pattern frames from the installed camera"
else
  fail "a GStreamer consumer gets pattern frames from the installed camera"
  show_tail "$fifo.log" "consumer "
  show_tail "$E2E_DIR/publish.log"
  show_tail "$E2E_DIR/camera.log"
fi
finish
