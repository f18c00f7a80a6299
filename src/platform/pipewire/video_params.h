// The pixel formats the host can publish and the SPA parameter objects that describe a
// stream's formats, buffers and metadata to PipeWire. Pure functions, safe on any thread.
#pragma once

#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/types.h"

namespace kolv::pipewire {

// A pixel format known to both sides: the camera's four-character code and PipeWire's id.
struct PixelFormat {
  OSType code = 0;
  spa_video_format videoFormat = SPA_VIDEO_FORMAT_UNKNOWN;
  friend bool operator==(const PixelFormat&, const PixelFormat&) = default;
};

std::optional<PixelFormat> pixelFormatForCode(OSType code);
std::optional<PixelFormat> pixelFormatForVideoFormat(spa_video_format videoFormat);

struct FrameRate {
  std::uint32_t num = 0;
  std::uint32_t denom = 1;
  friend bool operator==(const FrameRate&, const FrameRate&) = default;
};

// The rate of one frame per `duration`, reduced; empty for an invalid or non-positive duration.
std::optional<FrameRate> frameRateForDuration(const CMTime& duration);

// One format a stream offers: a fixed picture size; the rate fixed, one of a list, or a range.
struct VideoFormat {
  PixelFormat pixelFormat;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  FrameRate frameRate;     // the preferred rate
  FrameRate minFrameRate;  // equal to maxFrameRate when the rate is fixed
  FrameRate maxFrameRate;
  std::vector<FrameRate> frameRates;  // when not empty, the only rates offered
};

// The layout of every buffer of a negotiated format: one block holding the planes one after
// another, the first plane's rows `stride` apart, as short as the width allows (for 4:2:0, the
// chroma rows half as long, or as long for NV12's interleaved pairs), as GStreamer lays out a
// frame of a width that is a multiple of 8.
struct BufferLayout {
  PixelFormat pixelFormat;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
  std::uint32_t size = 0;
};

// Empty when the format is not one the host publishes or its size is zero or too large.
std::optional<BufferLayout> bufferLayoutFor(const spa_video_info_raw& info);

// Each builder writes into `builder` and returns the object, or nullptr when the builder's
// memory ran out.
const spa_pod* buildEnumFormat(spa_pod_builder& builder, const VideoFormat& format);
const spa_pod* buildBuffersParam(spa_pod_builder& builder, const BufferLayout& layout);
const spa_pod* buildHeaderMetaParam(spa_pod_builder& builder);

}  // namespace kolv::pipewire
