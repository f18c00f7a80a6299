// Start-up: the process entry, the provider source and the device source's construction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/kolv_camera_device_source.h"
#include "service/extension_main.h"
#include "service/kolv_camera_provider_source.h"
#include "stream/kolv_camera_stream_source.h"
#include "support/test_platform.h"

namespace kolv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class StartupTest : public ::testing::Test {
 protected:
  test::TestPlatform t;
};

TEST_F(StartupTest, ProcessEntryBuildsAndRegistersEverythingBeforeStartingTheService) {
  std::vector<std::string> callsWhenRunLoopRan;
  t.runLoop.onRun = [&] { callsWhenRunLoopRan = t.host.calls; };

  EXPECT_EQ(kolvCameraExtensionMain(t.platform), 0);

  EXPECT_THAT(callsWhenRunLoopRan, ElementsAre("addStream", "addDevice", "startService"));
  EXPECT_EQ(t.runLoop.runs, 1);
  ASSERT_EQ(t.host.startedProviders.size(), 1u);
  const auto& provider = t.host.startedProviders[0];
  EXPECT_EQ(provider->clientQueue(), nullptr);
  ASSERT_EQ(provider->devices().size(), 1u);
  EXPECT_EQ(provider->devices()[0]->localizedName(), "Kolv Camera");
  ASSERT_EQ(provider->devices()[0]->streams().size(), 1u);
  EXPECT_EQ(provider->devices()[0]->streams()[0]->localizedName(), "Kolv Camera Video");
  EXPECT_THAT(t.log.lines(), IsEmpty());
}

TEST_F(StartupTest, RefusedDeviceIsLoggedOnceAndTheServiceStillStarts) {
  t.host.refuseDevice = true;

  EXPECT_EQ(kolvCameraExtensionMain(t.platform), 0);

  ASSERT_EQ(t.log.lines().size(), 1u);
  EXPECT_EQ(t.log.lines()[0].type, OSLogType::error);
  EXPECT_EQ(t.log.lines()[0].message, "Failed to add device: device refused");
  EXPECT_EQ(t.host.startedProviders.size(), 1u);
  EXPECT_EQ(t.runLoop.runs, 1);
}

TEST_F(StartupTest, RefusedStreamIsLoggedOnceAndTheDeviceIsStillComplete) {
  t.host.refuseStream = true;

  auto providerSource = kolvCameraProviderSource::initWithClientQueue(t.platform, nullptr);

  ASSERT_EQ(t.log.lines().size(), 1u);
  EXPECT_EQ(t.log.lines()[0].type, OSLogType::error);
  EXPECT_EQ(t.log.lines()[0].message, "Failed to add stream: stream refused");
  ASSERT_NE(providerSource->deviceSource(), nullptr);
  EXPECT_NE(providerSource->deviceSource()->device(), nullptr);
  ASSERT_NE(providerSource->deviceSource()->streamSource(), nullptr);
  EXPECT_NE(providerSource->deviceSource()->streamSource()->stream(), nullptr);
  EXPECT_THAT(t.host.calls, ElementsAre("addStream", "addDevice"));
}

TEST_F(StartupTest, NothingIsFormattedWhenErrorLoggingIsDisabled) {
  t.log.enabled = false;
  t.host.refuseDevice = true;
  t.host.refuseStream = true;
  kolvCameraProviderSource::initWithClientQueue(t.platform, nullptr);
  EXPECT_THAT(t.log.lines(), IsEmpty());
}

TEST_F(StartupTest, ProviderAnswersOnlyTheManufacturer) {
  auto source = kolvCameraProviderSource::initWithClientQueue(t.platform, nullptr);

  EXPECT_EQ(source->availableProperties(), CMIOExtensionPropertySet{CMIOExtensionPropertyProviderManufacturer});

  std::optional<NSError> error;
  auto answer = source->providerPropertiesForProperties(
      {CMIOExtensionPropertyProviderManufacturer, CMIOExtensionPropertyDeviceModel, "unknown"}, &error);
  EXPECT_EQ(answer->manufacturer(), "Kolv");
  EXPECT_EQ(answer->propertiesDictionary().size(), 1u);
  EXPECT_FALSE(error);

  for (const CMIOExtensionPropertySet& request :
       {CMIOExtensionPropertySet{}, CMIOExtensionPropertySet{CMIOExtensionPropertyStreamFrameDuration}}) {
    auto empty = source->providerPropertiesForProperties(request, &error);
    EXPECT_THAT(empty->propertiesDictionary(), IsEmpty());
    EXPECT_FALSE(error);
  }

  auto changed = CMIOExtensionProviderProperties::initWithDictionary({});
  changed->setManufacturer("Someone else");
  EXPECT_TRUE(source->setProviderProperties(*changed, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(source->providerPropertiesForProperties({CMIOExtensionPropertyProviderManufacturer}, &error)->manufacturer(),
            "Kolv");
}

TEST_F(StartupTest, EveryClientMayConnectAndDisconnectInAnyOrder) {
  auto source = kolvCameraProviderSource::initWithClientQueue(t.platform, nullptr);
  const CMIOExtensionClient client{NSUUID::UUID(), 42, "app"};
  std::optional<NSError> error;
  source->disconnectClient(client);
  EXPECT_TRUE(source->connectClient(client, &error));
  EXPECT_TRUE(source->connectClient(client, &error));
  source->disconnectClient(client);
  EXPECT_FALSE(error);
}

TEST_F(StartupTest, DeviceIsBuiltWithItsFormatPoolAndQueue) {
  auto device = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Any Name");

  EXPECT_EQ(device->device()->localizedName(), "Any Name");
  EXPECT_FALSE(device->device()->legacyDeviceID());
  EXPECT_EQ(device->device()->source(), device);
  EXPECT_EQ(device->streamingCounter(), 0u);
  EXPECT_EQ(device->timer(), nullptr);
  EXPECT_TRUE(t.dispatch.timers().empty());

  ASSERT_NE(device->videoDescription(), nullptr);
  EXPECT_EQ(CMFormatDescriptionGetMediaSubType(device->videoDescription()), fourCC("BGRA"));
  EXPECT_EQ(CMFormatDescriptionGetMediaSubType(device->videoDescription()), 0x42475241u);
  EXPECT_EQ(CMVideoFormatDescriptionGetDimensions(device->videoDescription()), (CMVideoDimensions{1280, 720}));

  ASSERT_EQ(t.dispatch.queues().size(), 1u);
  EXPECT_EQ(device->timerQueue(), t.dispatch.queues()[0]);
  EXPECT_THAT(device->timerQueue()->label(), ::testing::EndsWith(".cameraTimer"));
  EXPECT_EQ(t.dispatch.queues()[0]->qos(), DispatchQoS::userInteractive);

  // The pool is made from exactly four attributes, in order, the format taken from the description.
  ASSERT_NE(t.media.poolAttributes, nullptr);
  const auto& entries = t.media.poolAttributes->entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].first, kCVPixelBufferWidthKey);
  EXPECT_EQ(std::get<std::int32_t>(entries[0].second), 1280);
  EXPECT_EQ(entries[1].first, kCVPixelBufferHeightKey);
  EXPECT_EQ(std::get<std::int32_t>(entries[1].second), 720);
  EXPECT_EQ(entries[2].first, kCVPixelBufferPixelFormatTypeKey);
  EXPECT_EQ(std::get<std::int32_t>(entries[2].second), 0x42475241);
  EXPECT_EQ(entries[3].first, kCVPixelBufferIOSurfacePropertiesKey);
  EXPECT_EQ(std::get<CFDictionaryRef>(entries[3].second)->count(), 0u);
  EXPECT_EQ(device->bufferPool(), t.media.pool);

  const auto& aux = device->bufferAuxAttributes()->entries();
  ASSERT_EQ(aux.size(), 1u);
  EXPECT_EQ(aux[0].first, kCVPixelBufferPoolAllocationThresholdKey);
  EXPECT_EQ(std::get<std::int64_t>(aux[0].second), 5);
}

TEST_F(StartupTest, StreamHasOneFormatAtThirtyFramesASecond) {
  auto device = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Kolv Camera");
  const auto& stream = device->streamSource()->stream();
  EXPECT_EQ(stream->localizedName(), "Kolv Camera Video");
  EXPECT_EQ(stream->direction(), CMIOExtensionStreamDirection::source);
  EXPECT_EQ(stream->clockType(), CMIOExtensionStreamClockType::hostTime);
  EXPECT_EQ(stream->source(), device->streamSource());

  const auto formats = device->streamSource()->formats();
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0]->formatDescription(), device->videoDescription());
  EXPECT_EQ(formats[0]->minFrameDuration(), CMTimeMake(1, 30));
  EXPECT_EQ(formats[0]->maxFrameDuration(), CMTimeMake(1, 30));
  EXPECT_FALSE(formats[0]->validFrameDurations());
}

TEST_F(StartupTest, EveryConstructionHasFreshDeviceAndStreamIDs) {
  auto first = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Kolv Camera");
  auto second = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Kolv Camera");
  EXPECT_NE(first->device()->deviceID(), second->device()->deviceID());
  EXPECT_NE(first->streamSource()->stream()->streamID(), second->streamSource()->stream()->streamID());
  EXPECT_NE(first->device()->deviceID(), first->streamSource()->stream()->streamID());
}

TEST_F(StartupTest, RefusedPoolLeavesNoPoolAndNoMessage) {
  t.media.refusePool = true;
  auto device = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Kolv Camera");
  EXPECT_EQ(device->bufferPool(), nullptr);
  EXPECT_NE(device->device(), nullptr);
  EXPECT_THAT(t.log.lines(), IsEmpty());
}

TEST_F(StartupTest, NoFormatDescriptionStopsTheProcess) {
  EXPECT_DEATH(
      {
        t.media.refuseFormatDescription = true;
        kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Kolv Camera");
      },
      "");
}

}  // namespace
}  // namespace kolv
