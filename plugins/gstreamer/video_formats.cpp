#include "video_formats.h"

#include <array>
#include <utility>

#include "handoff/surface_layout.h"
#include "kolv/companion.h"

namespace kolv::gst {
namespace {

// In the order kolvsink prefers them: the camera's own format first, which it sends on
// without converting. Each surface format is one of the companion library's (checked below).
constexpr std::array<std::pair<GstVideoFormat, std::uint32_t>, 12> kFormats{{
    {GST_VIDEO_FORMAT_BGRA, kSurfacePixelFormatBGRA},
    {GST_VIDEO_FORMAT_BGRx, kSurfacePixelFormatBGRA},
    {GST_VIDEO_FORMAT_RGBA, kSurfacePixelFormatRGBA},
    {GST_VIDEO_FORMAT_RGBx, kSurfacePixelFormatRGBA},
    {GST_VIDEO_FORMAT_ARGB, kSurfacePixelFormatARGB},
    {GST_VIDEO_FORMAT_xRGB, kSurfacePixelFormatARGB},
    {GST_VIDEO_FORMAT_ABGR, kSurfacePixelFormatABGR},
    {GST_VIDEO_FORMAT_xBGR, kSurfacePixelFormatABGR},
    {GST_VIDEO_FORMAT_NV12, kSurfacePixelFormatNV12},
    {GST_VIDEO_FORMAT_I420, kSurfacePixelFormatI420},
    {GST_VIDEO_FORMAT_YUY2, kSurfacePixelFormatYUY2},
    {GST_VIDEO_FORMAT_UYVY, kSurfacePixelFormatUYVY},
}};
static_assert(companion::kPixelFormatNV12 == kSurfacePixelFormatNV12 &&
              companion::kPixelFormatBGRA == kSurfacePixelFormatBGRA);

}  // namespace

std::optional<std::uint32_t> surfaceFormatFor(GstVideoFormat format) {
  for (const auto& [video, surface] : kFormats) {
    if (video == format) return surface;
  }
  return std::nullopt;
}

std::string sinkCapsString() {
  std::string formats;
  for (const auto& [video, surface] : kFormats) {
    formats += formats.empty() ? "{ " : ", ";
    formats += gst_video_format_to_string(video);
  }
  formats += " }";
  const std::string limit = std::to_string(kMaxSurfaceDimension);
  return "video/x-raw, format=(string)" + formats + ", width=(int)[ 1, " + limit + " ], height=(int)[ 1, " + limit +
         " ], framerate=(fraction)[ 0/1, 2147483647/1 ]";
}

}  // namespace kolv::gst
