# Chromium and Firefox showing the camera at the same time, in each order: the second browser
# joins the node in the format the first one chose (alone, Chromium takes I420 and Firefox
# BGRA; a node carries one format at a time), and both get the camera's grey. Each browser on
# its own, with the companion's pictures and the rate: test_browsers.sh.
# e2e-session: portal   (tests/e2e/run.sh starts this file's session with the Camera portal)
. "$(dirname "$0")/lib.sh"
. "$E2E_HERE/feed_checks.sh"

browser_driver_ready /usr/bin/chromium /usr/bin/firefox-esr || finish

start_camera || finish

# The second browser's driver, beside the first one's (feed_checks.sh's agent).
start_second() {
  SECOND_NAME=$1
  coproc SECOND { exec env HOME="$E2E_DIR/home-$1" node "$DRIVER_DIR/drive.mjs" "$1" "$E2E_DIR" 2>"$E2E_DIR/$1.log"; }
  SECOND_DRIVER=$SECOND_PID  # bash unsets SECOND_PID when the coprocess ends
  track_pid "$SECOND_DRIVER"
}
send_second() { process_alive "$SECOND_DRIVER" && echo "$*" >&"${SECOND[1]}"; }
ask_second() {
  REPLY_LINE=""
  send_second "$@" && read -r -t 90 REPLY_LINE <&"${SECOND[0]}"
  [ -n "$REPLY_LINE" ] || REPLY_LINE="error=no reply from $SECOND_NAME"
  echo "    $SECOND_NAME: $REPLY_LINE" | cut -c1-250
}

# Two seconds of frames in the last reply: 30 or more shown (Firefox shows fewer than 30 a
# second in its first seconds; test_browsers.sh judges the rate after them), 10 or more read by
# the page (it reads fewer than it is shown under load: Chromium 28 of 60 once), all exactly grey.
all_grey() {
  at_least "$(field presented)" 30 && at_least "$(field frames)" 10 && [ "$(field G)" = "$(field frames)" ]
}
opened() { [ "$(field width)x$(field height)@$(field fps)" = 1280x720@30 ]; }

together() {
  local first=$1 second=$2 negotiated before
  echo "  -- $first, then $second"
  mkdir -p "$E2E_DIR/home-$first" "$E2E_DIR/home-$second"
  before=$(camera_log_count "negotiated '")
  start_agent "$first" "$E2E_DIR/$first.log" \
    env HOME="$E2E_DIR/home-$first" node "$DRIVER_DIR/drive.mjs" "$first" "$E2E_DIR"
  agent_receive 120
  ask open Kolv Camera
  check "$first opens \"Kolv Camera\" at 1280x720, 30 fps" opened
  start_second "$second" 2>/dev/null  # bash warns that the first driver's coprocess still runs
  read -r -t 120 REPLY_LINE <&"${SECOND[0]}"
  ask_second open Kolv Camera
  check "$second opens it too, while $first shows it" opened
  ask_second record 2000
  check "$second: every frame grey (30 or more shown in 2 s)" all_grey
  ask record 2000
  check "$first: every frame grey (30 or more shown in 2 s), meanwhile" all_grey
  negotiated=$(grep -o "negotiated '[^']*'" "$E2E_DIR/camera.log" | tail -n +$((before + 1)) | paste -sd,)
  check "the node negotiated once, for $first ($negotiated)" [ "$(camera_log_count "negotiated '")" = $((before + 1)) ]
  local first_driver=$AGENT_PID
  send_second quit
  agent_send quit
  wait_exit "$SECOND_DRIVER" 30 >/dev/null || stop_pid "$SECOND_DRIVER"
  wait_exit "$first_driver" 30 >/dev/null || stop_pid "$first_driver"
  # The next pair starts on a node without consumers.
  wait_until 10 camera_log_reaches "stream stopped" "$(camera_log_count "stream started")"
}

together chromium firefox
together firefox chromium
finish
