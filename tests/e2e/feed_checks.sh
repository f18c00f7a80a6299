# The phases that test_browsers.sh and test_v4l2.sh run against one long-lived consumer of the
# camera, sourced after lib.sh. The consumer is watched by an agent: a coprocess that takes one
# command a line and answers each with one line of tab-separated key=value fields
# (tests/e2e/browsers/drive.mjs in a browser, frame_feed.py behind ffmpeg):
#   record MS   frames= rate= G= grey_among= P= T= I= other= backwards= ... order=
#   after T     before= after= latency_ms= grey_after=
# Needs PUBLISH (kolv-publish) and a running camera. Also the browsers' driver check that every
# browser test uses.

# The camera's grey must reach the consumer this soon after the companion stops publishing.
GREY_WITHIN_MS=200
MIN_RATE=25

# The browsers' driver.
DRIVER_DIR="$E2E_HERE/browsers"
# browser_driver_ready BROWSER...: true when node, npm and the BROWSERs are installed and
# puppeteer-core is in DRIVER_DIR (installed now as package-lock.json pins it, never with a
# browser of its own, if need be); a failed check saying what is missing otherwise.
browser_driver_ready() {
  local program
  for program in node npm "$@"; do
    command -v "$program" >/dev/null || { fail "$program is installed (scripts/install-deps.sh)"; return 1; }
  done
  [ -d "$DRIVER_DIR/node_modules/puppeteer-core" ] && return 0
  (cd "$DRIVER_DIR" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) >"$E2E_DIR/npm.log" 2>&1 &&
    return 0
  fail "npm ci installs puppeteer-core in tests/e2e/browsers"
  show_tail "$E2E_DIR/npm.log"
  return 1
}

# With a companion publishing, every frame a consumer gets from the first picture on is the
# companion's picture: the camera re-sends the companion's latest picture on ticks that find
# nothing newer, and the library keeps it live. Grey before the first picture is the camera
# waiting for the companion and is not counted; any grey after it fails (grey_among= in each
# recording; G= counts every grey frame).
check_no_grey_among_pictures() {
  local what=$1 grey=$2
  check "$AGENT_NAME, $what: no grey frame among the companion's pictures (saw $grey)" [ "$grey" = 0 ]
}

# start_agent NAME LOG COMMAND...: starts the agent (one at a time) with its standard error in
# LOG. Sets AGENT_PID.
start_agent() {
  AGENT_NAME=$1
  local log=$2
  shift 2
  coproc AGENT { exec "$@" 2>"$log"; }
  track_pid "$AGENT_PID"
}
# Writing to an agent that has ended would end this script with SIGPIPE.
agent_send() { [ -n "${AGENT[1]:-}" ] && process_alive "$AGENT_PID" && echo "$*" >&"${AGENT[1]}"; }
# agent_receive [SECONDS]: reads the agent's next reply into REPLY_LINE (error=... when none
# comes in time) and prints it, shortened.
agent_receive() {
  REPLY_LINE=""
  [ -n "${AGENT[0]:-}" ] && read -r -t "${1:-90}" REPLY_LINE <&"${AGENT[0]}"
  [ -n "$REPLY_LINE" ] || REPLY_LINE="error=no reply from $AGENT_NAME"
  echo "    $AGENT_NAME: $REPLY_LINE" | cut -c1-250
}
ask() {
  agent_send "$@"
  agent_receive
}
# field NAME: the value of NAME in REPLY_LINE.
field() { printf '%s\n' "$REPLY_LINE" | tr '\t' '\n' | sed -n "s/^$1=//p"; }
# at_least VALUE MIN, at_most VALUE MAX: VALUE is a number within the limit.
at_least() { awk -v v="$1" -v m="$2" 'BEGIN { exit !(v ~ /^[0-9.]+$/ && v + 0 >= m + 0) }'; }
at_most() { awk -v v="$1" -v m="$2" 'BEGIN { exit !(v ~ /^[0-9.]+$/ && v + 0 <= m + 0) }'; }
# zero NAME...: each field is 0 or absent.
zero() {
  local name
  for name; do [ "$(field "$name")" = 0 ] || [ -z "$(field "$name")" ] || return 1; done
}
# Milliseconds on the wall clock, the clock the agents stamp frames with.
now_ms() { date +%s%3N; }

# start_publisher ARGS...: kolv-publish in the background; waits for its first picture.
start_publisher() {
  start_companion "$E2E_DIR/publish-$AGENT_NAME.log" "$PUBLISH" "$@" || return 1
  PUBLISHER_PID=$COMPANION_PID
}
stop_publisher() {
  kill -TERM "$PUBLISHER_PID" 2>/dev/null
  wait_exit "$PUBLISHER_PID" 10 >/dev/null
}

# record_pattern WHAT MS MIN: records MS of frames while a kolv-publish --pattern runs and checks
# that at least MIN are its pattern, whole and in order.
record_pattern() {
  local what=$1 min=$3 presented looked=$3
  ask record "$2"
  # As for grey in run_phases: in a browser MIN presented and at least half of MIN looked at (a
  # page's thread under load looks at fewer than the browser presents: 59 of 88 once, in
  # Chromium), every one a pattern frame in order. ffmpeg's reader looks at every frame.
  presented=$(field presented)
  [ -n "$presented" ] && looked=$((min / 2))
  check "$AGENT_NAME, $what: $min or more frames, $looked or more read, all pattern frames in order" \
    eval 'at_least "${presented:-$(field frames)}" "$min" && at_least "$(field P)" "$looked" &&
      zero T other g backwards'
  check_no_grey_among_pictures "$what" "$(field grey_among)"
}

# grey_after SIGNAL: records while kolv-publish --pattern runs, sends it SIGNAL a second in, and
# checks that frames turn grey within GREY_WITHIN_MS and stay grey. (Pattern frames on their way
# when the signal arrives still show; a grey tick among them is not the change.)
grey_after() {
  local signal=$1 t
  agent_send record 2500
  sleep 1
  t=$(now_ms)
  # SIGKILL: no job report from bash; the companion is reaped all the same.
  [ "$signal" = KILL ] && disown "$PUBLISHER_PID"
  kill "-$signal" "$PUBLISHER_PID"
  agent_receive
  # Grey from then on: 20 frames read after the change, 10 in a browser, whose page reads fewer
  # than it is shown under load (Chromium: 45 of 73 once).
  local grey_after=20
  [ -n "$(field presented)" ] && grey_after=10
  ask after "$t"
  check "$AGENT_NAME, SIG$signal: pattern before, grey within $GREY_WITHIN_MS ms after, and grey from then on" \
    eval '[[ "$(field before)" == *P* ]] && at_least "$(field grey_after)" "$grey_after" &&
      at_most "$(field latency_ms)" "$GREY_WITHIN_MS"'
}

# The phases, about 25 s: grey without a companion; the pattern at 10 and 30 pictures a second;
# SIGSTOP and SIGKILL of the companion; an image (IMAGE, make_png.py's quadrants).
run_phases() {
  local image=$1 presented
  ask record 3000
  # Every frame the page looked at, of at least 60 presented: a page's thread under load looks at
  # fewer than the browser presents (56 of 90 once, in Chromium), which the rate below judges.
  # (A reader without a presentation count, ffmpeg's, looks at every frame.)
  check "$AGENT_NAME, no companion: every frame is exactly grey 64,64,64" \
    eval 'presented=$(field presented) && at_least "${presented:-$(field frames)}" 60 &&
      at_least "$(field frames)" 30 && [ "$(field G)" = "$(field frames)" ] &&
      [[ "$(field sizes)" =~ ^(1280x720)?$ ]]'
  check "$AGENT_NAME, no companion: at least $MIN_RATE frames a second" at_least "$(field rate)" "$MIN_RATE"

  if start_publisher --pattern --fps 10; then
    record_pattern "pattern at 10 a second" 3000 20
    stop_publisher
  fi

  if start_publisher --pattern --fps 30; then
    record_pattern "pattern at 30 a second" 3000 60
    check "$AGENT_NAME, pattern at 30 a second: at least $MIN_RATE frames a second" at_least "$(field rate)" "$MIN_RATE"
    grey_after STOP
    kill -CONT "$PUBLISHER_PID"
    stop_publisher
  fi

  if start_publisher --pattern --fps 30; then
    grey_after KILL
  fi

  if start_publisher --image "$image"; then
    ask record 2000
    check "$AGENT_NAME, --image PNG: frames show the quadrants" \
      eval 'at_least "$(field I)" 30 && zero other g T'
    check_no_grey_among_pictures "--image PNG" "$(field grey_among)"
    stop_publisher
  fi
}
