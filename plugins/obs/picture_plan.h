// What the OBS plugin asks OBS for and how it lays OBS's frames into a companion surface:
// the format and size of the pictures it publishes, chosen so that OBS converts nothing the
// camera takes as it is, and the plane-by-plane copy of one frame. Free of libobs, so that
// the choices are tested on their own. Thread: any (pure functions).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kolv::obs {

// The largest picture the camera sends as it is: its stream's size.
inline constexpr std::uint32_t kCameraWidth = 1280;
inline constexpr std::uint32_t kCameraHeight = 720;

// OBS's output formats, as far as the plugin tells them apart.
enum class Format { bgra, nv12, i420, other };
std::string_view formatName(Format format);

// OBS's program video: its format, size and, for YUV, whether it uses the camera's matrix
// (BT.601, limited range: Y from 16 to 235), which is how the camera converts YUV surfaces.
struct ProgramVideo {
  Format format = Format::other;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool bt601Limited = false;
};

// The pictures to publish. `convert` is true when OBS must convert or scale its frames
// (obs_output_set_video_conversion to format, width and height); false when they go as
// they are.
struct PicturePlan {
  Format format = Format::bgra;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool convert = false;
};

// The plan for `program` when the companion library can publish the formats in `publishable`
// (BGRA always among them). Frames that fit 1280x720 keep their size (the camera centres
// them); larger ones are scaled down to fit, aspect kept, to even sizes. BGRA frames, and NV12
// or I420 frames in the camera's matrix when the library takes them, keep their format;
// everything else becomes BGRA, which OBS converts with the program's own matrix. An empty
// program size gives a plan of size 0.
PicturePlan planPicture(const ProgramVideo& program, std::span<const Format> publishable);

// One plane of a frame as OBS hands it over.
struct SourcePlane {
  const std::uint8_t* data = nullptr;
  std::uint32_t bytesPerRow = 0;
};
// One plane of a surface to copy into.
struct TargetPlane {
  std::byte* data = nullptr;
  std::uint32_t bytesPerRow = 0;
};

// The planes of a picture: how many, and each one's rows and bytes of picture per row.
struct PlaneShape {
  std::uint32_t rows = 0;
  std::uint32_t rowBytes = 0;
};
struct PictureShape {
  std::size_t planeCount = 0;
  std::array<PlaneShape, 3> planes{};
};
PictureShape pictureShape(Format format, std::uint32_t width, std::uint32_t height);

// Copies a picture of `format` and size, plane by plane and row by row, leaving the padding
// at the end of the target's rows as it is. False, copying nothing, when a plane is missing
// or a row stride is shorter than the plane's row.
bool copyPicture(Format format, std::uint32_t width, std::uint32_t height, std::span<const SourcePlane> source,
                 std::span<const TargetPlane> target);

}  // namespace kolv::obs
