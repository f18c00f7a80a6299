#!/bin/sh
# Runs a command inside a private PipeWire session: its own XDG_RUNTIME_DIR with a session
# D-Bus, pipewire and wireplumber, all stopped again (by pid) when the command ends.
#
#   scripts/private-pipewire-session.sh [--portal] COMMAND [ARGS...]
#   scripts/private-pipewire-session.sh [--portal]   # an interactive shell in the session
#
# --portal also starts xdg-desktop-portal with a test-only Access backend that grants every
# request (tests/e2e/portal/), so that browsers can open cameras through the Camera portal.
# Services that the private bus starts on demand (xdg-permission-store, which WirePlumber asks
# for) are stopped by pid too. Everything the session writes stays in its runtime folder.
#
# The command sees XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and KOLV_PRIVATE_PIPEWIRE=1 (and
# KOLV_PORTAL_ACCESS_LOG, the backend's log of granted requests, with --portal).
# Exits with the command's status, or 2 when the session cannot be started.
set -u

WITH_PORTAL=0
if [ "${1:-}" = --portal ]; then
  WITH_PORTAL=1
  shift
fi
PORTAL_DIR=$(cd "$(dirname "$0")/../tests/e2e/portal" 2>/dev/null && pwd)
PORTAL_BIN=/usr/libexec/xdg-desktop-portal
# Debian's python3, which has python3-dbus and python3-gi, even when another python3 comes first.
SYSTEM_PYTHON=/usr/bin/python3

tools="dbus-daemon pipewire wireplumber pw-cli"
[ $WITH_PORTAL = 1 ] && tools="$tools dbus-send"
for tool in $tools; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "private-pipewire-session: $tool is not installed" >&2
    exit 2
  fi
done
if [ $WITH_PORTAL = 1 ]; then
  [ -x "$PORTAL_BIN" ] || { echo "private-pipewire-session: $PORTAL_BIN is not installed (xdg-desktop-portal)" >&2; exit 2; }
  [ -f "$PORTAL_DIR/kolv-test.portal" ] || { echo "private-pipewire-session: no tests/e2e/portal beside this script" >&2; exit 2; }
  "$SYSTEM_PYTHON" -c 'import dbus; from gi.repository import GLib' 2>/dev/null ||
    { echo "private-pipewire-session: python3-dbus or python3-gi is not installed" >&2; exit 2; }
fi

# A login session's runtime folder (/run/user/UID) is a tmpfs, and so is this one where /dev/shm
# is: on a disk's file system every hand-off file written or read can wait behind the journal
# (a rename needs a journal handle, and so does the access time of a file read for the first
# time), which a normal-priority journal thread on a busy machine holds up for ticks at a time.
RT_BASE=${TMPDIR:-/tmp}
[ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ] && RT_BASE=/dev/shm
RT=$(mktemp -d "$RT_BASE/kolv-pipewire.XXXXXX") || exit 2
chmod 700 "$RT"
export XDG_RUNTIME_DIR="$RT"
# XDG_DATA_HOME too: WirePlumber starts xdg-permission-store, which keeps its tables there.
export XDG_CONFIG_HOME="$RT/config" XDG_STATE_HOME="$RT/state" XDG_CACHE_HOME="$RT/cache" XDG_DATA_HOME="$RT/data"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
export KOLV_PRIVATE_PIPEWIRE=1
LOGS="$RT/logs"
mkdir -p "$LOGS"

DBUS_PID=""
PIPEWIRE_PID=""
WIREPLUMBER_PID=""
ACCESS_PID=""
PORTAL_PID=""

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

# The processes still connected to the private bus: at the end, those it started on demand
# (xdg-permission-store, xdg-document-portal), which are not our children.
bus_client_pids() {
  command -v dbus-send >/dev/null 2>&1 || return 0
  for name in $(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.ListNames 2>/dev/null | sed -n 's/^ *string "\(:[0-9.]*\)"$/\1/p'); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null | sed -n 's/^ *uint32 //p'
  done | sort -u
}
stop_bus_clients() {
  [ -n "$DBUS_PID" ] || return 0
  for pid in $(bus_client_pids); do
    [ "$pid" != $$ ] && kill -0 "$pid" 2>/dev/null && stop_pid "$pid"
  done
  # xdg-document-portal mounts a FUSE file system at $RT/doc; it goes once the portal has.
  i=0
  while grep -q " $RT/doc " /proc/self/mounts 2>/dev/null && [ $i -lt 50 ]; do
    sleep 0.1
    i=$((i + 1))
  done
}

cleanup() {
  stop_pid "$PORTAL_PID"
  stop_pid "$ACCESS_PID"
  stop_pid "$WIREPLUMBER_PID"
  stop_pid "$PIPEWIRE_PID"
  stop_bus_clients
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

if [ $WITH_PORTAL = 1 ]; then
  name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
  }
  export KOLV_PORTAL_ACCESS_LOG="$LOGS/access-granted"
  : >"$KOLV_PORTAL_ACCESS_LOG"
  "$SYSTEM_PYTHON" "$PORTAL_DIR/grant_access.py" "$KOLV_PORTAL_ACCESS_LOG" >"$LOGS/access" 2>&1 &
  ACCESS_PID=$!
  wait_for name_owned org.freedesktop.impl.portal.desktop.kolvtest || fail "the test Access backend did not start"
  XDG_DESKTOP_PORTAL_DIR="$PORTAL_DIR" XDG_CURRENT_DESKTOP=kolv-test "$PORTAL_BIN" >"$LOGS/portal" 2>&1 &
  PORTAL_PID=$!
  wait_for name_owned org.freedesktop.portal.Desktop || fail "xdg-desktop-portal did not start"
  export KOLV_PORTAL_PID="$PORTAL_PID"
fi

export KOLV_PIPEWIRE_PID="$PIPEWIRE_PID" KOLV_WIREPLUMBER_PID="$WIREPLUMBER_PID"
if [ $# -eq 0 ]; then
  "${SHELL:-/bin/sh}"
else
  "$@"
fi
status=$?
exit $status
