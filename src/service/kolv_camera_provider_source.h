// The camera's top-level object: creates the provider and the one device, registers the
// device and answers the host's provider-level calls.
// Thread: built on the main thread; the host calls it on queues of its choosing.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kolv {

class kolvCameraDeviceSource;

inline constexpr char kDeviceLocalizedName[] = "Kolv Camera";
inline constexpr char kManufacturer[] = "Kolv";

class kolvCameraProviderSource final : public CMIOExtensionProviderSource,
                                       public std::enable_shared_from_this<kolvCameraProviderSource> {
 public:
  static std::shared_ptr<kolvCameraProviderSource> initWithClientQueue(const Platform& platform,
                                                                       DispatchQueueRef clientQueue);

  bool connectClient(const CMIOExtensionClient& client, NSErrorOut error) override;
  void disconnectClient(const CMIOExtensionClient& client) override;
  std::shared_ptr<CMIOExtensionProviderProperties> providerPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) override;
  bool setProviderProperties(const CMIOExtensionProviderProperties& providerProperties, NSErrorOut error) override;
  CMIOExtensionPropertySet availableProperties() const override;

  const std::shared_ptr<CMIOExtensionProvider>& provider() const { return provider_; }
  const std::shared_ptr<kolvCameraDeviceSource>& deviceSource() const { return deviceSource_; }

 private:
  kolvCameraProviderSource() = default;

  std::shared_ptr<CMIOExtensionProvider> provider_;
  std::shared_ptr<kolvCameraDeviceSource> deviceSource_;
};

}  // namespace kolv
