#!/usr/bin/env bash
# kolv-camera's cost on PipeWire against a GStreamer peer, in one run on a private PipeWire session.
#
#   bench/pipewire_bench.sh BUILD_DIR [SECONDS] [ROUNDS]     (defaults: 10 s windows, 5 rounds)
#
# Four configurations stream, one at a time, to the same pipewiresrc consumer:
#   camera     kolv-camera alone: grey frames
#   companion  kolv-camera with `kolv-publish --pattern --fps 30` publishing (started before the
#              consumer joins, measured over the same window)
#   peer       the GStreamer peer: videotestsrc ! BGRA 1280x720 30/1 ! pipewiresink
#   floor      kolv_fill_floor (bench/fill_floor_producer.cpp): one 0x40 memset per frame into a
#              free PipeWire buffer on PipeWire's own loop and nothing else, the least any
#              producer of grey frames can cost (skipped when the build has no benches)
# in ROUNDS rounds, rotated so that every configuration takes every position (round 1 camera,
# companion, peer, floor; round 2 companion, peer, floor, camera; ...). Each
# window starts 1 s after the consumer's first frame and lasts SECONDS. Per window: frames
# received per second, seq gaps (pipewiresrc turns the producer's seq into the buffer offset),
# CPU per streamed second of the producer (all threads), the companion, the pipewire daemon and
# the consumer, and wake-ups (voluntary + involuntary context switches of all threads) per
# second. The ratio of the camera's CPU to the peer's is taken per round, against that round's
# peer window (and the camera's against the floor's), and summarised as median (min-max).
# kolv-camera runs throughout (idle between its
# windows); the peer and the companion run for their own windows only; each consumer ends with
# SIGINT, as an application closes a camera (see stop_consumer).
#
# Before the rounds: the camera's CPU with no consumer (SECONDS, with and without the companion
# publishing), and a content check (the camera alone sends grey, with the companion its
# pattern). After the rounds, when strace is installed, system calls per frame of each producer
# over a short separate window (strace slows what it traces, so never inside a CPU window).
# The report is bench/pipewire_bench_report.py's; the raw windows stay in the work folder when
# KOLV_BENCH_KEEP=1. Needs a Release or RelWithDebInfo build with kolv-camera and kolv-publish
# (-DKOLV_BUILD_TOOLS=ON, the default), and kolv_fill_floor (-DKOLV_BUILD_BENCH=ON) for the
# floor. About 5 minutes at the defaults.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

usage() { echo "usage: bench/pipewire_bench.sh BUILD_DIR [SECONDS] [ROUNDS]   (defaults: 10 5)" >&2; exit 2; }
case "${1:-}" in -h | --help | "") usage ;; esac
[[ "${2:-10}" =~ ^[1-9][0-9]*$ && "${3:-5}" =~ ^[1-9][0-9]*$ ]] || usage

if [ -z "${KOLV_PRIVATE_PIPEWIRE:-}" ]; then
  exec "$root/scripts/private-pipewire-session.sh" "$0" "$@"
fi

build=$(cd "$1" 2>/dev/null && pwd) || { echo "pipewire_bench: no build folder '$1'" >&2; exit 2; }
seconds=${2:-10}
rounds=${3:-5}
camera_bin="$build/src/app/kolv-camera"
publish_bin="$build/tools/kolv-publish"
floor_bin="$build/bench/kolv_fill_floor"
for program in "$camera_bin" "$publish_bin"; do
  [ -x "$program" ] || { echo "pipewire_bench: $program is missing (build kolv-camera and kolv-publish)" >&2; exit 2; }
done
for tool in gst-launch-1.0 pw-cli python3; do
  command -v "$tool" >/dev/null || { echo "pipewire_bench: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kolv-pw-bench.XXXXXX")
pids=()
# True while PID runs; a zombie not yet reaped counts as gone.
alive() { local s; s=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) && [ -n "$s" ] && [ "$s" != Z ]; }
stop_pid() {
  kill -TERM "$1" 2>/dev/null || { wait "$1" 2>/dev/null; return 0; }
  for _ in $(seq 50); do alive "$1" || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[$i]}"; done
  if [ "${KOLV_BENCH_KEEP:-0}" = 1 ]; then echo "raw windows and logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fail() { echo "pipewire_bench: $*" >&2; exit 1; }

caps='video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1'
hz=$(getconf CLK_TCK)

# One sample of process PID: nanoseconds on CPU summed over its live threads (schedstat), their
# ids, their context switches (voluntary + involuntary, summed), and the CPU seconds of the whole
# process from /proc/PID/stat (which keeps ended threads, to 1/CLK_TCK). The report takes the
# nanoseconds when the set of threads did not change over the window, else /proc/PID/stat.
sample() {
  local pid=$1 stat
  stat=$(awk -v hz="$hz" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$pid/stat" 2>/dev/null) || stat=nan
  cat /proc/"$pid"/task/*/schedstat /proc/"$pid"/task/*/status 2>/dev/null | awk -v stat="$stat" '
    NF == 3 && $1 ~ /^[0-9]+$/ { ns += $1 }
    $1 == "Pid:" { tids = tids (tids == "" ? "" : ":") $2 }
    $1 == "voluntary_ctxt_switches:" || $1 == "nonvoluntary_ctxt_switches:" { switches += $2 }
    END { printf "%.0f,%s,%d,%s\n", ns, tids, switches, stat }'
}
now() { date +%s.%N; }
load1() { cut -d' ' -f1 /proc/loadavg; }
# Ticks stolen from this VM's CPUs by the host, and all ticks, so far: "STEAL,TOTAL".
cpu_ticks() { awk '$1 == "cpu" { for (i = 2; i <= NF; i++) total += $i; print $9 "," total; exit }' /proc/stat; }
# The pid of PID's first child (PID being single-threaded, like timeout).
child_of() { awk '{ print $1 }' "/proc/$1/task/$1/children"; }
wait_for() {
  local tenths=$(($1 * 10)); shift
  for _ in $(seq "$tenths"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
node_published() { pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\""; }
# Buffers the consumer has pushed into identity so far.
frames() { grep -c '<identity0:sink> calling chainfunction' "$1" 2>/dev/null; }
has_frames() { (($(frames "$1") >= $2)); }
# What the companions have written to the app groups' containers (names, times, sizes): it
# changes when a companion publishes, whatever the hand-off files are called.
frame_meta() { find "$XDG_RUNTIME_DIR/app-groups" -type f -printf '%p %T@ %s\n' 2>/dev/null | sort; }
meta_differs_from() { [ "$(frame_meta)" != "$1" ]; }

"$camera_bin" >"$work/camera.log" 2>&1 &
camera_pid=$!
pids+=("$camera_pid")
wait_for 10 node_published kolv-camera || { cat "$work/camera.log" >&2; fail "the camera's node did not appear"; }

# The camera's own count of frames it dropped in the stream that just stopped (its log says
# "N frames sent (I in place, C copied), M dropped while streaming" when a stream stops):
# "SENT/DROPPED, I in place", or empty.
stream_reports() { grep -c 'frames sent (.*), .* dropped' "$work/camera.log"; }
more_reports_than() { (($(stream_reports) > $1)); }
camera_dropped() {
  wait_for 3 more_reports_than "$reports_before" || return 0
  grep -o '[0-9]* frames sent ([0-9]* in place, [0-9]* copied), [0-9]* dropped' "$work/camera.log" | tail -n 1 |
    awk '{ sub(/^\(/, "", $4); print $1 "/" $9 ", " $4 " in place" }'
}

# Starts kolv-publish --pattern --fps 30 and waits for its first picture; sets companion_pid.
companion_pid=
start_companion() {
  local before
  before=$(frame_meta)
  "$publish_bin" --pattern --fps 30 --quiet >"$work/publish.log" 2>&1 </dev/null &
  companion_pid=$!
  pids+=("$companion_pid")
  if ! wait_for 10 meta_differs_from "$before" || ! alive "$companion_pid"; then
    cat "$work/publish.log" >&2
    fail "kolv-publish did not publish"
  fi
  sleep 0.5  # past its start-up
}
stop_companion() { stop_pid "$companion_pid"; companion_pid=; }

peer_pid=
start_peer() {
  gst-launch-1.0 videotestsrc is-live=true pattern=solid-color foreground-color=0x40404040 \
    ! "$caps" ! pipewiresink mode=provide client-name=kolv-bench-peer \
    stream-properties="props,node.name=kolv-bench-peer" >"$work/peer.log" 2>&1 &
  peer_pid=$!
  pids+=("$peer_pid")
  wait_for 10 node_published kolv-bench-peer || { cat "$work/peer.log" >&2; fail "the peer's node did not appear"; }
}
stop_peer() { stop_pid "$peer_pid"; peer_pid=; }

floor_pid=
start_floor() {
  "$floor_bin" --name kolv-bench-floor >"$work/floor.log" 2>&1 &
  floor_pid=$!
  pids+=("$floor_pid")
  wait_for 10 node_published kolv-bench-floor || { cat "$work/floor.log" >&2; fail "the floor's node did not appear"; }
}
stop_floor() { stop_pid "$floor_pid"; floor_pid=; }

# start_consumer TARGET LOG: the pipewiresrc consumer, one debug line per buffer in LOG; waits
# for its first frame. Sets timeout_pid and consumer_pid.
start_consumer() {
  local target=$1 log=$2
  GST_DEBUG_NO_COLOR=1 GST_DEBUG=GST_SCHEDULING:5 GST_DEBUG_FILE="$log" \
    timeout -s INT $((seconds + 120)) gst-launch-1.0 -e pipewiresrc target-object="$target" do-timestamp=false \
    ! "$caps" ! identity ! fakesink sync=false >"$log.out" 2>&1 &
  timeout_pid=$!
  pids+=("$timeout_pid")
  wait_for 15 has_frames "$log" 1 || { cat "$log.out" >&2; fail "no frames from $target"; }
  consumer_pid=$(child_of "$timeout_pid")
}
# Ends the consumer as an application closes a camera: SIGINT, which gst-launch -e turns into an
# end of stream and a clean disconnect. (pipewiresrc consumers killed with SIGTERM leave the
# producer's later consumers fewer and fewer frames, the GStreamer peer's as much as the camera's,
# on PipeWire 0.3.65; a benchmark must not measure that.) SIGTERM and SIGKILL only if that fails.
stop_consumer() {
  kill -INT "$timeout_pid" 2>/dev/null
  for _ in $(seq 50); do alive "$timeout_pid" || break; sleep 0.1; done
  stop_pid "$timeout_pid"
}

echo "== kolv-camera on PipeWire against a GStreamer peer: $seconds s windows, $rounds rounds"
echo "build: $build ($(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" 2>/dev/null | cut -d= -f2))," \
  "commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- src tools bench CMakeLists.txt 2>/dev/null || echo ' with changes to src, tools or bench')"
echo "pipewire $(pipewire --version | awk '/Linked/ { print $NF }'), $(gst-launch-1.0 --version | sed -n 2p)," \
  "$(nproc) CPUs, kernel $(uname -r), running as $(id -un)"
echo "load at start: $(uptime | sed 's/.*load average: //') (uptime's 1, 5, 15 min)"

# With no consumer the camera's frame timer must not run: alone, then with a companion
# publishing (no one watches, so the camera has no reason to read what it publishes).
idle() {
  local label=$1 t0 s0 t1 s1
  sleep 1
  t0=$(now) s0=$(sample "$camera_pid")
  sleep "$seconds"
  t1=$(now) s1=$(sample "$camera_pid")
  printf 'kind=idle\tlabel=%s\tt0=%s\tt1=%s\tproducer0=%s\tproducer1=%s\n' "$label" "$t0" "$t1" "$s0" "$s1" >>"$work/idle.tsv"
}
: >"$work/idle.tsv"
idle "no consumer"
start_companion
idle "no consumer, kolv-publish publishing"
stop_companion

# Content check: what each configuration but the peer sends (30 frames each).
content() {
  local label=$1 target=${2:-kolv-camera} fifo="$work/frames.fifo" out
  rm -f "$fifo" && mkfifo "$fifo"
  python3 "$root/tools/pattern_frames.py" "$fifo" --frames 30 >"$work/content.txt" 2>&1 &
  local checker=$!
  timeout 60 gst-launch-1.0 pipewiresrc target-object="$target" num-buffers=30 do-timestamp=false \
    ! "$caps" ! filesink location="$fifo" >"$work/content-consumer.log" 2>&1 || { exec 3<>"$fifo"; exec 3>&-; }
  wait "$checker"
  out=$(grep -o 'frames=.*' "$work/content.txt" | head -n 1 | cut -d' ' -f1-4)
  echo "content, $label: ${out:-$(tail -n 1 "$work/content.txt")}"
}
content "camera alone (expect grey=30)"
start_companion
content "camera with kolv-publish (expect pattern=30)"
stop_companion
if [ -x "$floor_bin" ]; then
  start_floor
  content "floor (expect grey=30)" kolv-bench-floor
  stop_floor
fi

# Starts what configuration WHO needs besides the camera; sets target (the node a consumer
# opens) and producer_pid (the process whose CPU counts). stop_extras stops what it started.
start_config() {
  case $1 in
    camera) target=kolv-camera producer_pid=$camera_pid ;;
    companion) start_companion; target=kolv-camera producer_pid=$camera_pid ;;
    peer) start_peer; target=kolv-bench-peer producer_pid=$peer_pid ;;
    floor) start_floor; target=kolv-bench-floor producer_pid=$floor_pid ;;
  esac
}
stop_extras() {
  [ -n "$companion_pid" ] && stop_companion
  [ -n "$peer_pid" ] && stop_peer
  [ -n "$floor_pid" ] && stop_floor
  return 0
}

# One window of configuration WHO in round ROUND at POSITION (0 to the number of configurations - 1).
windows="$work/windows.tsv"
: >"$windows"
measure() {
  local who=$1 round=$2 position=$3 target producer_pid
  start_config "$who"
  local log="$work/$who-$round.log"
  reports_before=$(stream_reports)
  start_consumer "$target" "$log"
  sleep 1

  local t0 n0 p0 c0 w0 u0 l0 s0 t1 n1 p1 c1 w1 u1 l1 s1
  l0=$(load1) s0=$(cpu_ticks) t0=$(now) n0=$(frames "$log")
  p0=$(sample "$producer_pid") w0=$(sample "$KOLV_PIPEWIRE_PID") u0=$(sample "$consumer_pid")
  c0=$([ -n "$companion_pid" ] && sample "$companion_pid")
  sleep "$seconds"
  t1=$(now) n1=$(frames "$log")
  p1=$(sample "$producer_pid") w1=$(sample "$KOLV_PIPEWIRE_PID") u1=$(sample "$consumer_pid")
  c1=$([ -n "$companion_pid" ] && sample "$companion_pid")
  l1=$(load1) s1=$(cpu_ticks)
  stop_consumer
  local dropped='' stream=''
  if [ "$who" = camera ] || [ "$who" = companion ]; then
    dropped=$(camera_dropped)
    stream=$(grep -c 'stream started' "$work/camera.log")
    [ "$stream" = 0 ] && stream=''
  fi
  stop_extras
  printf 'kind=window\tconfig=%s\tround=%s\tposition=%s\tt0=%s\tt1=%s\tn0=%s\tn1=%s\tproducer0=%s\tproducer1=%s\t' \
    "$who" "$round" "$position" "$t0" "$t1" "$n0" "$n1" "$p0" "$p1" >>"$windows"
  printf 'companion0=%s\tcompanion1=%s\tpipewire0=%s\tpipewire1=%s\tconsumer0=%s\tconsumer1=%s\t' \
    "$c0" "$c1" "$w0" "$w1" "$u0" "$u1" >>"$windows"
  printf 'load0=%s\tload1=%s\tsteal0=%s\tsteal1=%s\tdropped=%s\tstream=%s\tlog=%s\n' \
    "$l0" "$l1" "$s0" "$s1" "$dropped" "$stream" "$log" >>"$windows"
  python3 "$here/pipewire_bench_report.py" --row "$(tail -n 1 "$windows")"
}

configs=(camera companion peer)
if [ -x "$floor_bin" ]; then
  configs+=(floor)
else
  echo "(no $floor_bin: the build has no benches, so no floor; configure with -DKOLV_BUILD_BENCH=ON)"
fi
python3 "$here/pipewire_bench_report.py" --row-header
for round in $(seq "$rounds"); do
  for ((position = 0; position < ${#configs[@]}; position++)); do
    measure "${configs[$(((round - 1 + position) % ${#configs[@]}))]}" "$round" "$position"
  done
done

# System calls per frame, each producer over a short window of its own, traced by strace.
: >"$work/strace.tsv"
if command -v strace >/dev/null; then
  for who in "${configs[@]}"; do
    start_config "$who"
    log="$work/strace-$who.log"
    start_consumer "$target" "$log"
    sleep 1
    n0=$(frames "$log") t0=$(now)
    timeout -s INT 5 strace -c -f -p "$producer_pid" -o "$work/strace-$who.txt" 2>"$work/strace-$who.err"
    n1=$(frames "$log") t1=$(now)
    stop_consumer
    stop_extras
    printf 'kind=strace\tconfig=%s\tt0=%s\tt1=%s\tframes=%s\tsummary=%s\n' "$who" "$t0" "$t1" "$((n1 - n0))" \
      "$work/strace-$who.txt" >>"$work/strace.tsv"
  done
else
  echo "(strace is not installed: no system calls per frame)"
fi
echo "load at end: $(uptime | sed 's/.*load average: //')"
echo

python3 "$here/pipewire_bench_report.py" --summary "$windows" --idle "$work/idle.tsv" --strace "$work/strace.tsv"
