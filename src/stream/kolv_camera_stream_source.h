// The camera's one video stream: advertises its format, answers stream properties and
// turns the host's start and stop requests into the device source's streaming control.
// Thread: built on the main thread; the host calls it on threads of its choosing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kolv {

inline constexpr char kKolvCameraErrorDomain[] = "kolvCamera";

class kolvCameraStreamSource final : public CMIOExtensionStreamSource,
                                     public std::enable_shared_from_this<kolvCameraStreamSource> {
 public:
  static std::shared_ptr<kolvCameraStreamSource> initWithLocalizedName(
      const Platform& platform, std::string localizedName, NSUUID streamID,
      std::shared_ptr<const CMIOExtensionStreamFormat> streamFormat, std::shared_ptr<CMIOExtensionDevice> device);

  std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>> formats() const override;
  CMIOExtensionPropertySet availableProperties() const override;
  std::shared_ptr<CMIOExtensionStreamProperties> streamPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) override;
  bool setStreamProperties(const CMIOExtensionStreamProperties& streamProperties, NSErrorOut error) override;
  bool authorizedToStartStreamForClient(const CMIOExtensionClient& client) override;
  bool startStreamAndReturnError(NSErrorOut error) override;
  bool stopStreamAndReturnError(NSErrorOut error) override;

  const std::shared_ptr<CMIOExtensionStream>& stream() const { return stream_; }
  const std::shared_ptr<CMIOExtensionDevice>& device() const { return device_; }
  // The index last set by the host; consulted by nothing else.
  std::int64_t activeFormatIndex() const { return activeFormatIndex_.load(std::memory_order_relaxed); }

 private:
  kolvCameraStreamSource(std::shared_ptr<const CMIOExtensionStreamFormat> streamFormat,
                         std::shared_ptr<CMIOExtensionDevice> device);

  std::shared_ptr<CMIOExtensionStream> stream_;
  const std::shared_ptr<CMIOExtensionDevice> device_;
  const std::shared_ptr<const CMIOExtensionStreamFormat> _streamFormat;
  std::atomic<std::int64_t> activeFormatIndex_{0};  // host threads may set it concurrently
};

}  // namespace kolv
