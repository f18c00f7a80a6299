#!/usr/bin/env bash
# kolv-camera against a GStreamer peer on PipeWire, in one run on a private PipeWire session.
#
#   bench/pipewire_bench.sh [BUILD_DIR] [SECONDS] [ROUNDS]     (default build/default 10 3)
#
# Measures kolv-camera's CPU with no consumer over SECONDS, then streams from each producer to
# the same pipewiresrc consumer for SECONDS, interleaved (camera, peer, camera, peer, ...) for
# ROUNDS rounds: frames received per second, CPU seconds per streamed second of the producer,
# of the pipewire daemon and of the consumer, the producer's pts spacing and seq gaps (the
# buffer's pts and offset in pipewiresrc), and the spacing of arrivals at the consumer. Prints
# a table per window and the medians (bench/pipewire_bench_report.py). Needs a RelWithDebInfo
# or Release build for figures worth quoting.
#
# The peer is the GStreamer pipeline
#   videotestsrc is-live=true pattern=solid-color foreground-color=0x40404040
#   ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! pipewiresink mode=provide
# named "kolv-bench-peer" (client-name and stream-properties) so that the consumer can target it.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

if [ -z "${KOLV_PRIVATE_PIPEWIRE:-}" ]; then
  exec "$root/scripts/private-pipewire-session.sh" "$0" "$@"
fi

build=$(cd "${1:-$root/build/default}" && pwd) || { echo "pipewire_bench: no build folder '${1:-}'" >&2; exit 2; }
seconds=${2:-10}
rounds=${3:-3}
camera_bin="$build/src/app/kolv-camera"
[ -x "$camera_bin" ] || { echo "pipewire_bench: $camera_bin is missing" >&2; exit 2; }

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
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

caps='video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1'
hz=$(getconf CLK_TCK)

# CPU seconds (user + system, all threads, from /proc/PID/stat) of PID so far.
cpu() { awk -v hz="$hz" '{ sub(/^.*\) /, ""); print ($12 + $13) / hz }' "/proc/$1/stat"; }
# CPU seconds of PID's live threads from the scheduler's nanosecond counters.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.6f\n", s / 1e9 }'; }
now() { date +%s.%N; }
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

"$camera_bin" >"$work/camera.log" 2>&1 &
camera_pid=$!
pids+=("$camera_pid")
wait_for 10 node_published kolv-camera || { echo "pipewire_bench: the camera's node did not appear" >&2; cat "$work/camera.log" >&2; exit 1; }

echo "kolv-camera on PipeWire against a GStreamer peer: $seconds s per window, $rounds rounds"
echo "build: $build ($(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" 2>/dev/null | cut -d= -f2))"
echo "pipewire $(pipewire --version | awk '/Linked/ { print $NF }'), $(gst-launch-1.0 --version | sed -n 2p), $(nproc) CPUs"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# No consumer: the camera's frame timer must not run.
sleep 1
idle_t0=$(now) idle_c0=$(cpu "$camera_pid") idle_n0=$(cpu_ns "$camera_pid")
sleep "$seconds"
idle_t1=$(now) idle_c1=$(cpu "$camera_pid") idle_n1=$(cpu_ns "$camera_pid")

# One window: WHO (camera or peer) streams to the consumer; the measurement starts 1 s after
# the first frame and lasts SECONDS.
windows="$work/windows.tsv"
: >"$windows"
measure() {
  local who=$1 round=$2 target producer_pid
  if [ "$who" = camera ]; then
    target=kolv-camera producer_pid=$camera_pid
  else
    target=kolv-bench-peer
    gst-launch-1.0 videotestsrc is-live=true pattern=solid-color foreground-color=0x40404040 \
      ! "$caps" ! pipewiresink mode=provide client-name=kolv-bench-peer \
      stream-properties="props,node.name=kolv-bench-peer" >"$work/peer-$round.log" 2>&1 &
    producer_pid=$!
    pids+=("$producer_pid")
    wait_for 10 node_published kolv-bench-peer || { echo "pipewire_bench: the peer's node did not appear" >&2; return 1; }
  fi

  local log="$work/$who-$round.log"
  GST_DEBUG_NO_COLOR=1 GST_DEBUG=GST_SCHEDULING:5 GST_DEBUG_FILE="$log" \
    timeout $((seconds + 60)) gst-launch-1.0 pipewiresrc target-object="$target" do-timestamp=false \
    ! "$caps" ! identity ! fakesink sync=false >"$work/consumer-$who-$round.out" 2>&1 &
  local timeout_pid=$!
  pids+=("$timeout_pid")
  wait_for 10 has_frames "$log" 1 || { echo "pipewire_bench: no frames from $target" >&2; return 1; }
  local consumer_pid
  consumer_pid=$(child_of "$timeout_pid")
  sleep 1

  local t0 n0 p0 w0 c0 t1 n1 p1 w1 c1
  t0=$(now) n0=$(frames "$log") p0=$(cpu "$producer_pid") w0=$(cpu "$KOLV_PIPEWIRE_PID") c0=$(cpu "$consumer_pid")
  sleep "$seconds"
  t1=$(now) n1=$(frames "$log") p1=$(cpu "$producer_pid") w1=$(cpu "$KOLV_PIPEWIRE_PID") c1=$(cpu "$consumer_pid")
  stop_pid "$timeout_pid"
  [ "$who" = peer ] && stop_pid "$producer_pid"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
    "$who" "$round" "$t0" "$t1" "$n0" "$n1" "$p0" "$p1" "$w0" "$w1" "$c0" "$c1" "$log" >>"$windows"
}

for round in $(seq "$rounds"); do
  measure camera "$round" || exit 1
  measure peer "$round" || exit 1
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

python3 "$here/pipewire_bench_report.py" "$windows" \
  --idle "$idle_t0" "$idle_t1" "$idle_c0" "$idle_c1" "$idle_n0" "$idle_n1"
