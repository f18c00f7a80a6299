#!/usr/bin/env bash
# The Debian package, end to end. Builds it (scripts/package.sh); builds and runs the consumer
# project (tests/package/consumer) against `cmake --install BUILD_DIR --prefix <scratch>`;
# installs the package with apt-get and checks its files; runs the installed kolv-camera and
# kolv-publish --pattern in a private PipeWire session (installed_pattern.sh); builds the
# consumer against the installed package; purges it and checks nothing of it is left.
# The package is purged again on any failure or interruption: the machine is left as it was.
#   tests/package/test_package.sh [BUILD_DIR]    (default build/ci; build/package when missing)
# Run as root, on a machine without kolv-camera installed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
build=${1:-build/ci}

[ "$(id -u)" = 0 ] || { echo "test_package: run as root (it installs and purges the package)" >&2; exit 2; }
if dpkg-query -W -f='${Status}' kolv-camera 2>/dev/null | grep -q 'ok installed'; then
  echo "test_package: kolv-camera is installed already; the test would remove it (apt-get purge kolv-camera first)" >&2
  exit 2
fi

failures=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
check() {
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
show_tail() { echo "  --- $1"; tail -n "${2:-15}" "$1" 2>/dev/null | sed 's/^/  | /'; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kolv-package.XXXXXX")
installed=0
cleanup() {
  if ((installed)) && dpkg-query -W kolv-camera >/dev/null 2>&1; then
    echo "== purging kolv-camera"
    apt-get purge -y -qq kolv-camera >/dev/null 2>&1 || dpkg --purge kolv-camera >/dev/null 2>&1
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== scripts/package.sh"
scripts/package.sh >"$scratch/package.log" 2>&1 || { show_tail "$scratch/package.log" 40; echo "test_package: the package was not built"; exit 1; }
deb=$(ls "$root"/build/package/kolv-camera_*.deb)
version=$(dpkg-deb --field "$deb" Version)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
echo "  $deb"

# consumer LABEL MODE INFO_PLIST [VAR=VALUE...]: configures and builds tests/package/consumer
# (MODE cmake or pkg-config) with the environment VAR=VALUE..., and runs its static and its
# shared program, each publishing into a scratch runtime folder.
consumer() {
  local label=$1 mode=$2 plist=$3
  shift 3
  local dir="$scratch/consumer-$label-$mode" log="$scratch/consumer-$label-$mode.log"
  if ! env "$@" cmake -S tests/package/consumer -B "$dir" -G Ninja -DKOLV_FIND_WITH="$mode" >"$log" 2>&1 ||
    ! env "$@" cmake --build "$dir" >>"$log" 2>&1; then
    show_tail "$log" 20
    return 1
  fi
  local kind
  for kind in static shared; do
    local runtime="$scratch/runtime-$label-$mode-$kind"
    mkdir -m 700 "$runtime"
    if ! env "$@" XDG_RUNTIME_DIR="$runtime" "$dir/consumer_$kind" "$plist" >>"$log" 2>&1 ||
      [ ! -s "$runtime/app-groups/group.kolv.vcamera/kolvcamera_frame_meta" ]; then
      show_tail "$log"
      return 1
    fi
  done
  # Each program uses the library it was built for.
  readelf -d "$dir/consumer_static" | grep -q 'NEEDED.*libkolv_companion' && { echo "  consumer_static needs the .so"; return 1; }
  readelf -d "$dir/consumer_shared" | grep -q 'NEEDED.*libkolv_companion\.so\.0' || { echo "  consumer_shared does not use the .so"; return 1; }
}

echo "== the consumer project against an install prefix"
[ -f "$build/CMakeCache.txt" ] || build=build/package
prefix="$scratch/prefix"
if cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  pc=$(find "$prefix" -name kolv-companion.pc)
  libdir=$(dirname "$(dirname "$pc")")
  check "cmake --install $build installs no hand-off library of its own" eval '[ -z "$(find "$prefix" -name "*kolv_handoff*")" ]'
  for mode in cmake pkg-config; do
    check "consumer with $mode, static and shared, against $prefix" \
      consumer prefix "$mode" "$prefix/share/kolv-camera/Info.plist" \
      CMAKE_PREFIX_PATH="$prefix" PKG_CONFIG_PATH="$libdir/pkgconfig" LD_LIBRARY_PATH="$libdir"
  done
  check "find_package found the prefix's files" \
    grep -qx "KolvCompanion_DIR:PATH=$libdir/cmake/KolvCompanion" "$scratch/consumer-prefix-cmake/CMakeCache.txt"
else
  fail "cmake --install $build --prefix $prefix"
  show_tail "$scratch/install.log"
fi

echo "== apt-get install the package"
installed=1
if ! apt-get install -y -qq "$deb" >"$scratch/apt.log" 2>&1; then
  show_tail "$scratch/apt.log"
  echo "test_package: the package did not install"
  exit 1
fi
pass "apt-get install $(basename "$deb")"

lib=/usr/lib/$multiarch
doc=/usr/share/doc/kolv-camera
expected=(
  /usr/bin/kolv-camera /usr/bin/kolv-publish /usr/share/kolv-camera/Info.plist /usr/lib/systemd/user/kolv-camera.service
  /usr/share/wireplumber/main.lua.d/51-kolv-camera-v4l2.lua
  "$lib/libkolv_companion.a" "$lib/libkolv_companion.so" "$lib/libkolv_companion.so.0" "$lib/libkolv_companion.so.$version"
  /usr/include/kolv_companion.h /usr/include/kolv/companion.h /usr/include/kolv/handoff_names.h
  /usr/include/kolv/pixel_formats.h
  "$lib/pkgconfig/kolv-companion.pc"
  "$lib/cmake/KolvCompanion/KolvCompanionConfig.cmake" "$lib/cmake/KolvCompanion/KolvCompanionConfigVersion.cmake"
  "$lib/cmake/KolvCompanion/KolvCompanionTargets.cmake" "$doc/README.md"
)
for md in docs/*.md; do expected+=("$doc/$md"); done
dpkg -L kolv-camera >"$scratch/files"
missing=()
for file in "${expected[@]}"; do
  grep -qxF "$file" "$scratch/files" && [ -e "$file" ] || missing+=("$file")
done
check "dpkg -L kolv-camera lists the ${#expected[@]} files the README names, all present${missing:+ (missing: ${missing[*]})}" \
  [ ${#missing[@]} = 0 ]
check "the package has no file outside /usr and no hand-off library" \
  eval '! grep -v "^/usr" "$scratch/files" | grep -qv "^/\.$" && ! grep -q kolv_handoff "$scratch/files"'
check "the user unit starts /usr/bin/kolv-camera" grep -qx 'ExecStart=/usr/bin/kolv-camera' /usr/lib/systemd/user/kolv-camera.service
depends=$(dpkg-query -W -f='${Depends}' kolv-camera)
check "Depends, from dpkg-shlibdeps: libpipewire-0.3-0, libplist3, and pipewire ($depends)" \
  eval '[[ "$depends" == *libpipewire-0.3-0* && "$depends" == *libplist3* && "$depends" =~ (^|, )pipewire(,|$) ]]'

echo "== the installed camera and kolv-publish --pattern in a private PipeWire session"
if timeout 180 scripts/private-pipewire-session.sh bash "$here/installed_pattern.sh"; then
  pass "installed camera and kolv-publish: pattern frames at a GStreamer consumer"
else
  fail "installed camera and kolv-publish: pattern frames at a GStreamer consumer"
fi

echo "== the consumer project against the installed package"
for mode in cmake pkg-config; do
  check "consumer with $mode, static and shared, against the package" \
    consumer package "$mode" /usr/share/kolv-camera/Info.plist
done
check "find_package found the package's files" \
  grep -qx "KolvCompanion_DIR:PATH=$lib/cmake/KolvCompanion" "$scratch/consumer-package-cmake/CMakeCache.txt"

echo "== apt-get purge"
if apt-get purge -y -qq kolv-camera >"$scratch/purge.log" 2>&1; then
  installed=0
  pass "apt-get purge kolv-camera"
else
  fail "apt-get purge kolv-camera"
  show_tail "$scratch/purge.log"
fi
check "dpkg -L kolv-camera fails once purged" eval '! dpkg -L kolv-camera >/dev/null 2>&1'
left=()
# Every file it listed, and its own folders; the folders it shares with others (/usr/lib, ...) stay.
while read -r file; do
  { [ -e "$file" ] || [ -L "$file" ]; } && [ ! -d "$file" ] && left+=("$file")
done <"$scratch/files"
for folder in /usr/share/kolv-camera /usr/include/kolv "$lib/cmake/KolvCompanion" "$doc"; do
  [ -e "$folder" ] && left+=("$folder")
done
check "nothing of kolv-camera is left${left:+ (left: ${left[*]})}" [ ${#left[@]} = 0 ]

if ((failures)); then
  echo "test_package: $failures check(s) failed"
  exit 1
fi
echo "test_package: passed"
