// The camera's V4L2 output: holds a v4l2loopback device as its writer (LoopbackWriter) so that
// V4L2 applications list "Kolv Camera". Other processes holding the device open are its
// consumers: the first one to open it and the last one to close it are reported to the camera
// host, which sends frames while there are any; each is written into the device, converted once.
// With no reader it costs nothing but a sleeping thread.
// The device may be missing, go away, be held by another writer or refuse the format: one log
// line each, the PipeWire output is not affected, and the device is taken again when it is back.
// Thread-safety: start() and shutdown() on the main thread; send() on the camera's frame queue;
// the device is watched on the output's own thread ("kolv-v4l2"), which reports the consumers,
// never while holding the mutex under which it shares the writer with send().
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "handoff/unique_fd.h"
#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/output/camera_output.h"
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

class LoopbackOutput final : public output::CameraOutput {
 public:
  explicit LoopbackOutput(OSLog& log, LoopbackOutputOptions options = {},
                          std::unique_ptr<DeviceCalls> calls = std::make_unique<KernelDeviceCalls>());
  ~LoopbackOutput() override;
  LoopbackOutput(const LoopbackOutput&) = delete;
  LoopbackOutput& operator=(const LoopbackOutput&) = delete;

  std::string_view name() const override { return "V4L2 loopback"; }
  // Writes the provider's first stream; starts watching for the device.
  void start(const std::shared_ptr<CMIOExtensionProvider>& provider, output::OutputListener& listener) override;
  // Frame queue: writes the frame into the device while it is held.
  void send(const CMIOExtensionStream& stream, output::OutputFrame& frame) override;
  // Reports its readers lost, lets the device go and stops the thread. Idempotent; the
  // destructor calls it.
  void shutdown() override;

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
  output::OutputListener* listener_ = nullptr;   // set by start()

  std::mutex mutex_;
  LoopbackWriter writer_;  // guarded by mutex_

  // The watch thread.
  UniqueFD inotify_;
  UniqueFD wake_;  // an eventfd: shutdown, or the frame queue let the device go
  int directoryWatch_ = -1;
  int nodeWatch_ = -1;
  bool lookAgain_ = true;
  ReaderCount readers_;
  bool reported_ = false;  // the host was told that the device has readers

  std::atomic<bool> stopping_ = false;
  std::thread thread_;

  // The frame queue.
  FrameConverter converter_;
};

}  // namespace kolv::v4l2loopback
