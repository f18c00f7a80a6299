#!/usr/bin/env bash
# Builds the Debian package build/package/kolv-camera_<version>_<arch>.deb: a Release build
# (preset `package`: prefix /usr, no tests or benchmarks) of the camera, kolv-publish and the
# companion library, packed by CPack. Install it with
#   sudo apt-get install ./build/package/kolv-camera_*.deb
# Needs the build packages of scripts/install-deps.sh, dpkg-shlibdeps (dpkg-dev) among them.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v dpkg-shlibdeps >/dev/null 2>&1 ||
  { echo "package.sh: dpkg-shlibdeps is not installed (sudo apt-get install dpkg-dev)" >&2; exit 2; }

echo "== configure and build (package)"
cmake --preset package >/dev/null
cmake --build --preset package

echo "== Debian package"
rm -f build/package/kolv-camera_*.deb
cpack --preset package >build/package/cpack.log 2>&1 || { cat build/package/cpack.log >&2; exit 1; }
deb=$(ls build/package/kolv-camera_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
echo "Package: $deb"
