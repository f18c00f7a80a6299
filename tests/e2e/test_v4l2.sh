# Kolv Camera for V4L2-only applications: ffmpeg through pw-v4l2 (Debian's pipewire-v4l2) sees
# /dev/video0 as "Kolv Camera", AR24 (BGRA), YUYV, NV12 and YU12 (I420) 1280x720 at 30 fps,
# and one long capture of raw bgra frames (ffmpeg asks for AR24), sorted by frame_feed.py, goes through the phases of feed_checks.sh: grey without
# a companion; kolv-publish's pattern at 10 and 30 pictures a second and an image; grey again
# soon after the companion is stopped or killed; at least 25 frames a second.
# (One capture for all phases: with PipeWire 0.3.65 a pw-v4l2 capture started within about 5 s
# of the previous one gets no frames.)
. "$(dirname "$0")/lib.sh"
. "$E2E_HERE/feed_checks.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"

for program in pw-v4l2 ffmpeg; do
  command -v "$program" >/dev/null || { fail "$program is installed (scripts/install-deps.sh)"; finish; }
done

start_camera || finish
e2e_python make_png.py "$E2E_DIR/quadrants.png"

timeout 30 pw-v4l2 python3 "$E2E_HERE/v4l2_device.py" /dev/video0 >"$E2E_DIR/device.txt" 2>&1
sed 's/^/    /' "$E2E_DIR/device.txt"
check "pw-v4l2: /dev/video0 is \"Kolv Camera\", AR24, YUYV, NV12 and YU12 1280x720 at 30/1 frames a second" \
  eval 'grep -qx "card=Kolv Camera driver=PipeWire.*" "$E2E_DIR/device.txt" &&
    [ "$(grep "^format=" "$E2E_DIR/device.txt" | paste -sd " ")" = \
      "format=AR24 1280x720 format=YUYV 1280x720 format=NV12 1280x720 format=YU12 1280x720" ] &&
    grep -qx "fps=30/1" "$E2E_DIR/device.txt"'

# ffmpeg writes raw frames into a FIFO that frame_feed.py reads all the time.
mkfifo "$E2E_DIR/feed.fifo"
start_agent ffmpeg "$E2E_DIR/feed.log" python3 "$E2E_HERE/frame_feed.py" "$E2E_DIR/feed.fifo"
feed_pid=$AGENT_PID
timeout 300 pw-v4l2 ffmpeg -hide_banner -nostdin -f v4l2 -input_format bgra -i /dev/video0 -fps_mode passthrough \
  -f rawvideo -pix_fmt bgra -y "$E2E_DIR/feed.fifo" >"$E2E_DIR/ffmpeg.log" 2>&1 &
ffmpeg_pid=$!
track_pid "$ffmpeg_pid"
ffmpeg_input() { grep -m1 -E 'Stream #0:0: Video: rawvideo' "$E2E_DIR/ffmpeg.log"; }
if wait_until 20 ffmpeg_input; then
  echo "    $(ffmpeg_input | sed 's/^ *//')"
  check "ffmpeg opens it as bgra 1280x720 at 30 fps" eval 'ffmpeg_input | grep -q "bgra, 1280x720, .* 30 fps"'
  run_phases "$E2E_DIR/quadrants.png"
else
  fail "ffmpeg opens /dev/video0 through pw-v4l2"
  show_tail "$E2E_DIR/ffmpeg.log"
fi

kill -TERM "$ffmpeg_pid"
wait_exit "$ffmpeg_pid" 15 >/dev/null
agent_send quit
wait_exit "$feed_pid" 15
check "frame_feed.py ends with status 0" [ $? = 0 ] || show_tail "$E2E_DIR/feed.log"
finish
