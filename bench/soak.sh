#!/usr/bin/env bash
# A soak at load: kolv-camera streaming kolv-publish --pattern to one GStreamer consumer for a
# long while, with busy loops at normal priority on every core, in a private PipeWire session.
#
#   bench/soak.sh [--minutes N] [--hogs-per-core N] [--fps N] [--keep DIR] [BUILD_DIR]
#       --minutes N        how long the consumer streams (default 30)
#       --hogs-per-core N  busy loops per core, started before the camera (default 6; 0: none)
#       --fps N            kolv-publish's pictures a second (default 30)
#       --keep DIR         copy the logs (camera, companion, consumer, samples) into DIR
#       BUILD_DIR          a build with kolv-camera and kolv-publish (default build/default)
#
# The consumer (pipewiresrc ! identity ! videocrop ! filesink into a FIFO) hands the top rows of
# every frame to tests/e2e/frame_stream.py, which sorts them as they come and keeps only counts.
# Every minute one line: the camera's resident memory and open descriptors, and the counts so
# far. At the end: frames received against those expected at 30 a second, grey among the
# companion's pictures (target 0), the longest gap in the camera's frame times, the camera's
# own line for the stream ("N frames sent (...), M dropped while streaming"; target 0 dropped
# while the consumer keeps up), and memory and descriptors first and last (target flat).
# Exits 1 when a frame was grey among pictures, torn or unknown, or a gap was over 100 ms.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

usage() { sed -n '4,10p' "$0" | sed 's/^# \{0,1\}//'; exit "${1:-2}"; }
minutes=30 hogs_per_core=6 fps=30 keep="" build=""
while (($#)); do
  case "$1" in
    -h | --help) usage 0 ;;
    --minutes) minutes=${2:-}; shift 2 ;;
    --hogs-per-core) hogs_per_core=${2:-}; shift 2 ;;
    --fps) fps=${2:-}; shift 2 ;;
    --keep) keep=${2:-}; shift 2 ;;
    -*) echo "soak: unknown option $1" >&2; usage ;;
    *) build=$1; shift ;;
  esac
done
[[ "$minutes" =~ ^[1-9][0-9]*$ && "$hogs_per_core" =~ ^[0-9]+$ && "$fps" =~ ^[1-9][0-9]*$ ]] || usage

if [ -z "${KOLV_PRIVATE_PIPEWIRE:-}" ]; then
  build=$(cd "${build:-$root/build/default}" 2>/dev/null && pwd) || { echo "soak: no build folder '${build:-build/default}'" >&2; exit 2; }
  [ -z "$keep" ] || keep=$(mkdir -p "$keep" && cd "$keep" && pwd) || exit 2
  exec "$root/scripts/private-pipewire-session.sh" "$0" --minutes "$minutes" --hogs-per-core "$hogs_per_core" \
    --fps "$fps" ${keep:+--keep "$keep"} "$build"
fi

export KOLV_BUILD_DIR=$build KOLV_SOURCE_DIR=$root
. "$root/tests/e2e/lib.sh"
PUBLISH="$build/tools/kolv-publish"
for program in "$(kolv_camera_bin)" "$PUBLISH"; do
  [ -x "$program" ] || { echo "soak: build $program first" >&2; exit 2; }
done

keep_logs() { [ -z "$keep" ] || cp "$E2E_DIR"/*.log "$E2E_DIR"/*.txt "$keep"/ 2>/dev/null; }
trap 'keep_logs; e2e_cleanup' EXIT

hogs=$(($(nproc) * hogs_per_core))
for ((i = 0; i < hogs; i++)); do
  sh -c 'while :; do :; done' &
  track_pid $!
done
echo "soak: $minutes min, kolv-publish --pattern --fps $fps, $hogs busy loops on $(nproc) cores (nice $(nice))"

start_camera || exit 1
start_companion "$E2E_DIR/publish.log" "$PUBLISH" --pattern --fps "$fps" || exit 1

# The consumer and its checker are the instruments: real-time where permitted, below the
# camera's threads, so that a frame they fail to take shows the machine's load on them, not a
# gap in what the camera sent (as in tests/e2e/test_load.sh).
checker_prefix=()
if chrt -f 5 true 2>/dev/null; then
  E2E_CONSUMER_PREFIX=(chrt -f 5)
  checker_prefix=(chrt -f 4)
else
  echo "soak: the consumer runs at normal priority (real-time is not permitted here): frames it misses show as gaps"
fi

fifo="$E2E_DIR/frames.fifo"
mkfifo "$fifo"
"${checker_prefix[@]}" python3 "$root/tests/e2e/frame_stream.py" "$fifo" --log "$E2E_DIR/consumer.log" --status-every 60 \
  --name frames >"$E2E_DIR/frames.txt" 2>&1 &
checker=$!
track_pid "$checker"
E2E_CONSUMER_TIMEOUT=$((minutes * 60 + 120)) consumer_command -1 kolv-camera videocrop bottom=672 ! filesink location="$fifo"
"${E2E_COMMAND[@]}" >"$E2E_DIR/consumer.log" 2>&1 &
consumer=$!
track_pid "$consumer"

# Resident memory (kB) and open descriptors of the camera.
sample() {
  echo "$(awk '/^VmRSS:/ { print $2 }' "/proc/$CAMERA_PID/status") $(ls "/proc/$CAMERA_PID/fd" | wc -l)"
}
wait_until 30 frames_reach "$E2E_DIR/consumer.log" 1 || { echo "soak: the consumer got no frame"; show_tail "$E2E_DIR/consumer.log"; exit 1; }
started=$(now_seconds)
read -r rss_first fds_first < <(sample)
echo "minute 0: camera rss=${rss_first} kB fds=$fds_first" | tee "$E2E_DIR/samples.txt"
for ((minute = 1; minute <= minutes; minute++)); do
  while awk -v s="$started" -v n="$(now_seconds)" -v m="$minute" 'BEGIN { exit !(n - s < m * 60) }'; do
    process_alive "$consumer" || break 2
    sleep 1
  done
  read -r rss fds < <(sample)
  echo "minute $minute: camera rss=$rss kB fds=$fds load=$(cut -d' ' -f1 /proc/loadavg) | $(tail -n 1 "$E2E_DIR/frames.txt")" |
    tee -a "$E2E_DIR/samples.txt"
done
streamed=$(awk -v s="$started" -v n="$(now_seconds)" 'BEGIN { printf "%.1f", n - s }')

# SIGINT: pipewiresrc ends the stream as an application closing the camera does.
kill -INT "$consumer" 2>/dev/null
wait_exit "$consumer" 15 >/dev/null || stop_pid "$consumer"
wait_exit "$checker" 30
checker_status=$?
wait_until 10 grep -q -F 'frames sent' "$E2E_DIR/camera.log"
read -r rss_last fds_last < <(sample)

received=$(grep -c 'last-message = chain' "$E2E_DIR/consumer.log")
expected=$(awk -v s="$streamed" 'BEGIN { printf "%d", s * 30 }')
echo "== soak: results ($minutes min at load, $hogs busy loops)"
# The last line of counts and the problems after it.
awk '/^frames: / { n = NR } { line[NR] = $0 } END { for (i = n; i <= NR; i++) print "  " line[i] }' "$E2E_DIR/frames.txt"
echo "  received $received frames in $streamed s, $expected expected at 30 a second"
echo "  camera: $(grep -F 'frames sent' "$E2E_DIR/camera.log" | tail -n 1 | sed 's/^.*: \([0-9]* frames sent\)/\1/')"
echo "  camera rss: $rss_first kB at the start, $rss_last kB at the end; fds: $fds_first, then $fds_last"
echo "  load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$checker_status"
