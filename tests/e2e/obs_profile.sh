#!/usr/bin/env bash
# Writes a throwaway OBS Studio 29 configuration into HOME_DIR/.config (run OBS with HOME and
# XDG_CONFIG_HOME pointing there), for running OBS without its
# first-run wizard on a scene of known content:
#   obs_profile.sh HOME_DIR IMAGE [COLOR_FORMAT [COLOR_SPACE]]
# The profile "Kolv" renders 1280x720 at 30 frames a second in COLOR_FORMAT (default NV12;
# also I420, BGRA, I444, ...) with COLOR_SPACE (default 601, limited range). Its scene collection
# "Kolv" has one scene: a colour source of orange (red 255, green 128, blue 0) over the whole
# canvas and IMAGE, unscaled, in the top left corner.
# docs/companion.md ("OBS Studio") shows how to start OBS on it; tests/e2e/test_obs.sh runs it.
set -euo pipefail
home=$1 image=$2 format=${3:-NV12} space=${4:-601}
config="$home/.config/obs-studio"
mkdir -p "$config/basic/profiles/Kolv" "$config/basic/scenes"

# FirstRun and LastVersion (29.0.2) keep the auto-configuration wizard and the release notes away.
cat >"$config/global.ini" <<EOF
[General]
FirstRun=true
LastVersion=486539266
EnableAutoUpdates=false
ConfirmOnExit=false

[Basic]
Profile=Kolv
ProfileDir=Kolv
SceneCollection=Kolv
SceneCollectionFile=Kolv

[BasicWindow]
SysTrayEnabled=true
SysTrayWhenStarted=false
EOF

cat >"$config/basic/profiles/Kolv/basic.ini" <<EOF
[General]
Name=Kolv

[Video]
BaseCX=1280
BaseCY=720
OutputCX=1280
OutputCY=720
FPSType=0
FPSCommon=30
ColorFormat=$format
ColorSpace=$space
ColorRange=Partial

[Output]
Mode=Simple

[Audio]
SampleRate=48000
ChannelSetup=Stereo
EOF

# The colour source's colour is 0xAABBGGRR: orange is 0xFF0080FF.
cat >"$config/basic/scenes/Kolv.json" <<EOF
{
  "name": "Kolv",
  "current_scene": "Scene",
  "current_program_scene": "Scene",
  "scene_order": [{"name": "Scene"}],
  "sources": [
    {"id": "scene", "versioned_id": "scene", "name": "Scene", "uuid": "2c1d9f3e-0000-4000-8000-000000000001",
     "settings": {"id_counter": 2, "items": [
       {"name": "Orange", "source_uuid": "2c1d9f3e-0000-4000-8000-000000000002", "id": 1, "visible": true,
        "pos": {"x": 0.0, "y": 0.0}, "scale": {"x": 1.0, "y": 1.0}, "rot": 0.0, "align": 5, "bounds_type": 0},
       {"name": "Picture", "source_uuid": "2c1d9f3e-0000-4000-8000-000000000003", "id": 2, "visible": true,
        "pos": {"x": 0.0, "y": 0.0}, "scale": {"x": 1.0, "y": 1.0}, "rot": 0.0, "align": 5, "bounds_type": 0}
     ]}},
    {"id": "color_source", "versioned_id": "color_source_v3", "name": "Orange",
     "uuid": "2c1d9f3e-0000-4000-8000-000000000002",
     "settings": {"color": 4278223103, "width": 1280, "height": 720}},
    {"id": "image_source", "versioned_id": "image_source", "name": "Picture",
     "uuid": "2c1d9f3e-0000-4000-8000-000000000003",
     "settings": {"file": "$image", "unload": false}}
  ]
}
EOF
