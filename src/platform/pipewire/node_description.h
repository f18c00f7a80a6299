// What a PipeWire node shows of one camera stream: its properties and formats, learnt the
// way a camera host learns them, through the provider's, device's and stream's sources.
// Built on the thread that starts the service; plain values afterwards.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/pipewire/video_params.h"

namespace kolv::pipewire {

struct NodeDescription {
  std::string nodeName;                                         // node.name, stable across runs
  std::string label;                                            // the stream's name, for log lines
  std::vector<std::pair<std::string, std::string>> properties;  // every other node property
  std::vector<VideoFormat> formats;  // the active format first, the converted ones after the camera's
};

// A stable node name from a device name: lower case, every run of other characters than
// ASCII letters and digits as one '-', never empty and never all digits ("Kolv Camera" ->
// "kolv-camera").
std::string nodeNameFromDeviceName(std::string_view deviceName);

// Formats whose pixel format or frame durations the host cannot publish are left out with a
// warning line; a description without formats cannot be published. With `yuvFormats` each
// 'BGRA' format is offered in YUY2, NV12 and I420 too, after the camera's own.
NodeDescription describeStream(const CMIOExtensionProvider& provider, const CMIOExtensionDevice& device,
                               const CMIOExtensionStream& stream, OSLog& log, bool yuvFormats = true);

}  // namespace kolv::pipewire
