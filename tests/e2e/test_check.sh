# kolv-camera --check against the session as it is: no PipeWire, a bus and a PipeWire that never
# answer, no camera node, no Camera portal, a companion whose surface header lies, a hand-off
# file of the wrong length, a stale timestamp, everything in place, and no WirePlumber. The
# running camera logs each hand-off problem once. SIGHUP stops the camera cleanly.
. "$(dirname "$0")/lib.sh"

CONTAINER="$XDG_RUNTIME_DIR/app-groups/group.kolv.vcamera"
ID_FILE="$CONTAINER/kolvcamera_surface_id"

# run_check NAME [ENV...]: kolv-camera --check (bounded), output in $E2E_DIR/NAME.out; sets
# CHECK_STATUS.
run_check() {
  local name=$1; shift
  env "$@" timeout 30 "$(kolv_camera_bin)" --check >"$E2E_DIR/$name.out" 2>&1
  CHECK_STATUS=$?
  CHECK_OUT="$E2E_DIR/$name.out"
}
has_line() { grep -q -F -- "$1" "$CHECK_OUT"; }
# check_line DESCRIPTION TEXT: the last check's output has a line containing TEXT.
check_line() {
  if has_line "$2"; then pass "$1"; else fail "$1"; sed 's/^/  | /' "$CHECK_OUT"; fi
}
# Lines of the last check that failed, other than the Camera portal's.
failures_besides_portal() { grep '^\[FAIL\]' "$CHECK_OUT" | grep -v -F 'Camera portal:'; }

# Whether xdg-desktop-portal would find an Access backend: then it exports the Camera portal.
portal_has_access_backend() {
  grep -qs 'org.freedesktop.impl.portal.Access' "${XDG_DESKTOP_PORTAL_DIR:-/usr/share/xdg-desktop-portal/portals}"/*.portal
}

# --- No PipeWire at all: an empty runtime folder and no session bus.
mkdir -m 700 "$E2E_DIR/empty-runtime"
run_check no-pipewire XDG_RUNTIME_DIR="$E2E_DIR/empty-runtime" DBUS_SESSION_BUS_ADDRESS= PIPEWIRE_REMOTE=
check "no PipeWire: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "no PipeWire: says so with the socket and a fix" \
  "[FAIL] PipeWire: not reachable at $E2E_DIR/empty-runtime/pipewire-0 (Host is down). Fix: systemctl --user start pipewire.socket"
check_line "no PipeWire: WirePlumber is not judged" "[skip] WirePlumber: not checked without PipeWire"
check_line "no session bus: says so" "[FAIL] session bus: not reachable"
if [ ! -d /sys/module/v4l2loopback ]; then
  check_line "no v4l2loopback: a warning, with what to install" \
    "[warn] V4L2 loopback: module v4l2loopback not loaded; V4L2 applications do not see the camera. Fix: sudo apt-get install v4l2loopback-dkms"
fi

# --- A session bus and a PipeWire socket that accept connections and never answer: --check
# still ends within 5 s (one deadline for each whole exchange) with a line for each, and SIGINT
# stops it at once.
python3 -u "$E2E_HERE/silent_socket.py" "$E2E_DIR/silent-bus" "$E2E_DIR/silent-pipewire" >"$E2E_DIR/silent.log" 2>&1 &
SILENT_PID=$!
track_pid "$SILENT_PID"
check "the silent sockets listen" wait_until 10 grep -q listening "$E2E_DIR/silent.log"
started=$(now_seconds)
run_check silent-bus DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_DIR/silent-bus"
check "a silent session bus: --check ends within 6 s" \
  awk -v a="$started" -v b="$(now_seconds)" 'BEGIN { exit !(b - a < 6) }'
check "a silent session bus: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "a silent session bus: says it never answered" "[FAIL] session bus: not reachable (no answer within 2000 ms)"
check_line "a silent session bus: PipeWire is still checked" "[ok]   PipeWire: reachable (server "
started=$(now_seconds)
run_check silent-both DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_DIR/silent-bus" PIPEWIRE_REMOTE="$E2E_DIR/silent-pipewire"
check "a silent bus and a silent PipeWire: --check ends within 6 s" \
  awk -v a="$started" -v b="$(now_seconds)" 'BEGIN { exit !(b - a < 6) }'
check_line "a silent PipeWire: says it never answered" "[FAIL] PipeWire: connected but no complete answer (no answer in time)"
check_line "a silent bus and PipeWire: the bus line is there too" "[FAIL] session bus: not reachable (no answer within"
# Started with SIGINT at its default (a shell's background jobs ignore it), as from a terminal.
env --default-signal=INT,TERM DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_DIR/silent-bus" \
  PIPEWIRE_REMOTE="$E2E_DIR/silent-pipewire" "$(kolv_camera_bin)" --check >"$E2E_DIR/interrupted.out" 2>&1 &
CHECK_PID=$!
track_pid "$CHECK_PID"
sleep 1
check "a check waiting on a silent PipeWire is still running after 1 s" process_alive "$CHECK_PID"
kill -INT "$CHECK_PID"
started=$(now_seconds)
wait_exit "$CHECK_PID" 5
status=$?
check "SIGINT stops a waiting --check at once (status $status)" [ "$status" = 130 ]
check "SIGINT: --check is gone within 2 s, not when its probes give up" \
  awk -v a="$started" -v b="$(now_seconds)" 'BEGIN { exit !(b - a < 2) }'
env --default-signal=INT,TERM DBUS_SESSION_BUS_ADDRESS="unix:path=$E2E_DIR/silent-bus" \
  PIPEWIRE_REMOTE="$E2E_DIR/silent-pipewire" "$(kolv_camera_bin)" --check >"$E2E_DIR/terminated.out" 2>&1 &
CHECK_PID=$!
track_pid "$CHECK_PID"
sleep 1
kill -TERM "$CHECK_PID"
wait_exit "$CHECK_PID" 5
status=$?
check "SIGTERM stops a waiting --check at once (status $status)" [ "$status" = 143 ]
stop_pid "$SILENT_PID"

# --- The session without the camera and without a companion.
run_check no-camera
check "no camera node: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "no camera node: PipeWire is reachable" "[ok]   PipeWire: reachable (server "
check_line "no camera node: WirePlumber is running" "[ok]   WirePlumber: running ("
check_line "no camera node: the node is missing, with a fix" \
  '[FAIL] camera node "kolv-camera": not found. Fix: systemctl --user start kolv-camera.service'
if portal_has_access_backend; then
  check_line "an Access backend is declared: the Camera portal is exported" "[ok]   Camera portal: exported"
else
  check_line "no Access backend: the Camera portal is missing, with the backends that provide it" \
    "[FAIL] Camera portal: not exported ("
  check_line "no Access backend: the fix names Debian's backends" "sudo apt-get install xdg-desktop-portal-gtk"
fi

# --- A companion whose header names another surface, while a consumer watches: --check says
# why the surface is refused, and the camera logs it once, not once a tick.
start_camera || finish
start_watch "$E2E_DIR/watch.log" 300
python3 -u "$E2E_HERE/publish_bad_surface.py" --lie id >"$E2E_DIR/bad.log" 2>&1 &
BAD_PID=$!
track_pid "$BAD_PID"
published() { grep -q '^published ' "$1"; }
check "the lying companion publishes" wait_until 10 published "$E2E_DIR/bad.log" || show_tail "$E2E_DIR/bad.log"
BAD_ID=$(awk '/^published/ { print $2 }' "$E2E_DIR/bad.log")
run_check lying-id
check "a surface whose header names another ID: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "a surface whose header names another ID: refused with the reason" \
  "[FAIL] surface $BAD_ID refused: its header names surface $((BAD_ID + 1)) (ID mismatch)"
check "the consumer is receiving frames" wait_until 20 frames_reach "$E2E_DIR/watch.log" 30
refusal="surface $BAD_ID refused: its header names surface $((BAD_ID + 1)) (ID mismatch)"
check "the camera logs the refusal" wait_until 10 camera_log_reaches "$refusal" 1
stop_pid "$BAD_PID"
# The same kind of lie from surfaces in turn, a new ID every 0.1 s: still that one line.
python3 -u "$E2E_HERE/publish_bad_surface.py" --lie id --rotate >"$E2E_DIR/bad-rotating.log" 2>&1 &
BAD_PID=$!
track_pid "$BAD_PID"
check "the lying companion names ten surfaces in turn" \
  wait_until 10 eval '(( $(grep -c "^published " "$E2E_DIR/bad-rotating.log") >= 10 ))'
check "the camera logs the same refusal once, not once a surface or a tick" [ "$(camera_log_count "refused:")" = 1 ] ||
  show_tail "$E2E_DIR/camera.log"
stop_pid "$BAD_PID"

# --- The header claims 720 rows; the file holds 8.
python3 -u "$E2E_HERE/publish_bad_surface.py" --lie height >"$E2E_DIR/bad-height.log" 2>&1 &
BAD_PID=$!
track_pid "$BAD_PID"
check "the companion with a short file publishes" wait_until 10 published "$E2E_DIR/bad-height.log"
BAD_ID=$(awk '/^published/ { print $2 }' "$E2E_DIR/bad-height.log")
run_check lying-height
check "a header taller than its file: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "a header taller than its file: refused with the reason" \
  "[FAIL] surface $BAD_ID refused: its file is 45056 bytes, shorter than the 3690496 its header describes (1280x720, 5120 bytes per row)"
check "the camera logs the new kind of refusal" \
  wait_until 10 camera_log_reaches "surface $BAD_ID refused: its file is 45056 bytes, shorter than" 1
stop_pid "$BAD_PID"

# --- A good companion, then a frame file of the wrong length: --check and the camera's log
# both say so, the log once.
python3 -u "$E2E_HERE/publish_surface.py" --fps 10 >"$E2E_DIR/publisher.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
check "the test companion publishes" wait_until 10 published "$E2E_DIR/publisher.log" || show_tail "$E2E_DIR/publisher.log"
check "the camera logs that surfaces are accepted again" wait_until 10 camera_log_reaches "accepted" 1
stop_pid "$PUBLISHER_PID"
# The publisher leaves its ID file; its surface is gone, so put a fresh one in its place.
python3 -u "$E2E_HERE/publish_surface.py" --fps 0.2 >"$E2E_DIR/publisher2.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
check "a slow test companion publishes" wait_until 10 published "$E2E_DIR/publisher2.log"
printf '12345' >"$FRAME_FILE.tmp" && mv "$FRAME_FILE.tmp" "$FRAME_FILE"
run_check wrong-length
check "a frame file of 5 bytes: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "a frame file of 5 bytes: says its length" "[FAIL] kolvcamera_frame_meta in $CONTAINER is 5 bytes, expected 8"
check "the camera logs the wrong length" \
  wait_until 10 camera_log_reaches "kolvcamera_frame_meta in $CONTAINER is 5 bytes, expected 8" 1
sleep 1
check "the camera logs the wrong length once" [ "$(camera_log_count "is 5 bytes, expected 8")" = 1 ]

# --- A timestamp (seconds since the epoch) 30 s old, written just now.
python3 -c 'import struct, sys, time; sys.stdout.buffer.write(struct.pack("<d", time.time() - 30))' >"$FRAME_FILE.tmp" &&
  mv "$FRAME_FILE.tmp" "$FRAME_FILE"
run_check stale
check "a stale timestamp: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "a stale timestamp: says how old, with a fix" "s old, stale. Fix: the companion has stopped publishing"
stop_pid "$PUBLISHER_PID"
stop_pid "$CONSUMER_PID"

# --- Everything in place: the camera, a companion and someone watching.
python3 -u "$E2E_HERE/publish_surface.py" --fps 10 >"$E2E_DIR/publisher3.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
check "the test companion publishes again" wait_until 10 published "$E2E_DIR/publisher3.log"
start_watch "$E2E_DIR/watch2.log" 600
check "a consumer receives frames" wait_until 20 frames_reach "$E2E_DIR/watch2.log" 10
run_check all-in-place
check_line "all in place: the node streams" '[ok]   camera node "kolv-camera": present, streaming'
check_line "all in place: the surface is usable" "[ok]   surface $(awk '/^published/ { print $2 }' "$E2E_DIR/publisher3.log"): 1280x720 'BGRA'"
check_line "all in place: the timestamp is fresh" "[ok]   kolvcamera_frame_meta: timestamp"
check "all in place: nothing but the Camera portal fails" eval '[ -z "$(failures_besides_portal)" ]' ||
  sed 's/^/  | /' "$CHECK_OUT"
if portal_has_access_backend; then
  check "all in place with a Camera portal: --check exits 0" [ "$CHECK_STATUS" = 0 ]
else
  check "all in place without a Camera portal: --check exits 1" [ "$CHECK_STATUS" = 1 ]
fi
stop_pid "$CONSUMER_PID"
stop_pid "$PUBLISHER_PID"

# --- A live kolv-publish --image that nobody watches: its timestamp ages, and that is no failure.
e2e_python make_png.py "$E2E_DIR/image.png"
"$KOLV_BUILD_DIR/tools/kolv-publish" --image "$E2E_DIR/image.png" >"$E2E_DIR/publish-image.log" 2>&1 &
PUBLISHER_PID=$!
track_pid "$PUBLISHER_PID"
sleep 3
run_check idle-companion
check_line "an idle companion: its old timestamp is a warning, not a failure" \
  "s old; a companion is running and stamps anew while the camera is streamed"
stop_pid "$PUBLISHER_PID"

# --- SIGHUP, as when the terminal that started the camera closes.
kill -HUP "$CAMERA_PID"
wait_exit "$CAMERA_PID" 10
check "SIGHUP: the camera exits with status 0" [ $? = 0 ]
check "SIGHUP: the camera leaves PipeWire" camera_log_reaches "left PipeWire" 1

# --- PipeWire without its session manager (the session's cleanup tolerates a stopped one).
kill -TERM "$KOLV_WIREPLUMBER_PID"
wait_until 5 eval '! process_alive '"$KOLV_WIREPLUMBER_PID"
run_check no-wireplumber
check "no WirePlumber: --check exits 1" [ "$CHECK_STATUS" = 1 ]
check_line "no WirePlumber: says so, with a fix" \
  "[FAIL] WirePlumber: not running (no such client, no \"default\" metadata). Fix: systemctl --user start wireplumber.service"
finish
