#!/usr/bin/env bash
# Builds the Debian packages into build/package, one per install component
# (cmake/KolvPackage.cmake): kolv-camera, libkolv-companion0 and libkolv-companion-dev, and
# python3-kolv, gstreamer1.0-kolv and obs-kolv-camera when the tree has them. A Release build
# (preset `package`: prefix /usr, no tests or benchmarks) with Debian's hardening flags
# (dpkg-buildflags), packed by CPack. Install them with
#   sudo apt-get install ./build/package/*.deb
# Needs the build packages of scripts/install-deps.sh, dpkg-dev (dpkg-shlibdeps,
# dpkg-gensymbols, dpkg-buildflags) among them; runs lintian on the packages when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in dpkg-shlibdeps dpkg-gensymbols dpkg-buildflags; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "package.sh: $tool is not installed (sudo apt-get install dpkg-dev)" >&2; exit 2; }
done

echo "== configure and build (package)"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
# Without -g: no debug-symbol packages are made, so the debug information would only make the
# static library (which CPack does not strip) three times the size.
nodebug() { sed -E 's/(^| )-g( |$)/ /'; }
cmake --preset package \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS | nodebug) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS | nodebug) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  >/dev/null
cmake --build --preset package

echo "== Debian packages"
rm -f build/package/*.deb
cpack --preset package >build/package/cpack.log 2>&1 || { cat build/package/cpack.log >&2; exit 1; }
debs=(build/package/*.deb)
for deb in "${debs[@]}"; do
  dpkg-deb --field "$deb" Package Version Architecture Depends
  echo "File: $deb"
  echo
done

if command -v lintian >/dev/null 2>&1; then
  echo "== lintian"
  status=0
  lintian --fail-on error "${debs[@]}" >build/package/lintian.log 2>&1 || status=$?
  # It says so when it runs as root; that line is no finding.
  grep -v '^running with root privileges' build/package/lintian.log || echo "(no findings)"
  ((status == 0)) || { echo "package.sh: lintian reports errors (above)" >&2; exit 1; }
else
  echo "(lintian is not installed: the packages are not checked)"
fi
