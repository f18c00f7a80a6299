// The names both sides of the hand-off must agree on: the app group used when the Info
// dictionary names none, and the two files in the group's container. Installed with the
// companion library's headers; the camera's reader takes its names from here too.
// Header-only and without dependencies, so that any part of the camera may include it.
#pragma once

namespace kolv {

// The app group used when the Info dictionary names none; companions use the same.
inline constexpr char kFallbackAppGroupID[] = "group.kolv.vcamera";
// The surface-ID file: 4 bytes, the ID as a little-endian unsigned integer.
inline constexpr char kSurfaceIDFileName[] = "kolvcamera_surface_id";
// The frame-metadata file: 8 bytes, the timestamp as a little-endian IEEE 754 double.
inline constexpr char kFrameMetadataFileName[] = "kolvcamera_frame_meta";

}  // namespace kolv
