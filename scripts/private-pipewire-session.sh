#!/bin/sh
# Runs a command inside a private PipeWire session: its own XDG_RUNTIME_DIR with a session
# D-Bus, pipewire and wireplumber, all stopped again (by pid) when the command ends.
#
#   scripts/private-pipewire-session.sh COMMAND [ARGS...]
#   scripts/private-pipewire-session.sh              # an interactive shell in the session
#
# The command sees XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and KOLV_PRIVATE_PIPEWIRE=1.
# Exits with the command's status, or 2 when the session cannot be started.
set -u

for tool in dbus-daemon pipewire wireplumber pw-cli; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "private-pipewire-session: $tool is not installed" >&2
    exit 2
  fi
done

RT=$(mktemp -d "${TMPDIR:-/tmp}/kolv-pipewire.XXXXXX") || exit 2
chmod 700 "$RT"
export XDG_RUNTIME_DIR="$RT"
export XDG_CONFIG_HOME="$RT/config" XDG_STATE_HOME="$RT/state" XDG_CACHE_HOME="$RT/cache"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME"
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
export KOLV_PRIVATE_PIPEWIRE=1
LOGS="$RT/logs"
mkdir -p "$LOGS"

DBUS_PID=""
PIPEWIRE_PID=""
WIREPLUMBER_PID=""

stop_pid() {
  pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
  # Reap our own children; the forked dbus-daemon is not one.
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$WIREPLUMBER_PID"
  stop_pid "$PIPEWIRE_PID"
  stop_pid "$DBUS_PID"
  rm -rf "$RT"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls `$@` every 0.1 s for up to $TIMEOUT_TENTHS tenths of a second.
wait_for() {
  i=0
  while ! "$@" >/dev/null 2>&1; do
    i=$((i + 1))
    if [ $i -ge "$TIMEOUT_TENTHS" ]; then return 1; fi
    sleep 0.1
  done
}

fail() {
  echo "private-pipewire-session: $1 (logs follow)" >&2
  for f in "$LOGS"/*; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 2
}

DBUS_PID=$(dbus-daemon --session --fork --print-pid --address="unix:path=$RT/bus" 2>"$LOGS/dbus") ||
  fail "dbus-daemon did not start"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$RT/bus"

pipewire >"$LOGS/pipewire" 2>&1 &
PIPEWIRE_PID=$!
TIMEOUT_TENTHS=100
wait_for pw-cli info 0 || fail "pipewire did not answer"

wireplumber >"$LOGS/wireplumber" 2>&1 &
WIREPLUMBER_PID=$!
metadata_ready() { pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'; }
wait_for metadata_ready || fail "wireplumber did not become ready"

export KOLV_PIPEWIRE_PID="$PIPEWIRE_PID" KOLV_WIREPLUMBER_PID="$WIREPLUMBER_PID"
if [ $# -eq 0 ]; then
  "${SHELL:-/bin/sh}"
else
  "$@"
fi
status=$?
exit $status
