#!/usr/bin/env bash
# Latency from a companion's publish to a PipeWire consumer: starts kolv-camera in a private
# PipeWire session and runs kolv_companion_latency_bench against it.
#   bench/companion_latency.sh [BUILD_DIR [SECONDS [--one-surface]]]   (defaults: build/default, 30)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd) || exit 2
seconds=${2:-30}
for program in src/app/kolv-camera bench/kolv_companion_latency_bench; do
  [ -x "$build/$program" ] || { echo "companion_latency: build $program first" >&2; exit 2; }
done

exec "$root/scripts/private-pipewire-session.sh" bash -c '
  build=$1 seconds=$2
  shift 2
  "$build/src/app/kolv-camera" >"$XDG_RUNTIME_DIR/camera.log" 2>&1 &
  camera=$!
  trap "kill -TERM $camera 2>/dev/null; wait $camera" EXIT
  for _ in $(seq 100); do
    pw-cli ls Node 2>/dev/null | grep -q "node.name = \"kolv-camera\"" && break
    sleep 0.1
  done
  echo "load average: $(cat /proc/loadavg)"
  timeout $((seconds + 30)) "$build/bench/kolv_companion_latency_bench" --seconds "$seconds" "$@"
' companion-latency "$build" "$seconds" "${@:3}"
