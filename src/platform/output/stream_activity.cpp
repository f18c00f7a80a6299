#include "platform/output/stream_activity.h"

namespace kolv::output {

bool StreamActivity::begin(CMIOExtensionStreamSource* source, const CMIOExtensionClient& client) {
  if (state_ != State::idle) return started();
  state_ = State::declined;
  if (!source) {
    os_log_with_type(log_, OSLogType::error, "%s: cannot start streaming: the stream has no source",
                     streamName_.c_str());
    return false;
  }
  if (!source->authorizedToStartStreamForClient(client)) {
    os_log_with_type(log_, OSLogType::error, "%s: the camera refused to stream to client %s", streamName_.c_str(),
                     client.clientID.UUIDString().c_str());
    return false;
  }
  std::optional<NSError> error;
  if (!source->startStreamAndReturnError(&error)) {
    const std::string description = error ? error->localizedDescription() : std::string("no description");
    os_log_with_type(log_, OSLogType::error, "%s: failed to start streaming: %s", streamName_.c_str(),
                     description.c_str());
    return false;
  }
  state_ = State::started;
  os_log_with_type(log_, OSLogType::info, "%s: stream started", streamName_.c_str());
  return true;
}

void StreamActivity::end(CMIOExtensionStreamSource* source) {
  const State previous = state_;
  state_ = State::idle;
  if (previous != State::started) return;
  if (!source) {
    os_log_with_type(log_, OSLogType::error, "%s: cannot stop streaming: the stream has no source",
                     streamName_.c_str());
    return;
  }
  std::optional<NSError> error;
  if (!source->stopStreamAndReturnError(&error)) {
    const std::string description = error ? error->localizedDescription() : std::string("no description");
    os_log_with_type(log_, OSLogType::error, "%s: failed to stop streaming: %s", streamName_.c_str(),
                     description.c_str());
  }
  os_log_with_type(log_, OSLogType::info, "%s: stream stopped", streamName_.c_str());
}

}  // namespace kolv::output
