// Test doubles for the outputs' tests (the composed host, the PipeWire output): a recording log, sources with settable
// answers and a pixel buffer in plain memory. Thread-safety: RecordingLog and
// CountingStreamSource's counters are safe from any thread; the rest is set up before use.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cmio.h"
#include "platform/foundation.h"
#include "platform/media.h"

namespace kolv::output::testing {

struct LogLine {
  OSLogType type;
  std::string message;
};

class RecordingLog final : public OSLog {
 public:
  bool isEnabled(OSLogType) const override { return true; }
  void write(OSLogType type, std::string_view message) override {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back({type, std::string(message)});
    }
    written_.notify_all();
  }
  std::vector<LogLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(std::string_view fragment) const {
    std::lock_guard lock(mutex_);
    return countLocked(fragment);
  }
  // Waits up to `timeout` for `count` lines holding `fragment`: the host logs on its own
  // thread, after the calls a test waits for.
  bool waitForCount(std::string_view fragment, std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return written_.wait_for(lock, timeout, [&] { return countLocked(fragment) >= count; });
  }

 private:
  std::size_t countLocked(std::string_view fragment) const {
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& line) {
      return line.message.find(fragment) != std::string::npos;
    }));
  }

  mutable std::mutex mutex_;
  std::condition_variable written_;
  std::vector<LogLine> lines_;
};

class FakeProviderSource final : public CMIOExtensionProviderSource {
 public:
  CMIOExtensionPropertySet available{CMIOExtensionPropertyProviderManufacturer};
  std::optional<std::string> manufacturer = "Kolv";
  int queries = 0;

  bool connectClient(const CMIOExtensionClient&, NSErrorOut) override { return true; }
  void disconnectClient(const CMIOExtensionClient&) override {}
  std::shared_ptr<CMIOExtensionProviderProperties> providerPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut) override {
    ++queries;
    auto answer = CMIOExtensionProviderProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyProviderManufacturer)) answer->setManufacturer(manufacturer);
    return answer;
  }
  bool setProviderProperties(const CMIOExtensionProviderProperties&, NSErrorOut) override { return true; }
  CMIOExtensionPropertySet availableProperties() const override { return available; }
};

class FakeDeviceSource final : public CMIOExtensionDeviceSource {
 public:
  CMIOExtensionPropertySet available{CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType};
  std::optional<std::string> model = "Kolv Camera";
  std::optional<std::int64_t> transportType = fourCC("virt");

  std::shared_ptr<CMIOExtensionDeviceProperties> devicePropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut) override {
    auto answer = CMIOExtensionDeviceProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyDeviceModel)) answer->setModel(model);
    if (properties.contains(CMIOExtensionPropertyDeviceTransportType)) answer->setTransportType(transportType);
    return answer;
  }
  bool setDeviceProperties(const CMIOExtensionDeviceProperties&, NSErrorOut) override { return true; }
  CMIOExtensionPropertySet availableProperties() const override { return available; }
};

// A stream source with settable formats and properties that counts start and stop requests
// and runs optional hooks on them.
class CountingStreamSource final : public CMIOExtensionStreamSource {
 public:
  CMIOExtensionPropertySet available{CMIOExtensionPropertyStreamActiveFormatIndex,
                                     CMIOExtensionPropertyStreamFrameDuration};
  std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>> streamFormats;
  std::optional<CMTime> frameDuration = CMTimeMake(1, 30);
  std::optional<std::int64_t> activeFormatIndex = 0;
  std::function<void()> onStart;
  std::function<void()> onStop;

  std::shared_ptr<CMIOExtensionStreamProperties> streamPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut) override {
    auto answer = CMIOExtensionStreamProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyStreamFrameDuration)) answer->setFrameDuration(frameDuration);
    if (properties.contains(CMIOExtensionPropertyStreamActiveFormatIndex)) {
      answer->setActiveFormatIndex(activeFormatIndex);
    }
    return answer;
  }
  bool setStreamProperties(const CMIOExtensionStreamProperties&, NSErrorOut) override { return true; }
  bool authorizedToStartStreamForClient(const CMIOExtensionClient&) override { return true; }
  bool startStreamAndReturnError(NSErrorOut) override {
    if (onStart) onStart();
    std::lock_guard lock(mutex_);
    ++starts_;
    changed_.notify_all();
    return true;
  }
  bool stopStreamAndReturnError(NSErrorOut) override {
    if (onStop) onStop();
    std::lock_guard lock(mutex_);
    ++stops_;
    changed_.notify_all();
    return true;
  }
  std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>> formats() const override { return streamFormats; }
  CMIOExtensionPropertySet availableProperties() const override { return available; }

  int starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  int stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }
  // Waits up to `timeout` for the counts to reach the given values.
  bool waitFor(int starts, int stops, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return starts_ >= starts && stops_ >= stops; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int starts_ = 0;
  int stops_ = 0;
};

class MockStreamSource : public CMIOExtensionStreamSource {
 public:
  MOCK_METHOD(std::shared_ptr<CMIOExtensionStreamProperties>, streamPropertiesForProperties,
              (const CMIOExtensionPropertySet&, NSErrorOut), (override));
  MOCK_METHOD(bool, setStreamProperties, (const CMIOExtensionStreamProperties&, NSErrorOut), (override));
  MOCK_METHOD(bool, authorizedToStartStreamForClient, (const CMIOExtensionClient&), (override));
  MOCK_METHOD(bool, startStreamAndReturnError, (NSErrorOut), (override));
  MOCK_METHOD(bool, stopStreamAndReturnError, (NSErrorOut), (override));
  MOCK_METHOD(std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>>, formats, (), (const, override));
  MOCK_METHOD(CMIOExtensionPropertySet, availableProperties, (), (const, override));
};

// A picture in plain memory, every byte settable.
class MemoryPixelBuffer final : public CVPixelBuffer {
 public:
  MemoryPixelBuffer(std::size_t width, std::size_t height, std::size_t bytesPerRow, OSType pixelFormat)
      : width_(width),
        height_(height),
        bytesPerRow_(bytesPerRow),
        pixelFormat_(pixelFormat),
        bytes_(height * bytesPerRow) {}
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t bytesPerRow() const override { return bytesPerRow_; }
  OSType pixelFormatType() const override { return pixelFormat_; }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags) override { return noErr; }
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags) override { return noErr; }
  void* baseAddress() const override { return const_cast<std::byte*>(bytes_.data()); }
  std::vector<std::byte>& bytes() { return bytes_; }

 private:
  std::size_t width_, height_, bytesPerRow_;
  OSType pixelFormat_;
  std::vector<std::byte> bytes_;
};

// A host that accepts every registration and drops every sample.
class AcceptingHost final : public CameraHost {
 public:
  void startService(const std::shared_ptr<CMIOExtensionProvider>&) override {}
  bool addDevice(CMIOExtensionProvider&, const std::shared_ptr<CMIOExtensionDevice>&, NSErrorOut) override {
    return true;
  }
  bool addStream(CMIOExtensionDevice&, const std::shared_ptr<CMIOExtensionStream>&, NSErrorOut) override {
    return true;
  }
  void sendSampleBuffer(CMIOExtensionStream&, const CMSampleBufferRef&, CMIOExtensionStreamDiscontinuityFlags,
                        std::uint64_t) override {}
};

inline std::shared_ptr<const CMIOExtensionStreamFormat> videoFormat(OSType pixelFormat, std::int32_t width,
                                                                    std::int32_t height, CMTime minDuration,
                                                                    CMTime maxDuration) {
  auto description = std::make_shared<CMFormatDescription>();
  description->mediaSubType = pixelFormat;
  description->dimensions = {width, height};
  return CMIOExtensionStreamFormat::streamFormatWithFormatDescription(description, maxDuration, minDuration,
                                                                      std::nullopt);
}

}  // namespace kolv::output::testing
