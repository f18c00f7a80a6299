// The device's and the stream's property answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/kolv_camera_device_source.h"
#include "stream/kolv_camera_stream_source.h"
#include "support/test_platform.h"

namespace kolv {
namespace {

using ::testing::IsEmpty;

class PropertiesTest : public ::testing::Test {
 protected:
  test::TestPlatform t;
  std::shared_ptr<kolvCameraDeviceSource> device = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Name");
  kolvCameraStreamSource& stream = *device->streamSource();
  std::optional<NSError> error;
};

TEST_F(PropertiesTest, DeviceOffersModelAndTransportType) {
  EXPECT_EQ(device->availableProperties(),
            (CMIOExtensionPropertySet{CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType}));
  device->startStreaming();
  EXPECT_EQ(device->availableProperties().size(), 2u);
}

TEST_F(PropertiesTest, DeviceAnswersEachRequestedKeyAndNothingElse) {
  auto model = device->devicePropertiesForProperties({CMIOExtensionPropertyDeviceModel}, &error);
  EXPECT_EQ(model->model(), "Kolv Camera");  // a constant, not the device's name
  EXPECT_FALSE(model->transportType());

  auto transport = device->devicePropertiesForProperties({CMIOExtensionPropertyDeviceTransportType}, &error);
  EXPECT_EQ(transport->transportType(), 1986622068);
  EXPECT_FALSE(transport->model());

  auto both = device->devicePropertiesForProperties(
      {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType,
       CMIOExtensionPropertyStreamFrameDuration, "not a key"},
      &error);
  EXPECT_EQ(both->propertiesDictionary().size(), 2u);

  for (const CMIOExtensionPropertySet& request :
       {CMIOExtensionPropertySet{}, CMIOExtensionPropertySet{CMIOExtensionPropertyProviderManufacturer}}) {
    EXPECT_THAT(device->devicePropertiesForProperties(request, &error)->propertiesDictionary(), IsEmpty());
  }
  EXPECT_FALSE(error);
}

TEST_F(PropertiesTest, DeviceSetChangesNothing) {
  auto change = CMIOExtensionDeviceProperties::initWithDictionary({});
  change->setModel("Other");
  change->setTransportType(1);
  EXPECT_TRUE(device->setDeviceProperties(*change, &error));
  EXPECT_FALSE(error);
  auto answer = device->devicePropertiesForProperties(
      {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType}, &error);
  EXPECT_EQ(answer->model(), "Kolv Camera");
  EXPECT_EQ(answer->transportType(), 0x76697274);
}

TEST_F(PropertiesTest, StreamOffersActiveFormatIndexAndFrameDuration) {
  EXPECT_EQ(stream.availableProperties(), (CMIOExtensionPropertySet{CMIOExtensionPropertyStreamActiveFormatIndex,
                                                                    CMIOExtensionPropertyStreamFrameDuration}));
  EXPECT_THAT(stream.streamPropertiesForProperties({}, &error)->propertiesDictionary(), IsEmpty());
  auto onlyIndex = stream.streamPropertiesForProperties({CMIOExtensionPropertyStreamActiveFormatIndex, "x"}, &error);
  EXPECT_EQ(onlyIndex->activeFormatIndex(), 0);
  EXPECT_FALSE(onlyIndex->frameDuration());
  EXPECT_FALSE(error);
}

TEST_F(PropertiesTest, StreamAlwaysAnswersIndexZeroAtThirtyFramesASecond) {
  auto change = CMIOExtensionStreamProperties::initWithDictionary({});
  change->setActiveFormatIndex(3);
  EXPECT_TRUE(stream.setStreamProperties(*change, &error));
  EXPECT_EQ(stream.activeFormatIndex(), 3);  // stored unchecked, and consulted by nothing

  auto answer = stream.streamPropertiesForProperties(
      {CMIOExtensionPropertyStreamActiveFormatIndex, CMIOExtensionPropertyStreamFrameDuration}, &error);
  EXPECT_EQ(answer->activeFormatIndex(), 0);
  EXPECT_EQ(answer->frameDuration(), CMTimeMake(1, 30));
  EXPECT_EQ(answer->frameDuration()->flags, kCMTimeFlags_Valid);
  EXPECT_EQ(answer->frameDuration()->epoch, 0);
  EXPECT_FALSE(error);
}

TEST_F(PropertiesTest, StreamIgnoresAFrameDurationItIsGiven) {
  auto change = CMIOExtensionStreamProperties::initWithDictionary({});
  change->setFrameDuration(CMTimeMake(1, 60));
  EXPECT_TRUE(stream.setStreamProperties(*change, &error));
  EXPECT_EQ(stream.activeFormatIndex(), 0);
  EXPECT_EQ(stream.streamPropertiesForProperties({CMIOExtensionPropertyStreamFrameDuration}, &error)->frameDuration(),
            CMTimeMake(1, 30));

  // The frame timer keeps its own interval too.
  device->startStreaming();
  ASSERT_EQ(t.dispatch.timers().size(), 1u);
  EXPECT_DOUBLE_EQ(t.dispatch.timers()[0]->interval(), 1.0 / 30.0);
}

TEST_F(PropertiesTest, EveryClientIsAuthorized) {
  EXPECT_TRUE(stream.authorizedToStartStreamForClient({}));
  EXPECT_TRUE(stream.authorizedToStartStreamForClient({NSUUID::UUID(), -1, ""}));
}

TEST(PropertyValuesTest, UnsetIsDistinctFromEveryValue) {
  auto properties = CMIOExtensionStreamProperties::initWithDictionary({});
  EXPECT_FALSE(properties->activeFormatIndex());
  properties->setActiveFormatIndex(0);
  EXPECT_EQ(properties->activeFormatIndex(), 0);
  properties->setActiveFormatIndex(std::nullopt);
  EXPECT_FALSE(properties->activeFormatIndex());
  EXPECT_THAT(properties->propertiesDictionary(), IsEmpty());
}

}  // namespace
}  // namespace kolv
