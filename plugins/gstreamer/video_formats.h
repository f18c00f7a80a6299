// The raw video formats kolvsink takes, and the surface pixel format each is published in.
// Pure functions, safe on any thread.
#pragma once

#include <gst/video/video.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kolv::gst {

// The surface pixel format ('BGRA', 'NV12', ...) a picture in `format` is published in, with
// the same bytes; empty for a format the camera does not take. The formats with an unused
// fourth byte (BGRx, RGBx, xRGB, xBGR) go out as their alpha twins: the camera reads no alpha.
// GStreamer's YUV formats with these names have the surfaces' plane orders and byte orders.
std::optional<std::uint32_t> surfaceFormatFor(GstVideoFormat format);

// The caps kolvsink's pad takes: video/x-raw in each format surfaceFormatFor() maps, of any
// size the surfaces take (1 to 16384) and any frame rate.
std::string sinkCapsString();

}  // namespace kolv::gst
