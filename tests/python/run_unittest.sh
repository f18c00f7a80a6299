#!/usr/bin/env bash
# Runs the kolv module's tests (tests/python) with Debian's python3 on a built companion library:
#   tests/python/run_unittest.sh LIBRARY SOURCE_DIR [unittest arguments]
# A library built with a sanitizer needs its runtime loaded before Python's own libraries;
# Python's allocations at exit are not the library's leaks.
set -eu
lib=$1 source=$2
shift 2
sanitizers=$(ldd "$lib" | awk '/lib(a|t|ub)san\.so/ { print $3 }' | paste -sd:)
environment=(KOLV_COMPANION_LIB="$lib" PYTHONPATH="$source/python" PYTHONDONTWRITEBYTECODE=1)
[ -n "$sanitizers" ] && environment+=(LD_PRELOAD="$sanitizers" ASAN_OPTIONS=detect_leaks=0)
exec env "${environment[@]}" /usr/bin/python3 -m unittest discover -s "$source/tests/python" -t "$source/tests/python" "$@"
