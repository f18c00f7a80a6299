# Helpers for the end-to-end test files. Sourced by tests/e2e/test_*.sh, which run inside a
# private PipeWire session (tests/e2e/run.sh) with KOLV_BUILD_DIR set.
# Each check prints one line; `check` failures are counted and make the test file fail.
set -u

E2E_FAILURES=0
E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/kolv-e2e.XXXXXX")
E2E_PIDS=()

kolv_camera_bin() { echo "$KOLV_BUILD_DIR/src/app/kolv-camera"; }

# Stops every process this file started (newest first, by pid), then removes its scratch folder.
e2e_cleanup() {
  local i
  for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
    local pid=${E2E_PIDS[$i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$E2E_DIR"
}
trap e2e_cleanup EXIT

pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; E2E_FAILURES=$((E2E_FAILURES + 1)); }
# check DESCRIPTION COMMAND...: runs the command; its success is the check's.
check() {
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# Ends the test file: non-zero when any check failed.
finish() {
  if ((E2E_FAILURES)); then echo "  $E2E_FAILURES check(s) failed"; exit 1; fi
  exit 0
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

node_published() { pw-cli ls Node 2>/dev/null | grep -q "node.name = \"${1:-kolv-camera}\""; }

# Starts kolv-camera in the background with its log in $E2E_DIR/camera.log; waits for its node.
# Sets CAMERA_PID.
start_camera() {
  "$(kolv_camera_bin)" >"$E2E_DIR/camera.log" 2>&1 &
  CAMERA_PID=$!
  E2E_PIDS+=("$CAMERA_PID")
  wait_until 10 node_published kolv-camera || { fail "the camera's node appears"; cat "$E2E_DIR/camera.log"; return 1; }
}

# capture FILE FRAMES [TARGET]: records FRAMES raw BGRA frames from the camera into FILE with
# GStreamer's pipewiresrc, with a buffer line per frame (pts, offset) in FILE.log.
capture() {
  local file=$1 frames=$2 target=${3:-kolv-camera}
  timeout 60 gst-launch-1.0 -q pipewiresrc target-object="$target" num-buffers="$frames" do-timestamp=false \
    ! 'video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1' \
    ! identity silent=false ! filesink location="$file" >"$file.log" 2>&1 -v
}

# Seconds of CPU (user + system) that process PID has used so far.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}
