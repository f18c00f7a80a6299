# Consumers that come, go and get killed while others connect: KOLV_CHURN_CYCLES (default 200)
# cycles in which a new pipewiresrc consumer connects while the previous one is still there.
# Cycle by cycle the previous consumer is killed with SIGKILL (some before they have linked,
# some while streaming), stopped with SIGTERM, or left linked as an orphan for several cycles.
# Afterwards, with every consumer gone, the camera must stream to a fresh consumer at once and
# "stream started" and "stream stopped" must pair up: one stop per start, nothing streaming.
. "$(dirname "$0")/lib.sh"

STARTED="Kolv Camera Video: stream started"
STOPPED="Kolv Camera Video: stream stopped"
CYCLES=${KOLV_CHURN_CYCLES:-200}
# Also the consumers' own limit: an orphan ends by itself if the test loses track of it.
E2E_CONSUMER_TIMEOUT=60

start_camera || finish

# start_churn_consumer N: a consumer that would take 100000 frames; its log is $E2E_DIR/cN.log.
# Sets CONSUMER_PID (timeout's pid) and GST_PID (gst-launch's, the one that SIGKILL is for).
start_churn_consumer() {
  start_watch "$E2E_DIR/c$1.log" 100000
  GST_PID=""
  for _ in $(seq 20); do
    GST_PID=$(pgrep -P "$CONSUMER_PID" 2>/dev/null | head -1) && [ -n "$GST_PID" ] && break
    sleep 0.01
  done
}

# Ends the consumer behind TIMEOUT_PID/GST_PID with SIGNAL (KILL or TERM) and reaps it.
end_consumer() {
  local signal=$1 timeout_pid=$2 gst_pid=$3
  if [ "$signal" = KILL ] && [ -n "$gst_pid" ]; then
    kill -KILL "$gst_pid" 2>/dev/null
  else
    kill -TERM "$timeout_pid" 2>/dev/null
  fi
  wait "$timeout_pid" 2>/dev/null
}

orphans=()      # "timeout_pid gst_pid cycle_it_ends"
killed_mid=0
killed_streaming=0
terminated=0
orphaned=0
prev_timeout=""
prev_gst=""
churn_start=$SECONDS
for ((i = 1; i <= CYCLES; i++)); do
  start_churn_consumer "$i"
  this_timeout=$CONSUMER_PID
  this_gst=$GST_PID
  if [ -n "$prev_timeout" ]; then
    case $((i % 6)) in
      0 | 3)  # killed while the next one is negotiating
        end_consumer KILL "$prev_timeout" "$prev_gst"; killed_streaming=$((killed_streaming + 1)) ;;
      1)      # killed before it had even linked: the one just started
        sleep "0.0$((RANDOM % 8))"
        end_consumer KILL "$this_timeout" "$this_gst"; killed_mid=$((killed_mid + 1))
        this_timeout=""
        end_consumer TERM "$prev_timeout" "$prev_gst"; terminated=$((terminated + 1)) ;;
      2 | 4)  # leaves normally while the next one connects
        end_consumer TERM "$prev_timeout" "$prev_gst"; terminated=$((terminated + 1)) ;;
      5)      # stays linked for a few more cycles
        orphans+=("$prev_timeout $prev_gst $((i + 3 + RANDOM % 6))"); orphaned=$((orphaned + 1)) ;;
    esac
  fi
  # Orphans whose time has come are killed or stopped.
  kept=()
  for orphan in "${orphans[@]}"; do
    read -r o_timeout o_gst o_end <<<"$orphan"
    if ((i >= o_end)); then
      if ((RANDOM % 2)); then end_consumer KILL "$o_timeout" "$o_gst"; else end_consumer TERM "$o_timeout" "$o_gst"; fi
    else
      kept+=("$orphan")
    fi
  done
  orphans=("${kept[@]}")
  prev_timeout=$this_timeout
  prev_gst=$this_gst
  sleep "0.$((RANDOM % 3))$((RANDOM % 10))"
done
[ -n "$prev_timeout" ] && end_consumer TERM "$prev_timeout" "$prev_gst"
for orphan in "${orphans[@]}"; do
  read -r o_timeout o_gst o_end <<<"$orphan"
  end_consumer KILL "$o_timeout" "$o_gst"
done
echo "  $CYCLES cycles in $((SECONDS - churn_start)) s: $killed_streaming killed while the next connected," \
  "$killed_mid killed before linking, $terminated left, $orphaned orphaned for a few cycles"

streamed=0
for ((i = 1; i <= CYCLES; i++)); do frames_reach "$E2E_DIR/c$i.log" 1 && streamed=$((streamed + 1)); done
echo "  $streamed of $CYCLES consumers got frames"

# Every consumer is gone: the last period ends, and every start has had its stop.
check "after the churn every \"stream started\" has its \"stream stopped\"" \
  wait_until 15 eval '[ "$(camera_log_count "$STARTED")" -gt 0 ] && [ "$(camera_log_count "$STARTED")" = "$(camera_log_count "$STOPPED")" ]'
echo "  $(camera_log_count "$STARTED") started, $(camera_log_count "$STOPPED") stopped"

# A fresh consumer gets frames at once. Linking itself takes a while on a loaded machine, so the
# time counts from the moment the camera's node starts streaming to it (its "stream started").
started_before=$(camera_log_count "$STARTED")
start_watch "$E2E_DIR/fresh.log" 60
fresh=$CONSUMER_PID
if wait_until 20 camera_log_reaches "$STARTED" $((started_before + 1)); then
  linked_at=$(now_seconds)
  wait_until 10 frames_reach "$E2E_DIR/fresh.log" 1
  first_at=$(now_seconds)
  delay=$(awk -v a="$linked_at" -v b="$first_at" 'BEGIN { printf "%.2f", b - a }')
  check "a fresh consumer gets its first frame within 1 s of linking (${delay} s)" frames_reach "$E2E_DIR/fresh.log" 1
  check "... within 1 s" awk -v d="$delay" 'BEGIN { exit !(d <= 1.0) }'
  check "a fresh consumer takes 60 frames" wait_exit "$fresh" 30
else
  fail "a fresh consumer links (the camera logs \"stream started\")"
fi
check "the fresh consumer's period stops too: started and stopped pair up" \
  wait_until 15 eval '[ "$(camera_log_count "$STARTED")" = "$(camera_log_count "$STOPPED")" ]'
sent_zero=$(grep -c ': 0 frames sent' "$E2E_DIR/camera.log")
echo "  streaming periods that sent nothing: $sent_zero of $(camera_log_count 'frames sent')"
((E2E_FAILURES)) && show_tail "$E2E_DIR/camera.log" "" 40
[ -n "${KOLV_CHURN_KEEP_LOG:-}" ] && cp "$E2E_DIR/camera.log" "$KOLV_CHURN_KEEP_LOG"
finish
