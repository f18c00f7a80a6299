#!/usr/bin/env python3
"""Checks the camera's node in `pw-dump` output (read from standard input).

    pw-dump | check_node.py [NODE_NAME]

Prints one line per property or format check that fails and exits 1 if any did.
"""
import json
import re
import sys

EXPECTED_PROPS = {
    "media.class": "Video/Source",
    "media.role": "Camera",
    "media.type": "Video",
    "node.description": "Kolv Camera",
    "node.nick": "Kolv Camera Video",
    "device.vendor.name": "Kolv",
    "device.product.name": "Kolv Camera",
    "node.virtual": True,
}
UUID = re.compile(r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$")
# The camera's own format first, then the ones converted from it.
EXPECTED_FORMATS = [{"mediaType": "video", "mediaSubtype": "raw", "format": pixel_format,
                     "size": {"width": 1280, "height": 720}, "framerate": {"num": 30, "denom": 1}}
                    for pixel_format in ("BGRA", "YUY2", "NV12", "I420")]


def main() -> int:
    name = sys.argv[1] if len(sys.argv) > 1 else "kolv-camera"
    objects = json.load(sys.stdin)
    nodes = [o for o in objects if o.get("type") == "PipeWire:Interface:Node"
             and (o.get("info") or {}).get("props", {}).get("node.name") == name]
    if len(nodes) != 1:
        print(f"    {len(nodes)} nodes named {name!r}, expected 1")
        return 1
    info = nodes[0]["info"]
    props = info["props"]
    problems = []
    for key, value in EXPECTED_PROPS.items():
        if props.get(key) != value:
            problems.append(f"{key} is {props.get(key)!r}, expected {value!r}")
    for key in ("kolv.device.id", "kolv.stream.id"):
        if not UUID.match(str(props.get(key, ""))):
            problems.append(f"{key} is {props.get(key)!r}, expected a UUID")
    if props.get("kolv.device.id") == props.get("kolv.stream.id"):
        problems.append("the device and the stream have the same UUID")
    formats = info.get("params", {}).get("EnumFormat", [])
    if formats != EXPECTED_FORMATS:
        problems.append(f"EnumFormat is {formats!r}, expected {EXPECTED_FORMATS!r}")
    for problem in problems:
        print("    " + problem)
    if not problems:
        print(f"  node {name!r}: {len(EXPECTED_PROPS) + 2} properties and its formats as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
