#!/usr/bin/env bash
# The Debian packages, end to end. Builds them (scripts/package.sh, which fails on a lintian
# error); builds and runs the consumer project (tests/package/consumer) against
# `cmake --install BUILD_DIR --prefix <scratch>`; installs every package with one apt-get and
# checks each one's files, dependencies and Debian files; runs the installed kolv-camera and
# kolv-publish --pattern in a private PipeWire session (installed_pattern.sh), then each other
# producer that has a package (tests/package/producers/<package>.sh); builds the consumer against
# the installed development package; purges them all and checks that nothing of them is left.
# The packages are purged again on any failure or interruption: the machine is left as it was.
#   tests/package/test_package.sh [BUILD_DIR]    (default build/ci; build/package when missing)
# Run as root, on a machine without any of these packages installed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
build=${1:-build/ci}

[ "$(id -u)" = 0 ] || { echo "test_package: run as root (it installs and purges the packages)" >&2; exit 2; }
command -v lintian >/dev/null 2>&1 ||
  { echo "test_package: lintian is not installed (scripts/install-deps.sh installs it)" >&2; exit 2; }

failures=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
check() {
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
show_tail() { echo "  --- $1"; tail -n "${2:-15}" "$1" 2>/dev/null | sed 's/^/  | /'; }
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kolv-package.XXXXXX")
packages=()
installed=0
purge_all() { apt-get purge -y -qq "${packages[@]}" >"$scratch/purge.log" 2>&1 || dpkg --purge "${packages[@]}" >>"$scratch/purge.log" 2>&1; }
cleanup() {
  if ((installed)); then
    echo "== purging ${packages[*]}"
    purge_all
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== scripts/package.sh"
scripts/package.sh >"$scratch/package.log" 2>&1 || { show_tail "$scratch/package.log" 40; echo "test_package: the packages were not built"; exit 1; }
sed -n '/^== lintian/,$p' "$scratch/package.log" | sed 's/^/  | /'
declare -A deb_of
for deb in "$root"/build/package/*.deb; do
  package=$(dpkg-deb --field "$deb" Package)
  packages+=("$package")
  deb_of[$package]=$deb
  echo "  $deb"
done
version=$(dpkg-deb --field "${deb_of[kolv-camera]}" Version)
upstream=${version%-*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for package in "${packages[@]}"; do
  if is_installed "$package"; then
    echo "test_package: $package is installed already; the test would remove it (apt-get purge ${packages[*]} first)" >&2
    exit 2
  fi
done
check "the three packages of the camera and the companion library are built (${packages[*]})" \
  eval '[ -n "${deb_of[kolv-camera]:-}" ] && [ -n "${deb_of[libkolv-companion0]:-}" ] && [ -n "${deb_of[libkolv-companion-dev]:-}" ]'
check "lintian reports no error" eval '! grep -q "^E: " "$scratch/package.log"'

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

# What lies under /usr and /etc now (not /usr/local), to find what the packages leave behind.
snapshot() { find /usr /etc -xdev -path /usr/local -prune -o -print 2>/dev/null | sort; }
snapshot >"$scratch/before"

echo "== apt-get install ${packages[*]}"
installed=1
debs=()
for package in "${packages[@]}"; do debs+=("${deb_of[$package]}"); done
if ! apt-get install -y -qq "${debs[@]}" >"$scratch/apt.log" 2>&1; then
  show_tail "$scratch/apt.log"
  echo "test_package: the packages did not install"
  exit 1
fi
pass "apt-get install of the ${#packages[@]} packages"

lib=/usr/lib/$multiarch
# expect PACKAGE FILE...: dpkg -L PACKAGE lists each FILE, and each is there.
expect() {
  local package=$1; shift
  local missing=() file
  dpkg -L "$package" >"$scratch/files-$package"
  for file in "$@"; do
    grep -qxF "$file" "$scratch/files-$package" && [ -e "$file" ] || missing+=("$file")
  done
  check "dpkg -L $package lists the $# files the README names, all present${missing:+ (missing: ${missing[*]})}" \
    [ ${#missing[@]} = 0 ]
}
doc=/usr/share/doc/kolv-camera
camera_files=(/usr/bin/kolv-camera /usr/bin/kolv-publish /usr/share/kolv-camera/Info.plist
  /usr/share/wireplumber/main.lua.d/51-kolv-camera-v4l2.lua
  /usr/lib/modprobe.d/kolv-camera.conf /usr/lib/modules-load.d/kolv-camera.conf
  /usr/lib/systemd/user/kolv-camera.service /usr/share/man/man1/kolv-camera.1.gz /usr/share/man/man1/kolv-publish.1.gz
  "$doc/README.md")
for md in docs/*.md; do camera_files+=("$doc/$md"); done
expect kolv-camera "${camera_files[@]}"
check "modprobe reads the camera's v4l2loopback options" \
  eval 'modprobe -c >"$scratch/modprobe.txt" &&
    grep -qxF "options v4l2loopback devices=1 video_nr=10 card_label=\"Kolv Camera\" exclusive_caps=1" "$scratch/modprobe.txt"'
check "kolv-camera recommends v4l2loopback-dkms" \
  eval 'dpkg-query -W -f="\${Recommends}" kolv-camera | grep -q "v4l2loopback-dkms"'
expect libkolv-companion0 "$lib/libkolv_companion.so.0" "$lib/libkolv_companion.so.$upstream"
expect libkolv-companion-dev "$lib/libkolv_companion.a" "$lib/libkolv_companion.so" \
  /usr/include/kolv_companion.h /usr/include/kolv/companion.h /usr/include/kolv/handoff_names.h /usr/include/kolv/pixel_formats.h \
  "$lib/pkgconfig/kolv-companion.pc" "$lib/cmake/KolvCompanion/KolvCompanionConfig.cmake" \
  "$lib/cmake/KolvCompanion/KolvCompanionConfigVersion.cmake" "$lib/cmake/KolvCompanion/KolvCompanionTargets.cmake"
check "the library package holds the library alone, the development package its link" \
  eval '! grep -q "\.so$\|\.a$\|/include" "$scratch/files-libkolv-companion0" && ! grep -q "\.so\.[0-9]" "$scratch/files-libkolv-companion-dev"'

# Every package: under /usr alone, no hand-off library, the Debian copyright file and changelog,
# and a Depends on the library package when one of its files loads the library.
for package in "${packages[@]}"; do
  dpkg -L "$package" >"$scratch/files-$package"
  d=/usr/share/doc/$package
  check "$package: files under /usr alone, none of the hand-off library" \
    eval '! grep -v "^/usr" "$scratch/files-$package" | grep -qv "^/\.$" && ! grep -q kolv_handoff "$scratch/files-$package"'
  check "$package: $d/copyright in the machine-readable format" \
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$d/copyright"
  check "$package: $d/changelog.Debian.gz, whose latest entry is $version" \
    eval 'gzip -dc "$d/changelog.Debian.gz" | head -n 1 | grep -q "^kolv-camera ($version) "'
  loaders=$(while read -r file; do
    [ -f "$file" ] && readelf -d "$file" 2>/dev/null | grep -q 'NEEDED.*\[libkolv_companion\.so\.0\]' && echo "$file"
  done <"$scratch/files-$package")
  if [ -n "$loaders" ]; then
    check "$package: Depends on libkolv-companion0, which $(echo $loaders) loads" \
      eval 'dpkg-query -W -f="\${Depends}" "$package" | grep -q "libkolv-companion0"'
  fi
done

check "the user unit starts /usr/bin/kolv-camera" grep -qx 'ExecStart=/usr/bin/kolv-camera' /usr/lib/systemd/user/kolv-camera.service
check "man kolv-camera and man kolv-publish format without a warning" \
  eval '[ -z "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l /usr/share/man/man1/kolv-camera.1.gz /usr/share/man/man1/kolv-publish.1.gz 2>&1 >/dev/null)" ]'
depends=$(dpkg-query -W -f='${Depends}' kolv-camera)
check "kolv-camera Depends, from dpkg-shlibdeps: libpipewire-0.3-0, libplist3, and pipewire ($depends)" \
  eval '[[ "$depends" == *libpipewire-0.3-0* && "$depends" == *libplist3* && "$depends" =~ (^|, )pipewire(,|$) ]]'
depends=$(dpkg-query -W -f='${Depends}' libkolv-companion0)
check "libkolv-companion0 Depends on libplist3 and libsystemd0, not on PipeWire ($depends)" \
  eval '[[ "$depends" == *libplist3* && "$depends" == *libsystemd0* && "$depends" != *pipewire* ]]'
depends=$(dpkg-query -W -f='${Depends}' libkolv-companion-dev)
check "libkolv-companion-dev Depends on libkolv-companion0 (= $version) ($depends)" \
  eval '[[ "$depends" == *"libkolv-companion0 (= $version)"* ]]'
info=/var/lib/dpkg/info/libkolv-companion0
check "libkolv-companion0: shlibs and symbols name the package, with the ldconfig trigger" \
  eval 'grep -qx "libkolv_companion 0 libkolv-companion0 (>= $upstream)" $info.shlibs &&
        grep -q "^libkolv_companion.so.0 libkolv-companion0 " $info.symbols &&
        grep -q "^ kolv_companion_open@Base " $info.symbols && grep -qx "activate-noawait ldconfig" $info.triggers &&
        [ ! -e $info.postinst ] && [ ! -e $info.postrm ]'
# (/lib is /usr/lib on Debian 12, and ldconfig names it so. grep reads the whole list: with -q it
# would stop at the match and, under pipefail, ldconfig's SIGPIPE would fail the check.)
check "the ldconfig trigger ran: the dynamic linker's cache has libkolv_companion.so.0" \
  eval 'ldconfig -p | grep -E "libkolv_companion\.so\.0 .*=> (/usr)?/lib/$multiarch/libkolv_companion\.so\.0$" >/dev/null'

echo "== the installed camera and kolv-publish --pattern in a private PipeWire session"
if timeout 180 scripts/private-pipewire-session.sh bash "$here/installed_pattern.sh"; then
  pass "installed camera and kolv-publish: pattern frames at a GStreamer consumer"
else
  fail "installed camera and kolv-publish: pattern frames at a GStreamer consumer"
fi

# The other producers, each from its own package: tests/package/producers/<package>.sh runs in a
# private PipeWire session, like installed_pattern.sh, with the installed camera and that
# producer alone, and checks what a consumer sees. A package without its script fails here.
echo "== the other producers against the installed camera"
for package in python3-kolv gstreamer1.0-kolv obs-kolv-camera; do
  if [ -z "${deb_of[$package]:-}" ]; then
    echo "  skipped: $package (no install rule names its component yet, so there is no package)"
  elif [ ! -f "$here/producers/$package.sh" ]; then
    fail "$package is built, but tests/package/producers/$package.sh, which would run it, is missing"
  elif timeout 300 scripts/private-pipewire-session.sh bash "$here/producers/$package.sh"; then
    pass "$package: its producer's pictures at a consumer of the installed camera"
  else
    fail "$package: its producer's pictures at a consumer of the installed camera"
  fi
done

echo "== the consumer project against the installed development package"
for mode in cmake pkg-config; do
  check "consumer with $mode, static and shared, against the package" \
    consumer package "$mode" /usr/share/kolv-camera/Info.plist
done
check "find_package found the package's files" \
  grep -qx "KolvCompanion_DIR:PATH=$lib/cmake/KolvCompanion" "$scratch/consumer-package-cmake/CMakeCache.txt"

echo "== apt-get purge ${packages[*]}"
if purge_all; then
  installed=0
  pass "apt-get purge of the ${#packages[@]} packages"
else
  fail "apt-get purge of the ${#packages[@]} packages"
  show_tail "$scratch/purge.log"
fi
for package in "${packages[@]}"; do
  left=()
  dpkg -L "$package" >/dev/null 2>&1 && left+=("dpkg -L $package")
  compgen -G "/var/lib/dpkg/info/$package.*" >/dev/null && left+=(/var/lib/dpkg/info/"$package".*)
  # Every file it listed; its folders only where they are its own (/usr/lib and such stay).
  while read -r file; do
    { [ -e "$file" ] || [ -L "$file" ]; } && [ ! -d "$file" ] && left+=("$file")
  done <"$scratch/files-$package"
  [ -e "/usr/share/doc/$package" ] && left+=("/usr/share/doc/$package")
  check "nothing of $package is left${left:+ (left: ${left[*]})}" [ ${#left[@]} = 0 ]
done
for folder in /usr/share/kolv-camera /usr/include/kolv "/usr/lib/$multiarch/cmake/KolvCompanion"; do
  check "$folder is gone" [ ! -e "$folder" ]
done
check "the dynamic linker's cache no longer has libkolv_companion.so.0" eval '! ldconfig -p | grep -q libkolv_companion'
# What is new under /usr and /etc since before the install and belongs to no package: files the
# packages' scripts made, Python's byte-code, ... Other work on the machine may install packages
# meanwhile, whose scripts make files of their own: only names with "kolv" in them count, the
# others are shown.
snapshot >"$scratch/after"
comm -13 "$scratch/before" "$scratch/after" >"$scratch/new"
unowned=()
if [ -s "$scratch/new" ]; then
  mapfile -t unowned < <(tr '\n' '\0' <"$scratch/new" | xargs -0 dpkg -S 2>&1 >/dev/null |
    sed -n 's/^dpkg-query: no path found matching pattern //p')
fi
ours=()
for file in "${unowned[@]}"; do
  if [[ "${file,,}" == *kolv* ]]; then ours+=("$file"); else echo "  (new meanwhile, in no package: $file)"; fi
done
check "no new file named kolv under /usr or /etc outside a package${ours:+ (new: ${ours[*]})}" [ ${#ours[@]} = 0 ]

if ((failures)); then
  echo "test_package: $failures check(s) failed"
  exit 1
fi
echo "test_package: passed"
