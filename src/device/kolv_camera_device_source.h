// The camera's one device: owns the device object, the video format, the pixel-buffer
// pool, the timer queue and frame timer, the shared frame reader and the stream source.
// Thread: built on the main thread; property calls from any host thread; start and stop
// requests from host threads, serialised by _streamingMutex; deliverFrame on _timerQueue.
//
// Streaming state:
//
//   Idle (count 0, no timer) --start--> Streaming(1) --start--> Streaming(n+1)
//        ^                                   |  ^                    |
//        +--------------stop-----------------+  +--------stop--------+
//
// The first start creates and resumes the frame timer; the stop that brings the count
// back to 0 cancels and releases it. Without a pool, start requests are ignored.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "shared/shared_frame_reader.h"

namespace kolv {

class kolvCameraStreamSource;

inline constexpr char kDeviceModel[] = "Kolv Camera";
inline constexpr char kStreamLocalizedName[] = "Kolv Camera Video";
inline constexpr char kTimerQueueLabel[] = "com.kolv.camera.extension.cameraTimer";
inline constexpr std::int32_t kFrameWidth = 1280;
inline constexpr std::int32_t kFrameHeight = 720;
inline constexpr std::int64_t kTransportTypeVirtual = 0x76697274;  // 'virt'
inline constexpr std::int64_t kPoolAllocationThreshold = 5;
inline constexpr CMTime kFrameDuration = CMTimeMake(1, 30);

class kolvCameraDeviceSource final : public CMIOExtensionDeviceSource,
                                     public std::enable_shared_from_this<kolvCameraDeviceSource> {
 public:
  static std::shared_ptr<kolvCameraDeviceSource> initWithLocalizedName(const Platform& platform,
                                                                       std::string localizedName);

  CMIOExtensionPropertySet availableProperties() const override;
  std::shared_ptr<CMIOExtensionDeviceProperties> devicePropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) override;
  bool setDeviceProperties(const CMIOExtensionDeviceProperties& deviceProperties, NSErrorOut error) override;

  // Counts one start request; the first one starts the frame timer.
  void startStreaming();
  // Counts one stop request; the one that brings the count to 0 stops the frame timer.
  void stopStreaming();
  // One frame timer event: sends the companion's new picture or a grey pool buffer.
  void deliverFrame();

  const std::shared_ptr<CMIOExtensionDevice>& device() const { return device_; }
  SharedFrameReader& frameReader() const { return *frameReader_; }
  const std::shared_ptr<kolvCameraStreamSource>& streamSource() const { return _streamSource; }
  const DispatchQueueRef& timerQueue() const { return _timerQueue; }
  const CMVideoFormatDescriptionRef& videoDescription() const { return _videoDescription; }
  const CVPixelBufferPoolRef& bufferPool() const { return _bufferPool; }
  const CFDictionaryRef& bufferAuxAttributes() const { return _bufferAuxAttributes; }
  std::uint32_t streamingCounter() const;
  DispatchSourceTimerRef timer() const;

 private:
  explicit kolvCameraDeviceSource(const Platform& platform);
  void init(std::string localizedName);

  const Platform& platform_;
  std::shared_ptr<CMIOExtensionDevice> device_;
  std::shared_ptr<kolvCameraStreamSource> _streamSource;
  mutable std::mutex _streamingMutex;
  std::uint32_t _streamingCounter = 0;  // guarded by _streamingMutex
  DispatchSourceTimerRef _timer;        // guarded by _streamingMutex
  const DispatchQueueRef _timerQueue;
  CMVideoFormatDescriptionRef _videoDescription;
  CVPixelBufferPoolRef _bufferPool;
  CFDictionaryRef _bufferAuxAttributes;
  const std::unique_ptr<SharedFrameReader> frameReader_;
};

}  // namespace kolv
