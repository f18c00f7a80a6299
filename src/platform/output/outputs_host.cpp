#include "platform/output/outputs_host.h"

#include <algorithm>

#include "platform/output/output_frame.h"
#include "platform/output/stream_activity.h"

namespace kolv::output {

// One stream of the camera across the outputs. `consumers` and `activity` are guarded by the
// host's activityMutex_; `sending` is read by the frame queue without a lock; `pictures` and
// `nextSequence` are the frame queue's.
class OutputsHost::StreamState {
 public:
  StreamState(OSLog& log, std::shared_ptr<CMIOExtensionStream> s, std::size_t outputs)
      : stream(std::move(s)),
        activity(log, stream->localizedName()),
        consumers(outputs, false),
        sending(std::make_unique<std::atomic<bool>[]>(outputs)),
        pictures(log, stream->localizedName()) {}

  const std::shared_ptr<CMIOExtensionStream> stream;
  StreamActivity activity;
  std::vector<bool> consumers;
  std::unique_ptr<std::atomic<bool>[]> sending;
  FramePictures pictures;
  std::uint64_t nextSequence = 0;
};

OutputsHost::OutputsHost(OSLog& log, std::vector<std::reference_wrapper<CameraOutput>> outputs)
    : log_(log), outputs_(std::move(outputs)) {}

OutputsHost::~OutputsHost() { shutdown(); }

void OutputsHost::startService(const std::shared_ptr<CMIOExtensionProvider>& provider) {
  if (started_) {
    os_log_with_type(log_, OSLogType::error, "the camera service is already running");
    return;
  }
  started_ = true;
  if (provider) {
    for (const auto& device : provider->devices()) {
      for (const auto& stream : device->streams()) {
        streams_.push_back(std::make_unique<StreamState>(log_, stream, outputs_.size()));
      }
    }
  }
  serving_ = true;
  for (CameraOutput& output : outputs_) output.start(provider, *this);
}

bool OutputsHost::addDevice(CMIOExtensionProvider&, const std::shared_ptr<CMIOExtensionDevice>&, NSErrorOut) {
  return true;
}

bool OutputsHost::addStream(CMIOExtensionDevice&, const std::shared_ptr<CMIOExtensionStream>&, NSErrorOut) {
  return true;
}

OutputsHost::StreamState* OutputsHost::stateOf(const CMIOExtensionStream& stream) const {
  const auto found =
      std::find_if(streams_.begin(), streams_.end(), [&](const auto& state) { return state->stream.get() == &stream; });
  return found == streams_.end() ? nullptr : found->get();
}

void OutputsHost::consumersChanged(CameraOutput& output, const CMIOExtensionStream& stream, bool hasConsumers) {
  const auto index = static_cast<std::size_t>(
      std::find_if(outputs_.begin(), outputs_.end(), [&](const CameraOutput& o) { return &o == &output; }) -
      outputs_.begin());
  StreamState* state = stateOf(stream);
  if (index == outputs_.size() || !state) return;
  // Once shut down, consumers may still be reported gone (by an output shutting down), never new.
  if (hasConsumers && shutDown_) return;

  std::lock_guard lock(activityMutex_);
  if (state->consumers[index] == hasConsumers) return;
  const bool before = std::find(state->consumers.begin(), state->consumers.end(), true) != state->consumers.end();
  state->consumers[index] = hasConsumers;
  const bool after = std::find(state->consumers.begin(), state->consumers.end(), true) != state->consumers.end();
  os_log_with_type(log_, OSLogType::debug, "%s: %s %s", state->stream->localizedName().c_str(),
                   std::string(output.name()).c_str(), hasConsumers ? "has consumers" : "has no consumer left");
  // An output that gains consumers gets the next tick's frame; one that loses them none after.
  state->sending[index].store(hasConsumers);
  if (!before && after) {
    const CMIOExtensionClient client{NSUUID::UUID(), 0, {}};
    state->activity.begin(state->stream->source().get(), client);
  } else if (before && !after) {
    // Waits for a frame tick under way, which takes no lock of ours.
    state->activity.end(state->stream->source().get());
  }
}

void OutputsHost::sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                                   CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                   std::uint64_t hostTimeInNanoseconds) {
  if (!serving_) return;
  StreamState* state = stateOf(stream);
  if (!state) return;
  std::size_t receivers = 0;
  for (std::size_t i = 0; i < outputs_.size(); ++i) receivers += state->sending[i].load() ? 1 : 0;
  if (receivers == 0) return;
  OutputFrame frame(state->pictures, sampleBuffer, discontinuity, hostTimeInNanoseconds, state->nextSequence++,
                    receivers);
  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    if (!state->sending[i].load()) continue;
    outputs_[i].get().send(stream, frame);
    frame.nextOutput();
  }
}

void OutputsHost::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  for (CameraOutput& output : outputs_) output.shutdown();
  serving_ = false;
  std::lock_guard lock(activityMutex_);
  for (const auto& state : streams_) {
    std::fill(state->consumers.begin(), state->consumers.end(), false);
    for (std::size_t i = 0; i < outputs_.size(); ++i) state->sending[i].store(false);
    state->activity.end(state->stream->source().get());
  }
}

}  // namespace kolv::output
