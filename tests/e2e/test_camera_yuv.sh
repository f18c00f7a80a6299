# kolv-camera's node in YUV, for consumers that take nothing else: a GStreamer consumer that
# asks for YUY2, NV12 or I420 gets kolv-publish's pattern converted (stamps and bars read from
# Y, U and V, frame numbers rising), and the camera's grey in YUV once the companion stops; the
# camera's log names each negotiated format. A consumer that takes any format gets 'BGRA', the
# camera's own, drawn straight into the node's buffers. The node carries one format at a time.
# With KOLV_PIPEWIRE_FORMATS=BGRA it offers 'BGRA' alone and a YUY2 consumer cannot link.
. "$(dirname "$0")/lib.sh"

CHECK_FRAMES="$E2E_HERE/../vm/check_frames.py"

start_camera || finish
start_companion "$E2E_DIR/publish.log" "$KOLV_BUILD_DIR/tools/kolv-publish" --pattern || finish
PUBLISHER_PID=$COMPANION_PID

# yuv_capture FORMAT FRAMES FILE: FRAMES frames of the GStreamer FORMAT into FILE.
yuv_capture() {
  E2E_CAPS="video/x-raw,format=$1,width=1280,height=720,framerate=30/1" capture "$3" "$2"
}

for format in YUY2:yuyv:yuvs NV12:nv12:420v I420:i420:y420; do
  IFS=: read -r gst checker code <<<"$format"
  negotiated="Kolv Camera Video: negotiated '$code' 1280x720 at 30/1"
  before=$(camera_log_count "$negotiated")
  yuv_capture "$gst" 60 "$E2E_DIR/$checker.raw"
  check "$gst: the companion's pattern, converted" \
    python3 "$CHECK_FRAMES" "$E2E_DIR/$checker.raw" pattern "$checker" --min-pattern 50 --min-numbers 30
  check "$gst: the camera negotiated '$code'" [ "$(camera_log_count "$negotiated")" -gt "$before" ]
  rm -f "$E2E_DIR/$checker.raw"
done

kill -TERM "$PUBLISHER_PID"
wait_exit "$PUBLISHER_PID" 10
yuv_capture I420 30 "$E2E_DIR/grey.raw"
check "I420 without a companion: the camera's grey (Y 0x47, U and V 0x80)" \
  python3 "$CHECK_FRAMES" "$E2E_DIR/grey.raw" grey i420

before=$(camera_log_count "negotiated 'BGRA'")
E2E_CAPS="video/x-raw" watch_frames "$E2E_DIR/any.log" 30
check "a consumer that takes any format gets 'BGRA'" [ "$(camera_log_count "negotiated 'BGRA'")" -gt "$before" ]
check "... and its frames" frames_reach "$E2E_DIR/any.log" 30

# One format at a time: while a consumer streams I420 (as Chromium does), one that takes only
# 'BGRA' (as Firefox does) cannot link, and one that takes any format joins in I420.
E2E_CAPS="video/x-raw,format=I420,width=1280,height=720,framerate=30/1" start_watch "$E2E_DIR/i420.log" 900
FIRST_PID=$CONSUMER_PID
wait_until 15 frames_reach "$E2E_DIR/i420.log" 5
first_before=$(frames_logged "$E2E_DIR/i420.log")
E2E_CONSUMER_TIMEOUT=10 watch_frames "$E2E_DIR/bgra-only.log" 5
check "while a consumer streams I420, one that takes only 'BGRA' gets no frame" \
  eval '! frames_reach "$E2E_DIR/bgra-only.log" 1'
E2E_CAPS=video/x-raw watch_frames "$E2E_DIR/joins.log" 10
check "... and one that takes any format joins it" frames_reach "$E2E_DIR/joins.log" 10
check "... while the I420 consumer goes on getting frames (60 more within 10 s)" \
  wait_until 10 frames_reach "$E2E_DIR/i420.log" $((first_before + 60))
stop_pid "$FIRST_PID"

kill -TERM "$CAMERA_PID"
wait_exit "$CAMERA_PID" 10
check "SIGTERM: the camera exits with status 0 (before the next one)" [ $? = 0 ]
KOLV_PIPEWIRE_FORMATS=BGRA start_camera || finish
E2E_CONSUMER_TIMEOUT=10 yuv_capture YUY2 5 "$E2E_DIR/refused.raw"
check "KOLV_PIPEWIRE_FORMATS=BGRA: a YUY2 consumer gets nothing" [ ! -s "$E2E_DIR/refused.raw" ]
check "KOLV_PIPEWIRE_FORMATS=BGRA: nothing negotiated but 'BGRA'" [ "$(camera_log_count "negotiated '")" = 0 ]
watch_frames "$E2E_DIR/bgra.log" 10
check "KOLV_PIPEWIRE_FORMATS=BGRA: a consumer that takes any format gets 'BGRA'" \
  eval '[ "$(camera_log_count "negotiated '"'BGRA'"'")" = 1 ] && frames_reach "$E2E_DIR/bgra.log" 10'

finish
