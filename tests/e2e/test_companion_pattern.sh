# kolv-camera with kolv-publish --pattern: at 30 and at 10 pictures a second a consumer sees
# pattern frames with increasing frame numbers, none torn and no grey frame between them (the
# library keeps the last picture live: at 10 a second each is sent on about three ticks);
# kolv-publish's status line says "watched" while the consumer streams and "idle" after; once
# kolv-publish is stopped, with SIGTERM or SIGKILL, every frame is grey, and the entries a
# killed one left in the surface registry are swept by the next companion; a companion in a
# sandbox of its own sweeps nothing of a live one's.
. "$(dirname "$0")/lib.sh"

PUBLISH="$KOLV_BUILD_DIR/tools/kolv-publish"

start_camera || finish

# start_publisher ARGS...: kolv-publish in the background, log in $E2E_DIR/publish.log; waits for
# its first picture. Sets PUBLISHER_PID.
start_publisher() {
  start_companion "$E2E_DIR/publish.log" "$PUBLISH" "$@" || return 1
  PUBLISHER_PID=$COMPANION_PID
}

# start_pattern_check FRAMES OPTIONS...: records FRAMES frames through a FIFO into
# tools/pattern_frames.py with OPTIONS, both in the background. Sets CHECKER_PID, CONSUMER_PID.
start_pattern_check() {
  local frames=$1; shift
  local fifo="$E2E_DIR/frames.fifo"
  rm -f "$fifo" && mkfifo "$fifo"
  python3 "$KOLV_SOURCE_DIR/tools/pattern_frames.py" "$fifo" --frames "$frames" "$@" &
  CHECKER_PID=$!
  track_pid "$CHECKER_PID"
  start_capture "$fifo" "$frames"
}
# The checker's status, or the consumer's when that failed.
finish_pattern_check() {
  wait_exit "$CONSUMER_PID" 90
  local consumer_status=$?
  # A consumer that never opened the FIFO leaves the checker waiting for a writer.
  ((consumer_status)) && { exec 3<>"$E2E_DIR/frames.fifo"; exec 3>&-; }
  wait_exit "$CHECKER_PID" 30
  local checker_status=$?
  ((consumer_status)) && { show_tail "$E2E_DIR/frames.fifo.log" "consumer "; return "$consumer_status"; }
  return "$checker_status"
}
pattern_check() {
  start_pattern_check "$@"
  finish_pattern_check
}

stop_publisher() {
  kill -TERM "$PUBLISHER_PID"
  wait_exit "$PUBLISHER_PID" 10
}

# No grey frame after the first picture while the companion runs: the library keeps the last
# picture live, so every tick finds one (before it did, 60 in 90 were grey at 10 pictures a
# second). Grey before the first picture is the camera waiting for the companion.
# The last status line of kolv-publish ends with WORD ("watched" or "idle").
status_says() { grep 'published, .* dropped, ' "$E2E_DIR/publish.log" | tail -n 1 | grep -q "dropped, $1\$"; }

# 30 pictures a second: nearly every tick has a new one. The clocks of camera and companion
# beat, so now and then a tick finds none (the last picture again) or two (one number skipped).
start_publisher --pattern --fps 30 || finish
check "30 pictures a second over 5 s: pattern frames, numbers increasing, none torn, no grey between" \
  pattern_check 150 --min-pattern 140 --max-grey-among 0 || show_tail "$E2E_DIR/publish.log"
check "kolv-publish's status line said watched while the consumer streamed" \
  grep -q 'dropped, watched$' "$E2E_DIR/publish.log"
check "kolv-publish's status line says idle once the consumer has gone" wait_until 5 status_says idle
stop_publisher
check "kolv-publish exits with status 0 on SIGTERM" [ $? = 0 ]

# 10 pictures a second: each picture is sent on the tick after it and again on the next
# ticks until the next one, never grey in between.
start_publisher --pattern --fps 10 || finish
check "10 pictures a second: each picture repeats until the next, no grey frames between them" \
  pattern_check 90 --min-pattern 85 --max-grey-among 0 --min-repeats 45
stop_publisher
check "kolv-publish at 10 a second exits with status 0 on SIGTERM" [ $? = 0 ] || show_tail "$E2E_DIR/publish.log"

# Stopped in the middle of a recording: pattern frames, then only grey ones.
start_publisher --pattern --fps 30 || finish
start_pattern_check 150 --min-pattern 20 --trailing-grey 60
if wait_until 20 frames_reach "$E2E_DIR/frames.fifo.log" 45; then
  stop_publisher
  check "SIGTERM in mid-stream: kolv-publish exits with status 0" [ $? = 0 ]
  check "kolv-publish reports how many pictures it published" grep -q 'stopped: [0-9]* published' "$E2E_DIR/publish.log"
  check "kolv-publish released its surfaces" eval '[ -z "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces")" ]'
else
  fail "the consumer gets 45 frames"
fi
check "after kolv-publish stops, every frame is grey" finish_pattern_check ||
  { show_tail "$E2E_DIR/publish.log"; show_tail "$E2E_DIR/camera.log"; }

# Killed in the middle of a recording: its watcher dies with it, so grey at once, and its
# registry entries stay until the next companion starts.
start_publisher --pattern --fps 30 || finish
start_pattern_check 150 --min-pattern 20 --trailing-grey 60
if wait_until 20 frames_reach "$E2E_DIR/frames.fifo.log" 45; then
  kill -KILL "$PUBLISHER_PID"
  wait_exit "$PUBLISHER_PID" 10 2>/dev/null  # bash would report the kill
else
  fail "the consumer gets 45 frames"
fi
check "after kolv-publish is killed (SIGKILL), every frame is grey" finish_pattern_check ||
  { show_tail "$E2E_DIR/publish.log"; show_tail "$E2E_DIR/camera.log"; }
check "a killed kolv-publish leaves its registry entries" eval '[ -n "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces")" ]'
check "the next kolv-publish sweeps them and leaves none of its own" \
  eval '"$PUBLISH" --pattern --frames 3 --quiet >"$E2E_DIR/next.log" 2>&1 && [ -z "$(ls -A "$XDG_RUNTIME_DIR/kolv-surfaces")" ]'

# A companion in a sandbox with a PID namespace and a /proc of its own, where every process
# outside looks dead, sweeps nothing of a live companion's.
surface_entries() { ls "$XDG_RUNTIME_DIR/kolv-surfaces" | grep -E '^[0-9]+$' | sort; }
# all_still_there ENTRIES: ENTRIES (lines) is not empty, and each is still in the registry.
all_still_there() { [ -n "$1" ] && [ -z "$(comm -23 <(echo "$1") <(surface_entries))" ]; }
if unshare -p -f --mount-proc true 2>/dev/null; then
  start_publisher --pattern --fps 30 || finish
  before=$(surface_entries)
  check "a sandboxed kolv-publish of another group runs" eval 'unshare -p -f --mount-proc \
    "$PUBLISH" --group group.kolv.sandboxed --pattern --frames 3 --quiet >"$E2E_DIR/sandboxed.log" 2>&1' ||
    show_tail "$E2E_DIR/sandboxed.log"
  check "it leaves all $(echo "$before" | wc -l) entries of the live kolv-publish in place" all_still_there "$before"
  stop_publisher
else
  echo "  skip: a sandboxed companion (unshare -p -f --mount-proc is not permitted here)"
fi
finish
