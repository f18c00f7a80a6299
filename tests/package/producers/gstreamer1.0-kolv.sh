# gstreamer1.0-kolv against the installed camera: GStreamer finds the installed kolvsink on its
# own (no GST_PLUGIN_PATH), and the bars that videotestsrc draws into it reach a consumer of
# /usr/bin/kolv-camera, every one of 60 frames. Run inside scripts/private-pipewire-session.sh
# by tests/package/test_package.sh, when the tree has the GStreamer plugin's package.
. "$(dirname "$0")/../../e2e/lib.sh"
unset GST_PLUGIN_PATH

kolv_camera_bin() { echo /usr/bin/kolv-camera; }

inspect=$(gst-inspect-1.0 kolvsink 2>&1)
check "gst-inspect-1.0 finds kolvsink in the installed plugin folder" \
  eval '[[ "$inspect" =~ Filename[[:space:]]+(/usr)?/lib/[^[:space:]]*/gstreamer-1.0/ ]]'

start_camera || finish
start_companion "$E2E_DIR/sink.log" gst-launch-1.0 videotestsrc is-live=true pattern=smpte \
  ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! kolvsink || finish
# Points of videotestsrc's SMPTE bars at 1280x720 (x,y=B,G,R): the top bars and two of the
# bottom row.
check "a consumer of the installed camera sees kolvsink's SMPTE bars in all 60 frames" \
  capture_checked check_colours.py 60 --min-matching 60 \
  --point 91,100=255,255,255 --point 274,100=0,255,255 --point 640,100=0,255,0 --point 823,100=255,0,255 \
  --point 1188,100=255,0,0 --point 274,650=255,255,255 --point 640,650=0,0,0
finish
