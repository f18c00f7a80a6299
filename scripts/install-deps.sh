#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Kolv Camera need.
# Run as root. Safe to run again.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config git dpkg-dev
  # the Debian packages: their check (scripts/package.sh) and the man pages' (tests/package)
  lintian man-db
  libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev uuid-dev libsystemd-dev libcli11-dev libpipewire-0.3-dev libgdk-pixbuf-2.0-dev libyuv-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  # a PipeWire session and real clients, for running and for end-to-end tests
  pipewire pipewire-bin wireplumber dbus
  gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  python3 python3-numpy
  # browsers, the Camera portal (with the tests' Access backend in Python) and V4L2 through pw-v4l2
  chromium firefox-esr xdg-desktop-portal python3-dbus python3-gi pipewire-v4l2 ffmpeg
  nodejs
  # the OBS Studio plugin (plugins/obs) and its end-to-end test under a virtual X server
  obs-studio libobs-dev xvfb
  # benchmarks: system calls per frame (bench/pipewire_bench.sh)
  strace
)
# Node.js from another source may bring its own npm; Debian's comes as a package of its own.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "All packages are installed."
fi
