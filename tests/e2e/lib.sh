# Helpers for the end-to-end test files. Sourced by tests/e2e/test_*.sh, which run inside a
# private PipeWire session (tests/e2e/run.sh) with KOLV_BUILD_DIR set.
# Each check prints one line; `check` failures are counted and make the test file fail.
# Every process started here is recorded by pid and stopped when the test file exits.
set -u

E2E_FAILURES=0
E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/kolv-e2e.XXXXXX")
E2E_PIDS=()        # consumers, companions, the camera: stopped newest first
E2E_DAEMON_PIDS=() # pipewire and wireplumber restarted by a test: stopped after all the others
# The video caps every consumer asks for; a consumer without video caps never links.
E2E_CAPS='video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1'

kolv_camera_bin() { echo "$KOLV_BUILD_DIR/src/app/kolv-camera"; }

# True while PID runs (a zombie that its parent has not reaped yet counts as gone).
process_alive() {
  local state
  state=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Sends SIGTERM to PID, waits up to 5 s for it to go, then SIGKILL; reaps it if it is ours.
stop_pid() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  for _ in $(seq 50); do process_alive "$pid" || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

# Records PID so that the cleanup stops it.
track_pid() { E2E_PIDS+=("$1"); }

# Stops every process this file started (newest first, by pid), then removes its scratch folder;
# a file with a failed check keeps it (without recorded frames): the camera's and the clients'
# logs, and a browser's crash reports in its profile.
e2e_cleanup() {
  local i
  for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${E2E_PIDS[$i]}"; done
  for ((i = ${#E2E_DAEMON_PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${E2E_DAEMON_PIDS[$i]}"; done
  if ((${E2E_FAILURES:-0})); then
    find "$E2E_DIR" -maxdepth 1 -type f \( -name '*.raw' -o -name '*.yuv' -o -name '*.bgra' \) -delete
    echo "  logs kept in $E2E_DIR"
  else
    rm -rf "$E2E_DIR"
  fi
}
trap e2e_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
# check DESCRIPTION COMMAND...: runs the command; its success is the check's.
check() {
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# Ends the test file: stops a camera still running (it must exit 0 on SIGTERM), fails on any
# sanitizer report in its log, and exits non-zero when any check failed.
finish() {
  if [ -n "${CAMERA_PID:-}" ] && process_alive "$CAMERA_PID"; then
    kill -TERM "$CAMERA_PID"
    wait_exit "$CAMERA_PID" 10
    check "SIGTERM: the camera exits with status 0" [ $? = 0 ]
  fi
  local reports='ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:'
  if grep -qE "$reports" "$E2E_DIR/camera.log" 2>/dev/null; then
    fail "the camera's log has no sanitizer report"
    grep -E -A12 "$reports" "$E2E_DIR/camera.log" | head -40 | sed 's/^/  | /'
  fi
  if ((E2E_FAILURES)); then echo "  $E2E_FAILURES check(s) failed"; exit 1; fi
  exit 0
}
# Prints the last lines of FILE, indented, to explain a failed check.
show_tail() {
  echo "  --- ${2:-}$(basename "$1") (last ${3:-15} lines)"
  tail -n "${3:-15}" "$1" 2>/dev/null | sed 's/^/  | /'
}

# Polls COMMAND every 0.1 s for up to SECONDS.
wait_until() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS >= end)) && return 1
    sleep 0.1
  done
}

# For OBS Studio: a display of our own (Xvfb picks a free number and writes it to descriptor
# 3; DISPLAY names it), and $E2E_DIR/bin with a modinfo that finds nothing. OBS registers its
# own v4l2loopback camera when `modinfo v4l2loopback` finds the module; as on a machine without
# it, OBS's virtual camera button is then Kolv Camera's. Put $E2E_DIR/bin first in OBS's PATH.
start_obs_display() {
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$E2E_DIR/display" >"$E2E_DIR/xvfb.log" 2>&1 &
  track_pid $!
  wait_until 20 test -s "$E2E_DIR/display" || { show_tail "$E2E_DIR/xvfb.log"; return 1; }
  export DISPLAY=":$(head -n1 "$E2E_DIR/display")"
  mkdir -p "$E2E_DIR/bin"
  printf '#!/bin/sh\nexit 1\n' >"$E2E_DIR/bin/modinfo"
  chmod +x "$E2E_DIR/bin/modinfo"
}

# Seconds (with a fraction) on a clock that does not jump.
now_seconds() { awk '{ print $1 }' /proc/uptime; }

# True once WirePlumber has set up the session (it answers before that).
session_ready() { pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'; }

node_published() { pw-cli ls Node 2>/dev/null | grep -q "node.name = \"${1:-kolv-camera}\""; }

# Starts kolv-camera in the background with its log in $E2E_DIR/camera.log; waits for its node.
# Sets CAMERA_PID.
start_camera() {
  "$(kolv_camera_bin)" >"$E2E_DIR/camera.log" 2>&1 &
  CAMERA_PID=$!
  track_pid "$CAMERA_PID"
  wait_until 10 node_published kolv-camera || { fail "the camera's node appears"; show_tail "$E2E_DIR/camera.log"; return 1; }
}

# Lines of the camera's log that contain TEXT.
camera_log_count() { grep -c -F -- "$1" "$E2E_DIR/camera.log" 2>/dev/null; }
# camera_log_reaches TEXT N: true once the camera's log holds N lines with TEXT.
camera_log_reaches() { (($(camera_log_count "$1") >= $2)); }

# consumer_command FRAMES TARGET SINK...: sets E2E_COMMAND to a pipewiresrc consumer that takes
# FRAMES buffers from TARGET and hands them to SINK, logging one line per buffer (its pts and
# offset, i.e. the camera's pts and seq) through identity. Wrapped in timeout: a consumer that
# never links must not hang the test.
# E2E_CONSUMER_PREFIX (an array, empty unless a test sets it) goes before gst-launch-1.0, e.g. a
# chrt that runs the consumer real-time.
E2E_CONSUMER_PREFIX=()
consumer_command() {
  local frames=$1 target=$2; shift 2
  E2E_COMMAND=(timeout "${E2E_CONSUMER_TIMEOUT:-60}" "${E2E_CONSUMER_PREFIX[@]}" gst-launch-1.0 -v pipewiresrc target-object="$target"
    num-buffers="$frames" do-timestamp=false ! "$E2E_CAPS" ! identity silent=false ! "$@")
}

# capture FILE FRAMES [TARGET]: records FRAMES raw BGRA frames from the camera into FILE with
# GStreamer's pipewiresrc, with a buffer line per frame (pts, offset) in FILE.log.
capture() {
  local file=$1 frames=$2 target=${3:-kolv-camera}
  consumer_command "$frames" "$target" filesink location="$file"
  "${E2E_COMMAND[@]}" >"$file.log" 2>&1
}
# start_capture FILE FRAMES [TARGET]: capture in the background; sets CONSUMER_PID (the pid of
# timeout, which passes SIGTERM on to the consumer).
start_capture() {
  local file=$1 frames=$2 target=${3:-kolv-camera}
  consumer_command "$frames" "$target" filesink location="$file"
  "${E2E_COMMAND[@]}" >"$file.log" 2>&1 &
  CONSUMER_PID=$!
  track_pid "$CONSUMER_PID"
}

# watch_frames LOG FRAMES [TARGET]: takes FRAMES frames and throws the pixels away, with the
# buffer lines in LOG.
watch_frames() {
  local log=$1 frames=$2 target=${3:-kolv-camera}
  consumer_command "$frames" "$target" fakesink sync=false
  "${E2E_COMMAND[@]}" >"$log" 2>&1
}
# start_watch LOG FRAMES [TARGET]: watch_frames in the background; sets CONSUMER_PID.
start_watch() {
  local log=$1 frames=$2 target=${3:-kolv-camera}
  consumer_command "$frames" "$target" fakesink sync=false
  "${E2E_COMMAND[@]}" >"$log" 2>&1 &
  CONSUMER_PID=$!
  track_pid "$CONSUMER_PID"
}

# Buffers a consumer has logged so far in LOG.
frames_logged() { grep -c 'last-message = chain' "$1" 2>/dev/null; }
# frames_reach LOG N: true once LOG shows N buffers.
frames_reach() { (($(frames_logged "$1") >= $2)); }

# Waits for background process PID (ours) to end (at most SECONDS, default 60); its exit status.
wait_exit() {
  local pid=$1 seconds=${2:-60}
  wait_until "$seconds" eval '! process_alive '"$pid" || return 124
  wait "$pid"
}

# Seconds of CPU (user + system, all threads) that process PID has used so far.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); print ($12 + $13) / hz }' "/proc/$1/stat"
}

# E2E_PYTHON SCRIPT ARGS...: runs one of the Python checkers beside this file.
e2e_python() { python3 "$E2E_HERE/$1" "${@:2}"; }

# capture_checked CHECKER FRAMES OPTIONS...: records FRAMES frames through a FIFO straight into
# the Python checker CHECKER (a file name in tests/e2e/) with OPTIONS, so nothing large lands
# on disk. Returns the checker's status, or the consumer's when that failed.
capture_checked() {
  local checker_script=$1 frames=$2
  shift 2
  local fifo="$E2E_DIR/frames.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  e2e_python "$checker_script" "$fifo" --frames "$frames" "$@" &
  local checker=$!
  capture "$fifo" "$frames"
  local consumer_status=$?
  # A consumer that never opened the FIFO leaves the checker waiting for a writer.
  ((consumer_status)) && { exec 3<>"$fifo"; exec 3>&-; }
  wait "$checker"
  local checker_status=$?
  ((consumer_status)) && { show_tail "$fifo.log" "consumer "; return "$consumer_status"; }
  return "$checker_status"
}

# The companion's frame-metadata file in the default app group's container.
FRAME_FILE="$XDG_RUNTIME_DIR/app-groups/group.kolv.vcamera/kolvcamera_frame_meta"
frame_file_bytes() { od -An -tx1 "$FRAME_FILE" 2>/dev/null; }

# start_companion LOG COMMAND...: a companion in the background, standard input from
# $COMPANION_INPUT (default /dev/null); waits until it has published a picture. Sets
# COMPANION_PID. The frame file is left in place: the timestamp in it is what the next
# companion continues from.
start_companion() {
  local log=$1 before
  shift
  before=$(frame_file_bytes)
  "$@" <"${COMPANION_INPUT:-/dev/null}" >"$log" 2>&1 &
  COMPANION_PID=$!
  track_pid "$COMPANION_PID"
  if ! wait_until 15 eval '[ "$(frame_file_bytes)" != "$before" ]' || ! process_alive "$COMPANION_PID"; then
    fail "$1 publishes"
    show_tail "$log"
    return 1
  fi
}

# Kills PipeWire (SIGKILL, like a crash), waits for WirePlumber to follow it, then starts both
# again and waits until the session is ready. The new daemons are stopped by the cleanup, after
# every other process. Updates KOLV_PIPEWIRE_PID and KOLV_WIREPLUMBER_PID.
restart_pipewire() {
  kill -KILL "$KOLV_PIPEWIRE_PID" 2>/dev/null
  wait_until 5 eval '! process_alive '"$KOLV_PIPEWIRE_PID" || { fail "PipeWire ends on SIGKILL"; return 1; }
  # WirePlumber exits when it loses PipeWire; stop it if it has not.
  wait_until 5 eval '! process_alive '"$KOLV_WIREPLUMBER_PID" || stop_pid "$KOLV_WIREPLUMBER_PID"
  wait "$KOLV_PIPEWIRE_PID" "$KOLV_WIREPLUMBER_PID" 2>/dev/null

  pipewire >>"$E2E_DIR/pipewire.log" 2>&1 &
  KOLV_PIPEWIRE_PID=$!
  E2E_DAEMON_PIDS+=("$KOLV_PIPEWIRE_PID")
  wait_until 10 pw-cli info 0 || { fail "PipeWire starts again"; show_tail "$E2E_DIR/pipewire.log"; return 1; }
  wireplumber >>"$E2E_DIR/wireplumber.log" 2>&1 &
  KOLV_WIREPLUMBER_PID=$!
  E2E_DAEMON_PIDS+=("$KOLV_WIREPLUMBER_PID")
  wait_until 10 session_ready ||
    { fail "WirePlumber starts again"; show_tail "$E2E_DIR/wireplumber.log"; return 1; }
  export KOLV_PIPEWIRE_PID KOLV_WIREPLUMBER_PID
}
