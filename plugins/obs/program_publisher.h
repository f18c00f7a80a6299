// Hands OBS's frames to Kolv Camera through the companion library, between start() and
// stop(). Free of libobs: the OBS output (camera_output.cpp) passes each frame's planes in.
// Thread: start() and stop() on the thread OBS starts and stops outputs on, frame() on OBS's
// video output thread, which may still deliver a frame after stop(); they share the state
// under a mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kolv/companion.h"
#include "picture_plan.h"

namespace kolv::obs {

// The formats the companion library publishes without a conversion in OBS.
std::span<const Format> publishableFormats();

class ProgramPublisher {
 public:
  enum class FrameResult {
    published,
    busy,        // every surface was handed over too recently: the frame is dropped
    notRunning,  // before start() or after stop()
    failed,      // the frame or the publisher is unusable; logged once until frames go out again
  };
  struct Counts {
    std::uint64_t published = 0;
    std::uint64_t busy = 0;
    std::uint64_t failed = 0;
  };
  using Log = std::function<void(std::string_view line)>;

  // `base`: the group, the Info.plist and where surfaces live, for every start(); `log` gets
  // one line per problem (and one when frames go out again after it).
  ProgramPublisher(companion::Options base, Log log);
  ~ProgramPublisher();
  ProgramPublisher(const ProgramPublisher&) = delete;
  ProgramPublisher& operator=(const ProgramPublisher&) = delete;

  // Opens a publisher for pictures of `plan` (a publishable format). False, with one line
  // for the user in `error`, when it cannot (another companion is publishing, no runtime
  // folder, ...).
  bool start(const PicturePlan& plan, std::string* error);
  // Closes the publisher: the camera shows its last picture at most once more, then grey.
  void stop();
  bool running() const;

  // Copies one frame (planes of the plan's format and size, row strides as OBS gives them)
  // into a free surface and publishes it.
  FrameResult frame(std::span<const SourcePlane> planes);
  // The counts since the last start().
  Counts counts() const;

 private:
  FrameResult fail(std::string line);

  const companion::Options base_;
  const Log log_;
  mutable std::mutex mutex_;
  std::optional<companion::Publisher> publisher_;
  PicturePlan plan_;
  Counts counts_;
  bool failing_ = false;
};

}  // namespace kolv::obs
