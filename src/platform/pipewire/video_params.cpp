#include "platform/pipewire/video_params.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/format.h>
#include <spa/param/param.h>
#include <spa/param/video/format.h>
#include <spa/pod/builder.h>

#include <array>
#include <limits>
#include <numeric>

#include "handoff/surface_layout.h"
#include "platform/output/picture_conversion.h"

namespace kolv::pipewire {
namespace {

// CoreVideo names the components in memory order for these codes, as SPA does.
constexpr std::array kPixelFormats{
    PixelFormat{kCVPixelFormatType_32BGRA, SPA_VIDEO_FORMAT_BGRA},
    PixelFormat{fourCC("RGBA"), SPA_VIDEO_FORMAT_RGBA},
    PixelFormat{fourCC("ABGR"), SPA_VIDEO_FORMAT_ABGR},
    PixelFormat{0x00000020, SPA_VIDEO_FORMAT_ARGB},  // kCVPixelFormatType_32ARGB
    PixelFormat{fourCC("2vuy"), SPA_VIDEO_FORMAT_UYVY},
    PixelFormat{fourCC("yuvs"), SPA_VIDEO_FORMAT_YUY2},
    PixelFormat{fourCC("420v"), SPA_VIDEO_FORMAT_NV12},
    PixelFormat{fourCC("y420"), SPA_VIDEO_FORMAT_I420},
};

// Buffer count the host asks for: a few in flight while consumers read, never many.
constexpr int kDefaultBuffers = 4;
constexpr int kMinBuffers = 2;
constexpr int kMaxBuffers = 8;

}  // namespace

std::optional<PixelFormat> pixelFormatForCode(OSType code) {
  for (const auto& format : kPixelFormats) {
    if (format.code == code) return format;
  }
  return std::nullopt;
}

std::optional<PixelFormat> pixelFormatForVideoFormat(spa_video_format videoFormat) {
  for (const auto& format : kPixelFormats) {
    if (format.videoFormat == videoFormat) return format;
  }
  return std::nullopt;
}

std::optional<FrameRate> frameRateForDuration(const CMTime& duration) {
  if (!CMTimeIsValid(duration) || duration.value <= 0 || duration.timescale <= 0) return std::nullopt;
  if (duration.value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  const auto num = static_cast<std::uint32_t>(duration.timescale);
  const auto denom = static_cast<std::uint32_t>(duration.value);
  const auto divisor = std::gcd(num, denom);
  return FrameRate{num / divisor, denom / divisor};
}

std::optional<BufferLayout> bufferLayoutFor(const spa_video_info_raw& info) {
  const auto pixelFormat = pixelFormatForVideoFormat(info.format);
  if (!pixelFormat || info.size.width == 0 || info.size.height == 0) return std::nullopt;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int32_t>::max();
  const std::uint32_t stride = minimumBytesPerRow(info.size.width, pixelFormat->code);
  const std::size_t size = output::pictureBytes(pixelFormat->code, info.size.width, info.size.height, stride);
  if (stride == 0 || size == 0 || size > kLimit) return std::nullopt;
  return BufferLayout{*pixelFormat, info.size.width, info.size.height, stride, static_cast<std::uint32_t>(size)};
}

const spa_pod* buildEnumFormat(spa_pod_builder& builder, const VideoFormat& format) {
  spa_pod_frame object;
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_rectangle size{format.width, format.height};
  spa_pod_builder_add(&builder,                                                    //
                      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),      //
                      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),  //
                      SPA_FORMAT_VIDEO_format, SPA_POD_Id(format.pixelFormat.videoFormat), SPA_FORMAT_VIDEO_size,
                      SPA_POD_Rectangle(&size), 0);

  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
  const auto fraction = [&](const FrameRate& rate) { spa_pod_builder_fraction(&builder, rate.num, rate.denom); };
  if (!format.frameRates.empty()) {
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    fraction(format.frameRate);
    for (const auto& rate : format.frameRates) fraction(rate);
    spa_pod_builder_pop(&builder, &choice);
  } else if (format.minFrameRate == format.maxFrameRate) {
    fraction(format.frameRate);
  } else {
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    fraction(format.frameRate);
    fraction(format.minFrameRate);
    fraction(format.maxFrameRate);
    spa_pod_builder_pop(&builder, &choice);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

const spa_pod* buildBuffersParam(spa_pod_builder& builder, const BufferLayout& layout) {
  constexpr int kDataTypes = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr);
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,  //
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(kDefaultBuffers, kMinBuffers, kMaxBuffers),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),                                //
      SPA_PARAM_BUFFERS_size, SPA_POD_Int(static_cast<int>(layout.size)),      //
      SPA_PARAM_BUFFERS_stride, SPA_POD_Int(static_cast<int>(layout.stride)),  //
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(kDataTypes)));
}

const spa_pod* buildHeaderMetaParam(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,  //
                                 SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),     //
                                 SPA_PARAM_META_size, SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
}

}  // namespace kolv::pipewire
