// Turns a stream's streaming periods into the stream source's start and stop requests.
// A period begins when the first output has a consumer and ends when the last consumer of the
// last output leaves, or the host shuts down:
//
//   idle --begin--> (authorized, start succeeded) --> started --end--> idle   [one stop]
//                   (refused, or start failed)    --> declined --end--> idle   [no stop]
//
// Every start request that succeeded gets exactly one stop request. Thread-safety: one thread
// at a time (OutputsHost holds its activity mutex).
#pragma once

#include <string>

#include "platform/cmio.h"
#include "platform/foundation.h"

namespace kolv::output {

class StreamActivity {
 public:
  StreamActivity(OSLog& log, std::string streamName) : log_(log), streamName_(std::move(streamName)) {}

  // Asks `source` to stream to `client` unless a period is already under way. A null source
  // (gone) declines the period. Returns true while the source streams.
  bool begin(CMIOExtensionStreamSource* source, const CMIOExtensionClient& client);
  // Ends the period, sending the stop request that a successful start is owed.
  void end(CMIOExtensionStreamSource* source);

  bool started() const { return state_ == State::started; }

 private:
  enum class State { idle, started, declined };
  OSLog& log_;
  std::string streamName_;
  State state_ = State::idle;
};

}  // namespace kolv::output
