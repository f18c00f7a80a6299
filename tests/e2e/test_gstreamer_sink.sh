# kolvsink, the GStreamer sink element (plugins/gstreamer), in front of a running camera:
# known colours and sizes arrive at a pipewiresrc consumer; EOS, an upstream error and a
# stalled pipeline (after its hold time) leave the camera grey; upstream draws straight into
# the surfaces; the recipes of docs/companion.md (a decoded file, ffmpeg through fdsrc) work.
. "$(dirname "$0")/lib.sh"

export GST_PLUGIN_PATH="$KOLV_BUILD_DIR/plugins/gstreamer"
# The sink's closing line says how each picture got into its surface.
export GST_DEBUG=kolvsink:4 GST_DEBUG_NO_COLOR=1

start_camera || finish

gst-inspect-1.0 kolvsink >"$E2E_DIR/inspect.txt" 2>&1
check "gst-inspect-1.0 documents kolvsink with its formats and properties" \
  eval 'grep -q "Kolv Camera sink" "$E2E_DIR/inspect.txt" && grep -q "app-group" "$E2E_DIR/inspect.txt" &&
        grep -q "hold-time" "$E2E_DIR/inspect.txt" && grep -q "BGRA" "$E2E_DIR/inspect.txt"'

# start_sink LOG PIPELINE...: gst-launch-1.0 -e PIPELINE in the background (SIGINT ends it
# with EOS); waits until it has published. Sets COMPANION_PID.
start_sink() {
  local log=$1
  shift
  start_companion "$log" gst-launch-1.0 -e "$@"
}
# end_sink LOG: EOS through SIGINT; true when gst-launch then exits with status 0.
end_sink() {
  kill -INT "$COMPANION_PID"
  wait_exit "$COMPANION_PID" 20 || { show_tail "$1"; return 1; }
}
# The sink's closing counts in LOG: "<in place> <copied> <dropped>".
sink_counts() { sed -n 's/.*closed at end of stream: \([0-9]*\) drawn in place, \([0-9]*\) copied, \([0-9]*\) dropped.*/\1 \2 \3/p' "$1" | tail -1; }
# watch_until_grey FRAMES GREY ACTION... : a consumer of FRAMES frames, checked against the
# points in POINTS, watches while ACTION (a command) ends the pictures once it has logged 20
# frames; the pictures must then turn grey for good, at least GREY frames before the end. The
# consumer streams throughout, so the camera has sent every picture before the end comes.
watch_until_grey() {
  local frames=$1 grey=$2
  shift 2
  rm -f "$E2E_DIR/frames.fifo" && mkfifo "$E2E_DIR/frames.fifo"
  e2e_python check_colours.py "$E2E_DIR/frames.fifo" --frames "$frames" --min-matching 15 "${POINTS[@]}" \
    --then-grey "$grey" &
  local checker=$!
  start_capture "$E2E_DIR/frames.fifo" "$frames"
  wait_until 30 frames_reach "$E2E_DIR/frames.fifo.log" 20
  "$@"
  wait_exit "$CONSUMER_PID" 60
  local consumer_status=$?
  wait "$checker"
  local checker_status=$?
  ((consumer_status)) && { show_tail "$E2E_DIR/frames.fifo.log" "consumer "; return "$consumer_status"; }
  return "$checker_status"
}
eos() { kill -INT "$COMPANION_PID"; }

SMPTE_1280=(--point 91,100=255,255,255 --point 274,100=0,255,255 --point 640,100=0,255,0 --point 823,100=255,0,255
  --point 1188,100=255,0,0 --point 274,650=255,255,255 --point 640,650=0,0,0)

# 1280x720 BGRA, the camera's own size: the bars fill the frame, drawn by videotestsrc straight
# into the shared surfaces.
if start_sink "$E2E_DIR/bgra.log" videotestsrc is-live=true pattern=smpte \
  ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! kolvsink; then
  check "BGRA 1280x720: frames show videotestsrc's SMPTE bars" capture_checked check_colours.py 60 --min-matching 57 "${SMPTE_1280[@]}"
  POINTS=("${SMPTE_1280[@]}")
  check "BGRA 1280x720: grey from EOS on" watch_until_grey 90 45 eos
  wait_exit "$COMPANION_PID" 20
  check "BGRA 1280x720: gst-launch ends with status 0 at EOS" [ $? = 0 ]
  read -r in_place copied dropped <<<"$(sink_counts "$E2E_DIR/bgra.log")"
  check "BGRA 1280x720: every picture drawn in place, none copied ($in_place in place, $copied copied, $dropped dropped)" \
    eval '[ "${in_place:-0}" -gt 30 ] && [ "$copied" = 0 ] && [ "$dropped" = 0 ]'
fi

# 640x360 BGRx: the camera centres the smaller picture on grey (0x40).
if start_sink "$E2E_DIR/bgrx.log" videotestsrc is-live=true pattern=smpte \
  ! video/x-raw,format=BGRx,width=640,height=360,framerate=30/1 ! kolvsink; then
  check "BGRx 640x360: frames show the bars centred on grey" capture_checked check_colours.py 60 --min-matching 57 \
    --point 100,100=64,64,64 --point 365,230=255,255,255 --point 457,230=0,255,255 --point 640,230=0,255,0 \
    --point 823,230=0,0,255 --point 914,230=255,0,0 --point 1200,600=64,64,64
  check "BGRx 640x360: gst-launch ends with status 0 at EOS" end_sink "$E2E_DIR/bgrx.log"
fi

# Every other format the camera takes, drawn in place by videotestsrc: a solid colour (blue
# 192, green 128, red 32), centred on grey when smaller than 1280x720. The camera converts the
# YUV formats, hence the wider tolerance for them.
for run in RGBA:320x240:10 xRGB:320x240:10 ABGR:320x240:10 NV12:640x360:16 I420:333x201:16 YUY2:320x240:16 \
  UYVY:1280x720:16; do
  IFS=: read -r format size tolerance <<<"$run"
  width=${size%x*} height=${size#*x}
  points=(--tolerance "$tolerance" --point 640,360=192,128,32)
  ((width < 1280)) && points+=(--point 100,100=64,64,64 --point 1180,620=64,64,64)
  if start_sink "$E2E_DIR/$format.log" videotestsrc is-live=true pattern=solid-color foreground-color=0xff2080c0 \
    ! video/x-raw,format="$format",width="$width",height="$height",framerate=30/1 ! kolvsink; then
    check "$format $size: frames show the colour" capture_checked check_colours.py 30 --min-matching 30 "${points[@]}"
    check "$format $size: gst-launch ends with status 0 at EOS" end_sink "$E2E_DIR/$format.log"
    read -r in_place copied dropped <<<"$(sink_counts "$E2E_DIR/$format.log")"
    check "$format $size: drawn in place ($in_place in place, $copied copied, $dropped dropped)" \
      eval '[ "${in_place:-0}" -gt 0 ] && [ "$copied" = 0 ] && [ "$dropped" = 0 ]'
  fi
done

# New caps mid-stream (PNGs of two sizes in turn): the sink opens its publisher again for each,
# while upstream still holds the pool of the one before.
for i in 0 1 2 3; do
  gst-launch-1.0 -q videotestsrc num-buffers=1 pattern=$i ! video/x-raw,width=$((320 + i % 2 * 320)),height=240 \
    ! pngenc ! filesink location="$E2E_DIR/image$i.png"
done
timeout 60 gst-launch-1.0 multifilesrc location="$E2E_DIR/image%d.png" caps=image/png,framerate=4/1 stop-index=3 \
  ! pngdec ! videoconvert ! kolvsink >"$E2E_DIR/caps.log" 2>&1
status=$?
check "new caps: gst-launch ends with status 0, having published at 320x240 and 640x240 twice each" \
  eval '[ $status = 0 ] && [ "$(grep -c "publishing 320x240" "$E2E_DIR/caps.log")" = 2 ] &&
        [ "$(grep -c "publishing 640x240" "$E2E_DIR/caps.log")" = 2 ]' || show_tail "$E2E_DIR/caps.log"

# An upstream error mid-stream: gst-launch fails, and the camera goes grey.
if start_sink "$E2E_DIR/error.log" videotestsrc is-live=true pattern=solid-color foreground-color=0xff2080c0 \
  ! video/x-raw,format=BGRA,width=333,height=201,framerate=30/1 ! identity error-after=150 ! kolvsink; then
  POINTS=(--point 476,262=192,128,32 --point 803,457=192,128,32 --point 640,360=192,128,32 --point 470,360=64,64,64
    --point 640,256=64,64,64 --point 809,360=64,64,64)
  check "333x201: the colour centred, to the picture's edges, then grey from the upstream error on" \
    watch_until_grey 240 30 true
  wait_exit "$COMPANION_PID" 30
  check "an upstream error ends gst-launch with a failure" [ $? != 0 ]
fi

# The sink's own error: one line that names the cause, and a failure status.
timeout 30 gst-launch-1.0 videotestsrc num-buffers=10 ! kolvsink app-group=../elsewhere >"$E2E_DIR/bad_group.log" 2>&1
status=$?
check "a bad app group: gst-launch fails with one line naming it" \
  eval '[ $status != 0 ] && [ $status != 124 ] && grep -q "cannot publish to Kolv Camera: .*elsewhere" "$E2E_DIR/bad_group.log"'

# A stalled pipeline (its input pipe open, nothing more in it): after the hold time the
# camera goes grey while gst-launch still runs; with hold-time=0 the last picture stays. Two
# seconds of pictures, then the stall; the consumer watches from the first picture on.
for hold in 0.5 0; do
  fifo="$E2E_DIR/stall-$hold.fifo"
  mkfifo "$fifo"
  gst-launch-1.0 fdsrc ! rawvideoparse format=bgra width=64 height=64 framerate=30/1 ! kolvsink hold-time=$hold \
    <"$fifo" >"$E2E_DIR/stall-$hold.log" 2>&1 &
  COMPANION_PID=$!
  track_pid "$COMPANION_PID"
  exec 3>"$fifo"
  python3 -c 'import sys; sys.stdout.buffer.write(bytes([192, 128, 32, 255]) * 64 * 64 * 60)' >&3 &
  track_pid $!
  wait_until 15 eval 'grep -q "publishing 64x64" "$E2E_DIR/stall-$hold.log"'
  STALL_POINTS=(--point 640,360=192,128,32 --point 100,100=64,64,64)
  if [ "$hold" = 0 ]; then
    check "stalled, hold-time=0: the last picture stays" \
      capture_checked check_colours.py 150 --min-matching 145 "${STALL_POINTS[@]}" --held
  else
    check "stalled, hold-time=$hold: pictures, then grey once the hold time has passed" \
      capture_checked check_colours.py 150 --min-matching 15 "${STALL_POINTS[@]}" --then-grey 60
  fi
  check "stalled: gst-launch is still running" process_alive "$COMPANION_PID"
  exec 3>&-
  wait_exit "$COMPANION_PID" 20
  check "stalled: gst-launch ends with status 0 when its input ends" [ $? = 0 ]
done

# The recipes of docs/companion.md, as they stand, on a VP8 clip in place of talk.mp4.
awk '/tests\/e2e\/test_gstreamer_sink.sh runs these/ { found = 1; next }
     found && /^```sh/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$KOLV_SOURCE_DIR/docs/companion.md" >"$E2E_DIR/recipes.sh"
check "docs/companion.md holds the GStreamer recipes" grep -q kolvsink "$E2E_DIR/recipes.sh"
timeout 60 ffmpeg -hide_banner -loglevel error -f lavfi -i color=c=0xc08020:s=640x360:r=30 -t 8 -c:v libvpx -b:v 1M \
  "$E2E_DIR/clip.webm"
recipe() { grep -A1 -- "$1" "$E2E_DIR/recipes.sh" | sed -e "s|talk.mp4|$E2E_DIR/clip.webm|g" -e 's/#.*//'; }
# The decoded file: 640x360, centred.
if start_companion "$E2E_DIR/decodebin.log" bash -c "exec $(recipe 'decodebin' | head -1)"; then
  POINTS=(--tolerance 12 --point 640,360=32,128,192 --point 330,190=32,128,192 --point 100,100=64,64,64)
  check "recipe filesrc ! decodebin ! videoconvert ! kolvsink: the clip's colour centred, grey after its end" \
    watch_until_grey 300 30 true
  wait_exit "$COMPANION_PID" 30
  check "recipe decodebin: gst-launch ends with status 0 at the clip's end" [ $? = 0 ]
fi
# ffmpeg through GStreamer: scaled to 1280x720 by ffmpeg, copied into the surfaces by the sink.
if start_companion "$E2E_DIR/ffmpeg.log" bash -c "$(recipe '^ffmpeg')"; then
  check "recipe ffmpeg | fdsrc ! rawvideoparse ! kolvsink: the clip's colour over the whole frame" \
    capture_checked check_colours.py 30 --min-matching 28 --tolerance 12 --point 640,360=32,128,192 \
    --point 5,5=32,128,192 --point 1275,715=32,128,192
  wait_exit "$COMPANION_PID" 30
  check "recipe ffmpeg: the pipe ends with status 0 at the clip's end" [ $? = 0 ]
  read -r in_place copied dropped <<<"$(sink_counts "$E2E_DIR/ffmpeg.log")"
  check "recipe ffmpeg: rawvideoparse's pictures are copied, none dropped ($in_place in place, $copied copied, $dropped dropped)" \
    eval '[ "${copied:-0}" -gt 0 ] && [ "$in_place" = 0 ] && [ "$dropped" = 0 ]'
fi
finish
