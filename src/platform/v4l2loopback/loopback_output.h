// The camera's V4L2 output: holds a v4l2loopback device as its writer (LoopbackWriter) so that
// V4L2 applications list "Kolv Camera", and while other processes hold the device open it
// streams the camera (a start request; a stop request when the last one closes it) and writes
// each frame into it, converted once. With no reader it costs nothing but a sleeping thread.
// The device may be missing, go away, be held by another writer or refuse the format: one log
// line each, the PipeWire output is not affected, and the device is taken again when it is back.
// Thread-safety: start() and shutdown() on the main thread; send() on the camera's frame queue;
// the device is watched on the output's own thread ("kolv-v4l2"), which makes the start and stop
// requests. The writer is shared by the two under one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "handoff/unique_fd.h"
#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/pipewire/stream_activity.h"
#include "platform/v4l2loopback/device_calls.h"
#include "platform/v4l2loopback/loopback_writer.h"
#include "platform/v4l2loopback/reader_count.h"

namespace kolv::v4l2loopback {

struct LoopbackOutputOptions {
  WriterOptions writer;
  // While the device is not held, how often it is looked for again (besides new nodes in
  // the device folder, which are looked at at once).
  std::chrono::milliseconds retry{2000};
};

class LoopbackOutput {
 public:
  explicit LoopbackOutput(OSLog& log, LoopbackOutputOptions options = {},
                          std::unique_ptr<DeviceCalls> calls = std::make_unique<KernelDeviceCalls>());
  ~LoopbackOutput();
  LoopbackOutput(const LoopbackOutput&) = delete;
  LoopbackOutput& operator=(const LoopbackOutput&) = delete;

  // Writes the provider's first stream; starts watching for the device.
  void start(const std::shared_ptr<CMIOExtensionProvider>& provider);
  // Frame queue: writes the frame while the stream is the output's and someone reads.
  void send(CMIOExtensionStream& stream, const CMSampleBufferRef& sample);
  // Ends streaming (the stop request a start is owed), lets the device go and stops the thread.
  // Idempotent; the destructor calls it.
  void shutdown();

 private:
  void run();
  void takeDevice();
  void releaseDevice();
  void readEvents();
  void updateStreaming();
  void wake();

  OSLog& log_;
  const LoopbackOutputOptions options_;
  const std::unique_ptr<DeviceCalls> calls_;
  std::shared_ptr<CMIOExtensionStream> stream_;  // set by start()

  std::mutex mutex_;
  LoopbackWriter writer_;  // guarded by mutex_

  // The watch thread.
  UniqueFD inotify_;
  UniqueFD wake_;  // an eventfd: shutdown, or the frame queue let the device go
  int directoryWatch_ = -1;
  int nodeWatch_ = -1;
  bool lookAgain_ = true;
  ReaderCount readers_;
  pipewire::StreamActivity activity_;

  std::atomic<bool> reading_ = false;  // someone reads: the frame queue writes
  std::atomic<bool> stopping_ = false;
  std::thread thread_;

  // The frame queue.
  FrameConverter converter_;
  bool wasShown_ = true;
};

}  // namespace kolv::v4l2loopback
