#include "platform/v4l2loopback/loopback_writer.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kolv::v4l2loopback {
namespace {

std::string fourCCText(std::uint32_t code) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((code >> shift) & 0xff);
    text += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text;
}

}  // namespace

std::string loadCommand(const std::string& label) {
  return "modprobe v4l2loopback devices=1 video_nr=10 card_label=\"" + label + "\" exclusive_caps=1";
}

LoopbackWriter::LoopbackWriter(OSLog& log, WriterOptions options, DeviceCalls& calls)
    : log_(log), options_(std::move(options)), calls_(calls), grey_(options_.format, options_.width, options_.height) {}

std::string LoopbackWriter::describe() const {
  return std::string(formatName(options_.format)) + " " + std::to_string(options_.width) + "x" +
         std::to_string(options_.height) + " at " + std::to_string(options_.framesPerSecond) + " fps";
}

void LoopbackWriter::report(const std::string& problem) {
  if (problem == lastProblem_) return;
  lastProblem_ = problem;
  os_log_with_type(log_, OSLogType::error, "V4L2 output: %s", problem.c_str());
}

TakeResult LoopbackWriter::fail(TakeResult result, const std::string& problem) {
  release();
  report(problem);
  return result;
}

TakeResult LoopbackWriter::take() {
  if (holding()) return TakeResult::taken;

  const bool byPath = options_.device.starts_with('/');
  if (byPath) {
    path_ = options_.device;
  } else if (auto found = findDeviceByLabel(options_.device, options_.sysfsClass, options_.devices)) {
    path_ = *found;
  } else {
    path_.clear();
    return fail(TakeResult::missing, "no v4l2loopback device labelled \"" + options_.device +
                                         "\"; V4L2 applications see the camera once one exists (" +
                                         loadCommand(options_.device) + ")");
  }

  // With exclusive_caps=1 the device offers output until a writer has written, and capture
  // while it has frames: capture without output means another writer is attached. Neither means
  // the last writer wrote without streaming and has gone: v4l2loopback 0.12.7 offers output
  // again only once a writer that streamed closes the device. Asking to stream (refused
  // without a format, but the opener counts as a streaming writer from then on) and closing
  // sets it right; the device is then opened again.
  std::uint32_t caps = 0;
  for (int attempt = 0;; ++attempt) {
    int error = 0;
    UniqueFD fd = calls_.open(path_, error);
    if (!fd) {
      if (error == ENOENT || error == ENODEV || error == ENXIO) {
        return fail(TakeResult::missing,
                    path_.string() + " does not exist; V4L2 applications see the camera once it does");
      }
      if (error == EBUSY) {
        return fail(TakeResult::busy, path_.string() + " has as many openers as it allows; retrying");
      }
      return fail(TakeResult::unusable, "cannot open " + path_.string() + ": " + std::strerror(error));
    }
    fd_ = std::move(fd);

    v4l2_capability capability{};
    if (const int e = calls_.ioctl(fd_.get(), VIDIOC_QUERYCAP, &capability); e != 0) {
      return fail(TakeResult::unusable, path_.string() + " is not a V4L2 device (" + std::strerror(e) + ")");
    }
    const std::string driver(reinterpret_cast<const char*>(capability.driver),
                             strnlen(reinterpret_cast<const char*>(capability.driver), sizeof capability.driver));
    if (driver != "v4l2 loopback") {
      return fail(TakeResult::unusable, path_.string() + " is not a v4l2loopback device (its driver is \"" + driver +
                                            "\"); nothing is written");
    }
    caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    if ((caps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE)) || attempt > 0) break;
    int outputType = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    calls_.ioctl(fd_.get(), VIDIOC_STREAMON, &outputType);
    fd_.reset();
  }
  if (!(caps & V4L2_CAP_VIDEO_OUTPUT)) {
    return fail(TakeResult::busy, path_.string() + " is held by another writer; the camera takes it when it is free");
  }

  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  format.fmt.pix.width = static_cast<std::uint32_t>(options_.width);
  format.fmt.pix.height = static_cast<std::uint32_t>(options_.height);
  format.fmt.pix.pixelformat = v4l2PixelFormat(options_.format);
  format.fmt.pix.field = V4L2_FIELD_NONE;
  format.fmt.pix.bytesperline = static_cast<std::uint32_t>(bytesPerLine(options_.format, options_.width));
  format.fmt.pix.sizeimage = static_cast<std::uint32_t>(grey_.frame().size());
  format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
  if (const int e = calls_.ioctl(fd_.get(), VIDIOC_S_FMT, &format); e != 0) {
    return fail(TakeResult::refused, path_.string() + " refuses " + describe() + ": " + std::strerror(e));
  }
  if (format.fmt.pix.pixelformat != v4l2PixelFormat(options_.format) || format.fmt.pix.width != options_.width ||
      format.fmt.pix.height != options_.height) {
    // v4l2loopback keeps the format of an earlier writer while anyone holds the device open.
    return fail(TakeResult::refused,
                path_.string() + " refuses " + describe() + " (it keeps " + fourCCText(format.fmt.pix.pixelformat) +
                    " " + std::to_string(format.fmt.pix.width) + "x" + std::to_string(format.fmt.pix.height) +
                    " while its openers hold it); retrying when they let go");
  }

  v4l2_streamparm rate{};
  rate.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  rate.parm.output.timeperframe = {1, options_.framesPerSecond};
  if (const int e = calls_.ioctl(fd_.get(), VIDIOC_S_PARM, &rate); e != 0) {
    os_log_with_type(log_, OSLogType::info, "V4L2 output: %s keeps its own frame rate (%s)", path_.c_str(),
                     std::strerror(e));
  }

  // Streaming on the output marks this opener as the device's writer, so that closing it
  // offers the output to the next writer again; a writer that only calls write() leaves the
  // device refusing every later writer's format (v4l2loopback 0.12.7) until it is reloaded.
  int outputType = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  if (const int e = calls_.ioctl(fd_.get(), VIDIOC_STREAMON, &outputType); e != 0) {
    return fail(TakeResult::unusable, "cannot start writing to " + path_.string() + ": " + std::strerror(e));
  }

  // The first frame makes the device a capture device for readers.
  if (const int e = calls_.write(fd_.get(), grey_.frame()); e != 0) {
    return fail(TakeResult::unusable, "cannot write to " + path_.string() + ": " + std::strerror(e));
  }
  lastProblem_.clear();
  os_log_with_type(log_, OSLogType::info, "V4L2 output: writing %s into %s", describe().c_str(), path_.c_str());
  return TakeResult::taken;
}

bool LoopbackWriter::write(std::span<const std::byte> frame) {
  if (!holding()) return false;
  if (const int e = calls_.write(fd_.get(), frame); e != 0) {
    const std::string path = path_.string();
    release();
    report("writing to " + path + " failed (" + std::strerror(e) + "); the camera takes it again when it is back");
    return false;
  }
  return true;
}

void LoopbackWriter::release() {
  if (!fd_) return;
  fd_.reset();
}

}  // namespace kolv::v4l2loopback
