#include "program_publisher.h"

#include <algorithm>
#include <array>
#include <utility>

namespace kolv::obs {

std::span<const Format> publishableFormats() {
  static constexpr std::array<Format, 3> kFormats = {Format::bgra, Format::nv12, Format::i420};
  return kFormats;
}

namespace {

std::uint32_t pixelFormatOf(Format format) {
  switch (format) {
    case Format::nv12:
      return companion::kPixelFormatNV12;
    case Format::i420:
      return companion::kPixelFormatI420;
    case Format::bgra:
    case Format::other:
      break;
  }
  return companion::kPixelFormatBGRA;
}

}  // namespace

ProgramPublisher::ProgramPublisher(companion::Options base, Log log) : base_(std::move(base)), log_(std::move(log)) {}

ProgramPublisher::~ProgramPublisher() { stop(); }

bool ProgramPublisher::start(const PicturePlan& plan, std::string* error) {
  std::lock_guard lock(mutex_);
  publisher_.reset();
  counts_ = {};
  failing_ = false;
  const auto& formats = publishableFormats();
  if (plan.width == 0 || plan.height == 0 || std::find(formats.begin(), formats.end(), plan.format) == formats.end()) {
    if (error != nullptr) {
      *error = "cannot publish " + std::string(formatName(plan.format)) + " pictures of " + std::to_string(plan.width) +
               "x" + std::to_string(plan.height);
    }
    return false;
  }
  companion::Options options = base_;
  options.width = plan.width;
  options.height = plan.height;
  options.pixelFormat = pixelFormatOf(plan.format);
  companion::Error failure;
  publisher_ = companion::Publisher::open(options, &failure);
  if (!publisher_) {
    if (error != nullptr) *error = failure.message();
    return false;
  }
  plan_ = plan;
  return true;
}

void ProgramPublisher::stop() {
  std::lock_guard lock(mutex_);
  publisher_.reset();
}

bool ProgramPublisher::running() const {
  std::lock_guard lock(mutex_);
  return publisher_.has_value();
}

ProgramPublisher::Counts ProgramPublisher::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

ProgramPublisher::FrameResult ProgramPublisher::fail(std::string line) {
  ++counts_.failed;
  if (!failing_ && log_) log_(line);
  failing_ = true;
  return FrameResult::failed;
}

ProgramPublisher::FrameResult ProgramPublisher::frame(std::span<const SourcePlane> planes) {
  std::lock_guard lock(mutex_);
  if (!publisher_) return FrameResult::notRunning;
  const std::optional<companion::Canvas> canvas = publisher_->beginFrame();
  if (!canvas) {
    const companion::Error& error = publisher_->lastError();
    if (error.status != companion::Status::busy && error.status != companion::Status::ok) {
      return fail("cannot draw a picture: " + error.message());
    }
    ++counts_.busy;
    return FrameResult::busy;
  }
  std::array<TargetPlane, companion::kMaxPlanes> target{};
  for (std::size_t p = 0; p < canvas->planeCount; ++p) {
    target[p] = TargetPlane{canvas->planes[p].bytes.data(), canvas->planes[p].bytesPerRow};
  }
  if (!copyPicture(plan_.format, canvas->width, canvas->height, planes,
                   std::span<const TargetPlane>(target.data(), canvas->planeCount))) {
    return fail("a frame from OBS does not have the planes of " + std::to_string(canvas->width) + "x" +
                std::to_string(canvas->height) + " " + std::string(formatName(plan_.format)));
  }
  if (publisher_->publish() != companion::Status::ok) {
    return fail("cannot publish a picture: " + publisher_->lastError().message());
  }
  ++counts_.published;
  if (failing_ && log_) log_("pictures go out again");
  failing_ = false;
  return FrameResult::published;
}

}  // namespace kolv::obs
