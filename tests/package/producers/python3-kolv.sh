# python3-kolv against the installed camera: Debian's python3 imports the installed module kolv
# (/usr/bin/python3, not whatever python3 PATH finds first; no PYTHONPATH), which loads the
# installed libkolv_companion.so.0, and the red pictures that tests/e2e/python_producer.py sends
# through kolv.Camera reach a consumer of /usr/bin/kolv-camera, every one of 60 frames. Run inside scripts/private-pipewire-session.sh by
# tests/package/test_package.sh, when the tree has the Python module's package.
. "$(dirname "$0")/../../e2e/lib.sh"
unset PYTHONPATH KOLV_COMPANION_LIB

kolv_camera_bin() { echo /usr/bin/kolv-camera; }

module=$(cd / && /usr/bin/python3 -c 'import kolv; print(kolv.__file__)' 2>&1)
check "python3 imports kolv from /usr/lib/python3/dist-packages (got $module)" \
  eval '[[ "$module" == /usr/lib/python3/dist-packages/kolv/* ]]'

start_camera || finish
start_companion "$E2E_DIR/python.log" /usr/bin/python3 "$E2E_HERE/python_producer.py" --colours 0,0,255 \
  --frames-each 100000 --linger 0 || finish
check "a consumer of the installed camera sees kolv.Camera's red in all 60 frames" \
  capture_checked check_colours.py 60 --min-matching 60 --point 640,360=0,0,255 --point 10,10=0,0,255
finish
