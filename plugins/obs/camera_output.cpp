#include "camera_output.h"

#include <obs-module.h>

#include <array>
#include <string>
#include <string_view>

#include "picture_plan.h"
#include "program_publisher.h"

namespace kolv::obs {
namespace {

CameraOutputOptions registeredOptions;

void logLine(int level, std::string_view line) {
  blog(level, "[kolv-camera] %.*s", static_cast<int>(line.size()), line.data());
}

// One output: created by OBS (or the Tools menu) and destroyed by OBS.
struct CameraOutput {
  explicit CameraOutput(obs_output_t* owner)
      : output(owner), publisher(publisherOptions(), [](std::string_view line) { logLine(LOG_WARNING, line); }) {}

  static companion::Options publisherOptions() {
    companion::Options options;
    options.infoPlist = registeredOptions.infoPlist;
    return options;
  }

  obs_output_t* output;
  ProgramPublisher publisher;
};

Format formatOf(enum video_format format) {
  switch (format) {
    case VIDEO_FORMAT_BGRA:
      return Format::bgra;
    case VIDEO_FORMAT_NV12:
      return Format::nv12;
    case VIDEO_FORMAT_I420:
      return Format::i420;
    default:
      return Format::other;
  }
}

enum video_format obsFormatOf(Format format) {
  switch (format) {
    case Format::nv12:
      return VIDEO_FORMAT_NV12;
    case Format::i420:
      return VIDEO_FORMAT_I420;
    case Format::bgra:
    case Format::other:
      break;
  }
  return VIDEO_FORMAT_BGRA;
}

const char* outputName(void*) { return "Kolv Camera"; }

void* createOutput(obs_data_t*, obs_output_t* output) { return new CameraOutput(output); }

void destroyOutput(void* data) { delete static_cast<CameraOutput*>(data); }

bool refuse(CameraOutput& self, const std::string& reason) {
  logLine(LOG_ERROR, "cannot start: " + reason);
  obs_output_set_last_error(self.output, ("Kolv Camera: " + reason).c_str());
  return false;
}

bool startOutput(void* data) {
  auto& self = *static_cast<CameraOutput*>(data);
  video_t* video = obs_output_video(self.output);
  if (video == nullptr) return refuse(self, "OBS gave the output no video");
  if (!obs_output_can_begin_data_capture(self.output, 0)) return refuse(self, "OBS cannot hand the video over now");
  const video_output_info* info = video_output_get_info(video);
  // OBS 29 writes its NV12 and I420 program video with the BT.709 matrix whatever colour space
  // it is set to: at "Rec. 601" (limited) an orange of (255, 128, 0) comes as Y 140, U 59, V 189,
  // as at "Rec. 709" (BT.601 gives 146, 53, 193). The camera converts YUV as BT.601, so those
  // frames as they are would show their colours shifted (that orange as 242, 122, 5); OBS's own
  // conversion to BGRA shows them right. So OBS's YUV is never taken as the camera's matrix.
  const ProgramVideo program{formatOf(info->format), info->width, info->height, false};
  const PicturePlan plan = planPicture(program, publishableFormats());

  std::string error;
  if (!self.publisher.start(plan, &error)) return refuse(self, error);
  if (plan.convert) {
    video_scale_info conversion{};
    conversion.format = obsFormatOf(plan.format);
    conversion.width = plan.width;
    conversion.height = plan.height;
    conversion.range = plan.format == Format::bgra ? VIDEO_RANGE_FULL : VIDEO_RANGE_PARTIAL;
    conversion.colorspace = plan.format == Format::bgra ? info->colorspace : VIDEO_CS_601;
    obs_output_set_video_conversion(self.output, &conversion);
  }
  if (!obs_output_begin_data_capture(self.output, 0)) {
    self.publisher.stop();
    return refuse(self, "OBS did not start handing the video over");
  }
  const std::string what =
      std::to_string(plan.width) + "x" + std::to_string(plan.height) + " " + std::string(formatName(plan.format));
  if (plan.convert) {
    logLine(LOG_INFO, "publishing " + what + ", converted by OBS from its " + std::to_string(info->width) + "x" +
                          std::to_string(info->height) + " " + get_video_format_name(info->format) + " (" +
                          get_video_colorspace_name(info->colorspace) + ")");
  } else {
    logLine(LOG_INFO, "publishing " + what + " as OBS renders it");
  }
  return true;
}

void stopOutput(void* data, uint64_t) {
  auto& self = *static_cast<CameraOutput*>(data);
  obs_output_end_data_capture(self.output);
  const ProgramPublisher::Counts counts = self.publisher.counts();
  self.publisher.stop();
  logLine(LOG_INFO, "stopped: " + std::to_string(counts.published) + " pictures published, " +
                        std::to_string(counts.busy) + " dropped (no free surface), " + std::to_string(counts.failed) +
                        " failed");
}

void rawVideo(void* data, struct video_data* frame) {
  auto& self = *static_cast<CameraOutput*>(data);
  const std::array<SourcePlane, 3> planes = {SourcePlane{frame->data[0], frame->linesize[0]},
                                             SourcePlane{frame->data[1], frame->linesize[1]},
                                             SourcePlane{frame->data[2], frame->linesize[2]}};
  self.publisher.frame(planes);
}

}  // namespace

void registerCameraOutput(const char* id, const CameraOutputOptions& options) {
  registeredOptions = options;
  obs_output_info info{};
  info.id = id;
  info.flags = OBS_OUTPUT_VIDEO;
  info.get_name = outputName;
  info.create = createOutput;
  info.destroy = destroyOutput;
  info.start = startOutput;
  info.stop = stopOutput;
  info.raw_video = rawVideo;
  obs_register_output(&info);
}

}  // namespace kolv::obs
