#!/usr/bin/env bash
# End-to-end tests: runs every tests/e2e/test_*.sh, each in its own private PipeWire session,
# against the executables of a build folder.
#   tests/e2e/run.sh [BUILD_DIR]      (default build/default)
#   KOLV_E2E_ONLY="test_camera test_v4l2" tests/e2e/run.sh build/ci    # only these files
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd) || { echo "e2e: no build folder '${1:-}'" >&2; exit 2; }
export KOLV_BUILD_DIR="$build" KOLV_SOURCE_DIR="$root"

passed=0
failed=0
failures=()
for test in "$here"/test_*.sh; do
  name=$(basename "$test" .sh)
  [ -n "${KOLV_E2E_ONLY:-}" ] && [[ " $KOLV_E2E_ONLY " != *" $name "* ]] && continue
  echo "== e2e: $name"
  start=$(date +%s)
  # A file marked "e2e-session: portal" needs the Camera portal in its session (browsers).
  session=("$root/scripts/private-pipewire-session.sh")
  grep -q '^# e2e-session: portal' "$test" && session+=(--portal)
  if timeout 600 "${session[@]}" bash "$test"; then
    passed=$((passed + 1))
    echo "== e2e: $name passed ($(( $(date +%s) - start )) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "== e2e: $name FAILED ($(( $(date +%s) - start )) s)"
  fi
done

((failed)) && echo "e2e failures: ${failures[*]}"
echo "e2e: $passed passed, $failed failed"
((failed == 0 && passed > 0))
