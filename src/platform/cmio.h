// The camera extension host interface: the objects the camera creates and registers
// (provider, device, stream, stream format, property values), the three source roles the
// host calls back, and CameraHost, the host that puts them in front of applications.
// Thread-safety: objects are built and registered on the main thread before the service
// starts; afterwards they are read-only and safe from any thread. sendSampleBuffer may be
// called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/dispatch.h"
#include "platform/media.h"
#include "platform/types.h"

namespace kolv {

class CMIOExtensionProvider;
class CMIOExtensionDevice;
class CMIOExtensionStream;

// ---- Properties ------------------------------------------------------------------------

using CMIOExtensionProperty = std::string;
using CMIOExtensionPropertySet = std::set<CMIOExtensionProperty, std::less<>>;

inline const CMIOExtensionProperty CMIOExtensionPropertyProviderManufacturer = "4cc_cmnf_glob_0000";
inline const CMIOExtensionProperty CMIOExtensionPropertyDeviceModel = "4cc_cmod_glob_0000";
inline const CMIOExtensionProperty CMIOExtensionPropertyDeviceTransportType = "4cc_tran_glob_0000";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamActiveFormatIndex = "4cc_form_glob_0000";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamFrameDuration = "4cc_fdur_glob_0000";

using CMIOExtensionPropertyValue = std::variant<std::string, std::int64_t, CMTime>;

struct CMIOExtensionPropertyState {
  CMIOExtensionPropertyValue value;
  friend bool operator==(const CMIOExtensionPropertyState&, const CMIOExtensionPropertyState&) = default;
};

using CMIOExtensionPropertyDictionary = std::map<CMIOExtensionProperty, CMIOExtensionPropertyState, std::less<>>;

// Property values handed to or from the host. A key that was never set is absent, which
// is distinct from every value.
class CMIOExtensionProperties {
 public:
  explicit CMIOExtensionProperties(CMIOExtensionPropertyDictionary dictionary) : dictionary_(std::move(dictionary)) {}
  const CMIOExtensionPropertyDictionary& propertiesDictionary() const { return dictionary_; }

 protected:
  const CMIOExtensionPropertyValue* value(const CMIOExtensionProperty& key) const;
  void setValue(const CMIOExtensionProperty& key, std::optional<CMIOExtensionPropertyValue> value);
  std::optional<std::string> stringValue(const CMIOExtensionProperty& key) const;
  std::optional<std::int64_t> integerValue(const CMIOExtensionProperty& key) const;
  std::optional<CMTime> timeValue(const CMIOExtensionProperty& key) const;

 private:
  CMIOExtensionPropertyDictionary dictionary_;
};

class CMIOExtensionProviderProperties : public CMIOExtensionProperties {
 public:
  static std::shared_ptr<CMIOExtensionProviderProperties> initWithDictionary(CMIOExtensionPropertyDictionary d);
  using CMIOExtensionProperties::CMIOExtensionProperties;
  void setManufacturer(std::optional<std::string> manufacturer);
  std::optional<std::string> manufacturer() const;
};

class CMIOExtensionDeviceProperties : public CMIOExtensionProperties {
 public:
  static std::shared_ptr<CMIOExtensionDeviceProperties> initWithDictionary(CMIOExtensionPropertyDictionary d);
  using CMIOExtensionProperties::CMIOExtensionProperties;
  void setModel(std::optional<std::string> model);
  std::optional<std::string> model() const;
  void setTransportType(std::optional<std::int64_t> transportType);
  std::optional<std::int64_t> transportType() const;
};

class CMIOExtensionStreamProperties : public CMIOExtensionProperties {
 public:
  static std::shared_ptr<CMIOExtensionStreamProperties> initWithDictionary(CMIOExtensionPropertyDictionary d);
  using CMIOExtensionProperties::CMIOExtensionProperties;
  void setActiveFormatIndex(std::optional<std::int64_t> index);
  std::optional<std::int64_t> activeFormatIndex() const;
  void setFrameDuration(std::optional<CMTime> duration);
  std::optional<CMTime> frameDuration() const;
};

// ---- Source roles the host calls -------------------------------------------------------

struct CMIOExtensionClient {
  NSUUID clientID;
  std::int32_t pid = 0;
  std::string signingID;
};

class CMIOExtensionProviderSource {
 public:
  virtual ~CMIOExtensionProviderSource() = default;
  virtual bool connectClient(const CMIOExtensionClient& client, NSErrorOut error) = 0;
  virtual void disconnectClient(const CMIOExtensionClient& client) = 0;
  virtual std::shared_ptr<CMIOExtensionProviderProperties> providerPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) = 0;
  virtual bool setProviderProperties(const CMIOExtensionProviderProperties& providerProperties,
                                     NSErrorOut error) = 0;
  virtual CMIOExtensionPropertySet availableProperties() const = 0;
};

class CMIOExtensionDeviceSource {
 public:
  virtual ~CMIOExtensionDeviceSource() = default;
  virtual std::shared_ptr<CMIOExtensionDeviceProperties> devicePropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) = 0;
  virtual bool setDeviceProperties(const CMIOExtensionDeviceProperties& deviceProperties, NSErrorOut error) = 0;
  virtual CMIOExtensionPropertySet availableProperties() const = 0;
};

class CMIOExtensionStreamFormat;

class CMIOExtensionStreamSource {
 public:
  virtual ~CMIOExtensionStreamSource() = default;
  virtual std::shared_ptr<CMIOExtensionStreamProperties> streamPropertiesForProperties(
      const CMIOExtensionPropertySet& properties, NSErrorOut error) = 0;
  virtual bool setStreamProperties(const CMIOExtensionStreamProperties& streamProperties, NSErrorOut error) = 0;
  virtual bool authorizedToStartStreamForClient(const CMIOExtensionClient& client) = 0;
  virtual bool startStreamAndReturnError(NSErrorOut error) = 0;
  virtual bool stopStreamAndReturnError(NSErrorOut error) = 0;
  virtual std::vector<std::shared_ptr<const CMIOExtensionStreamFormat>> formats() const = 0;
  virtual CMIOExtensionPropertySet availableProperties() const = 0;
};

// ---- The host --------------------------------------------------------------------------

using CMIOExtensionStreamDiscontinuityFlags = std::uint32_t;
inline constexpr CMIOExtensionStreamDiscontinuityFlags CMIOExtensionStreamDiscontinuityFlagNone = 0;

// What makes the camera visible to applications. The CMIO objects forward to it.
class CameraHost {
 public:
  virtual ~CameraHost() = default;
  // Publishes the provider's registered devices and streams. Returns once the service runs.
  virtual void startService(const std::shared_ptr<CMIOExtensionProvider>& provider) = 0;
  // Accepts or refuses a registration; on refusal fills `error` (if given) and returns false.
  virtual bool addDevice(CMIOExtensionProvider& provider, const std::shared_ptr<CMIOExtensionDevice>& device,
                         NSErrorOut error) = 0;
  virtual bool addStream(CMIOExtensionDevice& device, const std::shared_ptr<CMIOExtensionStream>& stream,
                         NSErrorOut error) = 0;
  // Forwards one sample to the stream's clients. May be called from any thread.
  virtual void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                                CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                std::uint64_t hostTimeInNanoseconds) = 0;
};

// ---- Objects the camera creates --------------------------------------------------------

class CMIOExtensionStreamFormat {
 public:
  static std::shared_ptr<const CMIOExtensionStreamFormat> streamFormatWithFormatDescription(
      CMFormatDescriptionRef formatDescription, CMTime maxFrameDuration, CMTime minFrameDuration,
      std::optional<std::vector<CMTime>> validFrameDurations);

  const CMFormatDescriptionRef& formatDescription() const { return formatDescription_; }
  CMTime maxFrameDuration() const { return maxFrameDuration_; }
  CMTime minFrameDuration() const { return minFrameDuration_; }
  const std::optional<std::vector<CMTime>>& validFrameDurations() const { return validFrameDurations_; }

 private:
  CMFormatDescriptionRef formatDescription_;
  CMTime maxFrameDuration_;
  CMTime minFrameDuration_;
  std::optional<std::vector<CMTime>> validFrameDurations_;
};

enum class CMIOExtensionStreamDirection : std::int64_t { source = 0, sink = 1 };
enum class CMIOExtensionStreamClockType : std::int64_t { hostTime = 0, linkedCoreAudioDeviceUID = 1, custom = 2 };

class CMIOExtensionStream {
 public:
  // `source` is held weakly: its owner keeps the stream, not the other way round.
  static std::shared_ptr<CMIOExtensionStream> initWithLocalizedName(
      CameraHost& host, std::string localizedName, NSUUID streamID, CMIOExtensionStreamDirection direction,
      CMIOExtensionStreamClockType clockType, std::weak_ptr<CMIOExtensionStreamSource> source);

  const std::string& localizedName() const { return localizedName_; }
  const NSUUID& streamID() const { return streamID_; }
  CMIOExtensionStreamDirection direction() const { return direction_; }
  CMIOExtensionStreamClockType clockType() const { return clockType_; }
  std::shared_ptr<CMIOExtensionStreamSource> source() const { return source_.lock(); }

  void sendSampleBuffer(const CMSampleBufferRef& sampleBuffer, CMIOExtensionStreamDiscontinuityFlags discontinuity,
                        std::uint64_t hostTimeInNanoseconds);

 private:
  CMIOExtensionStream(CameraHost& host) : host_(host) {}
  CameraHost& host_;
  std::string localizedName_;
  NSUUID streamID_;
  CMIOExtensionStreamDirection direction_ = CMIOExtensionStreamDirection::source;
  CMIOExtensionStreamClockType clockType_ = CMIOExtensionStreamClockType::hostTime;
  std::weak_ptr<CMIOExtensionStreamSource> source_;
};

class CMIOExtensionDevice {
 public:
  static std::shared_ptr<CMIOExtensionDevice> initWithLocalizedName(CameraHost& host, std::string localizedName,
                                                                    NSUUID deviceID,
                                                                    std::optional<std::string> legacyDeviceID,
                                                                    std::weak_ptr<CMIOExtensionDeviceSource> source);

  const std::string& localizedName() const { return localizedName_; }
  const NSUUID& deviceID() const { return deviceID_; }
  const std::optional<std::string>& legacyDeviceID() const { return legacyDeviceID_; }
  // The source given at creation, while it lives.
  std::shared_ptr<CMIOExtensionDeviceSource> source() const { return source_.lock(); }

  bool addStream(const std::shared_ptr<CMIOExtensionStream>& stream, NSErrorOut error);
  // Streams the host accepted, in the order they were added.
  std::vector<std::shared_ptr<CMIOExtensionStream>> streams() const;

 private:
  CMIOExtensionDevice(CameraHost& host) : host_(host) {}
  CameraHost& host_;
  std::string localizedName_;
  NSUUID deviceID_;
  std::optional<std::string> legacyDeviceID_;
  std::weak_ptr<CMIOExtensionDeviceSource> source_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<CMIOExtensionStream>> streams_;  // guarded by mutex_
};

class CMIOExtensionProvider {
 public:
  static std::shared_ptr<CMIOExtensionProvider> initWithSource(CameraHost& host,
                                                               std::weak_ptr<CMIOExtensionProviderSource> source,
                                                               DispatchQueueRef clientQueue);
  static void startServiceWithProvider(const std::shared_ptr<CMIOExtensionProvider>& provider);

  std::shared_ptr<CMIOExtensionProviderSource> source() const { return source_.lock(); }
  const DispatchQueueRef& clientQueue() const { return clientQueue_; }

  bool addDevice(const std::shared_ptr<CMIOExtensionDevice>& device, NSErrorOut error);
  // Devices the host accepted, in the order they were added.
  std::vector<std::shared_ptr<CMIOExtensionDevice>> devices() const;

 private:
  CMIOExtensionProvider(CameraHost& host) : host_(host) {}
  CameraHost& host_;
  std::weak_ptr<CMIOExtensionProviderSource> source_;
  DispatchQueueRef clientQueue_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<CMIOExtensionDevice>> devices_;  // guarded by mutex_
};

}  // namespace kolv
