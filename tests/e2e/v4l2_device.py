#!/usr/bin/env python3
"""Describes a V4L2 capture device the way a V4L2 application sees it, one line each:

    pw-v4l2 python3 v4l2_device.py [/dev/video0]

    card=Kolv Camera driver=PipeWire bus=...
    format=AR24 1280x720               (one line per format and size)
    fps=30/1                           (the capture's frames a second, VIDIOC_G_PARM)

Through pw-v4l2 the device is a PipeWire camera. Exits 1 with a one-line error when the device
cannot be opened or queried.
"""
import fcntl
import os
import struct
import sys


def _iowr(number: int, size: int) -> int:
    return (3 << 30) | (size << 16) | (ord("V") << 8) | number


def _ior(number: int, size: int) -> int:
    return (2 << 30) | (size << 16) | (ord("V") << 8) | number


CAPABILITY = struct.Struct("16s32s32sIII3I")         # struct v4l2_capability
FORMAT_DESCRIPTION = struct.Struct("III32sII3I")     # struct v4l2_fmtdesc
FRAME_SIZE = struct.Struct("III6I2I")                # struct v4l2_frmsizeenum
STREAM_PARAMETERS = struct.Struct("IIIII")           # the start of struct v4l2_streamparm
STREAM_PARAMETERS_SIZE = 204
VIDIOC_QUERYCAP = _ior(0, CAPABILITY.size)
VIDIOC_ENUM_FMT = _iowr(2, FORMAT_DESCRIPTION.size)
VIDIOC_ENUM_FRAMESIZES = _iowr(74, FRAME_SIZE.size)
VIDIOC_G_PARM = _iowr(21, STREAM_PARAMETERS_SIZE)
BUF_TYPE_VIDEO_CAPTURE = 1
DISCRETE = 1


def text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode(errors="replace")


def enumerate_ioctl(fd: int, request: int, layout: struct.Struct, *fields):
    """Calls an ENUM ioctl with index 0, 1, ... (and FIELDS, the u32 fields after the index)
    until it fails; the unpacked answers."""
    index = 0
    while True:
        buffer = bytearray(layout.size)
        struct.pack_into(f"{1 + len(fields)}I", buffer, 0, index, *fields)
        try:
            fcntl.ioctl(fd, request, buffer)
        except OSError:
            return
        yield layout.unpack(buffer)
        index += 1


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else "/dev/video0"
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError as error:
        print(f"v4l2_device: cannot open {path}: {error.strerror}", file=sys.stderr)
        return 1
    try:
        buffer = bytearray(CAPABILITY.size)
        try:
            fcntl.ioctl(fd, VIDIOC_QUERYCAP, buffer)
        except OSError as error:
            print(f"v4l2_device: {path} answers no VIDIOC_QUERYCAP: {error.strerror}", file=sys.stderr)
            return 1
        driver, card, bus, *_ = CAPABILITY.unpack(buffer)
        print(f"card={text(card)} driver={text(driver)} bus={text(bus)}")
        for description in enumerate_ioctl(fd, VIDIOC_ENUM_FMT, FORMAT_DESCRIPTION, BUF_TYPE_VIDEO_CAPTURE):
            fourcc = description[4]
            name = struct.pack("<I", fourcc).decode(errors="replace")
            for size in enumerate_ioctl(fd, VIDIOC_ENUM_FRAMESIZES, FRAME_SIZE, fourcc):
                if size[2] != DISCRETE:
                    print(f"format={name} sizes from {size[3]}x{size[4]} to {size[5]}x{size[6]}")
                    continue
                print(f"format={name} {size[3]}x{size[4]}")
        parameters = bytearray(STREAM_PARAMETERS_SIZE)
        struct.pack_into("I", parameters, 0, BUF_TYPE_VIDEO_CAPTURE)
        try:
            fcntl.ioctl(fd, VIDIOC_G_PARM, parameters)
            _type, _capability, _mode, numerator, denominator = STREAM_PARAMETERS.unpack_from(parameters)
            print(f"fps={denominator}/{numerator}")
        except OSError as error:
            print(f"fps=? ({error.strerror})")
    finally:
        os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
