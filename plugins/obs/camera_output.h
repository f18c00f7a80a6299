// The OBS output type that publishes OBS's raw video to Kolv Camera (OBS_OUTPUT_VIDEO).
// Thread: OBS calls start and stop on its UI thread (stop also on its output threads) and
// raw_video on its video output thread; each output's ProgramPublisher takes them in turn.
#pragma once

#include <filesystem>
#include <optional>

namespace kolv::obs {

// OBS's id for the output its "Start Virtual Camera" button drives.
inline constexpr const char* kVirtualCamOutputID = "virtualcam_output";
// The id when OBS's button drives a virtual camera of its own.
inline constexpr const char* kOwnOutputID = "kolv_camera_output";

struct CameraOutputOptions {
  // The camera's Info.plist, which names the app group; the fallback group without one.
  std::optional<std::filesystem::path> infoPlist;
};

// Registers the output type under `id` (a string that lives as long as the process).
void registerCameraOutput(const char* id, const CameraOutputOptions& options);

}  // namespace kolv::obs
