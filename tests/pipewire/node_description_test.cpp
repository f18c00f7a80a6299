#include "platform/pipewire/node_description.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "support/output_fakes.h"

namespace kolv::pipewire {
namespace {

using output::testing::AcceptingHost;
using output::testing::CountingStreamSource;
using output::testing::FakeDeviceSource;
using output::testing::FakeProviderSource;
using output::testing::RecordingLog;
using output::testing::videoFormat;

constexpr CMTime kThirtieth = CMTimeMake(1, 30);

// A camera built the way the camera builds itself, with sources whose answers each test sets.
class NodeDescriptionTest : public ::testing::Test {
 protected:
  NodeDescriptionTest() {
    streamSource->streamFormats = {videoFormat(kCVPixelFormatType_32BGRA, 1280, 720, kThirtieth, kThirtieth)};
  }

  NodeDescription describe(std::string deviceName = "Kolv Camera", std::string streamName = "Kolv Camera Video") {
    provider = CMIOExtensionProvider::initWithSource(host, providerSource, nullptr);
    device = CMIOExtensionDevice::initWithLocalizedName(host, std::move(deviceName), NSUUID::UUID(), std::nullopt,
                                                        deviceSource);
    stream = CMIOExtensionStream::initWithLocalizedName(host, std::move(streamName), NSUUID::UUID(),
                                                        CMIOExtensionStreamDirection::source,
                                                        CMIOExtensionStreamClockType::hostTime, streamSource);
    return describeStream(*provider, *device, *stream, log);
  }

  static std::map<std::string, std::string> propertiesOf(const NodeDescription& node) {
    return {node.properties.begin(), node.properties.end()};
  }

  AcceptingHost host;
  RecordingLog log;
  std::shared_ptr<FakeProviderSource> providerSource = std::make_shared<FakeProviderSource>();
  std::shared_ptr<FakeDeviceSource> deviceSource = std::make_shared<FakeDeviceSource>();
  std::shared_ptr<CountingStreamSource> streamSource = std::make_shared<CountingStreamSource>();
  std::shared_ptr<CMIOExtensionProvider> provider;
  std::shared_ptr<CMIOExtensionDevice> device;
  std::shared_ptr<CMIOExtensionStream> stream;
};

TEST_F(NodeDescriptionTest, CameraBecomesAVideoSourceNodeNamedAfterItsSources) {
  const auto node = describe();
  EXPECT_EQ(node.nodeName, "kolv-camera");
  EXPECT_EQ(node.label, "Kolv Camera Video");
  const std::map<std::string, std::string> expected{
      {"media.type", "Video"},
      {"media.category", "Capture"},
      {"media.role", "Camera"},
      {"media.class", "Video/Source"},
      {"node.description", "Kolv Camera"},
      {"node.nick", "Kolv Camera Video"},
      {"device.vendor.name", "Kolv"},
      {"device.product.name", "Kolv Camera"},
      {"node.virtual", "true"},
      {"priority.session", "500"},
      {"kolv.device.id", device->deviceID().UUIDString()},
      {"kolv.stream.id", stream->streamID().UUIDString()},
  };
  EXPECT_EQ(propertiesOf(node), expected);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(NodeDescriptionTest, AnswersComeFromTheSourcesNotFromConstants) {
  providerSource->manufacturer = "Acme";
  deviceSource->model = "Model 7";
  deviceSource->transportType = fourCC("usb ");
  const auto properties = propertiesOf(describe("Studio Cam", "Main"));
  EXPECT_EQ(properties.at("device.vendor.name"), "Acme");
  EXPECT_EQ(properties.at("device.product.name"), "Model 7");
  EXPECT_EQ(properties.at("node.description"), "Studio Cam");
  EXPECT_EQ(properties.at("node.nick"), "Main");
  EXPECT_FALSE(properties.contains("node.virtual"));
}

TEST_F(NodeDescriptionTest, PropertiesASourceDoesNotOfferAreNeitherAskedForNorShown) {
  providerSource->available = {};
  deviceSource->available = {CMIOExtensionPropertyDeviceTransportType};
  const auto properties = propertiesOf(describe());
  EXPECT_EQ(providerSource->queries, 0);
  EXPECT_FALSE(properties.contains("device.vendor.name"));
  EXPECT_FALSE(properties.contains("device.product.name"));
  EXPECT_EQ(properties.at("node.virtual"), "true");
}

TEST_F(NodeDescriptionTest, CameraFormatIsFixedBgra720pAt30) {
  const auto node = describe();
  ASSERT_EQ(node.formats.size(), 4u);  // then YUY2, NV12 and I420
  const auto& format = node.formats[0];
  EXPECT_EQ(format.pixelFormat.videoFormat, SPA_VIDEO_FORMAT_BGRA);
  EXPECT_EQ(format.width, 1280u);
  EXPECT_EQ(format.height, 720u);
  EXPECT_EQ(format.frameRate, (FrameRate{30, 1}));
  EXPECT_EQ(format.minFrameRate, format.maxFrameRate);
  EXPECT_TRUE(format.frameRates.empty());
}

TEST_F(NodeDescriptionTest, StreamFrameDurationPicksThePreferredRateWithinTheFormatsRange) {
  streamSource->streamFormats = {videoFormat(kCVPixelFormatType_32BGRA, 640, 480, kThirtieth, CMTimeMake(1, 10))};
  streamSource->frameDuration = CMTimeMake(1, 15);
  auto format = describe().formats.at(0);
  EXPECT_EQ(format.frameRate, (FrameRate{15, 1}));
  EXPECT_EQ(format.minFrameRate, (FrameRate{10, 1}));
  EXPECT_EQ(format.maxFrameRate, (FrameRate{30, 1}));

  streamSource->frameDuration = CMTimeMake(1, 60);  // faster than the format allows
  format = describe().formats.at(0);
  EXPECT_EQ(format.frameRate, (FrameRate{30, 1}));
}

TEST_F(NodeDescriptionTest, FormatsPipeWireCannotCarryAreLeftOutWithALine) {
  streamSource->streamFormats = {
      videoFormat(fourCC("v210"), 1280, 720, kThirtieth, kThirtieth),
      videoFormat(kCVPixelFormatType_32BGRA, 0, 720, kThirtieth, kThirtieth),
      videoFormat(kCVPixelFormatType_32BGRA, 640, 360, kCMTimeInvalid, kThirtieth),
      videoFormat(kCVPixelFormatType_32BGRA, 1280, 720, kThirtieth, kThirtieth),
  };
  streamSource->activeFormatIndex = 3;
  const auto node = describe();
  ASSERT_EQ(node.formats.size(), 4u);  // and its three converted formats
  EXPECT_EQ(node.formats[0].width, 1280u);
  EXPECT_EQ(log.count("format 0 has pixel format 'v210'"), 1u);
  EXPECT_EQ(log.count("format 1 has no picture size"), 1u);
  EXPECT_EQ(log.count("format 2 has no valid minimum frame duration"), 1u);
}

TEST_F(NodeDescriptionTest, ActiveFormatIsOfferedFirst) {
  streamSource->streamFormats = {
      videoFormat(kCVPixelFormatType_32BGRA, 640, 360, kThirtieth, kThirtieth),
      videoFormat(kCVPixelFormatType_32BGRA, 1280, 720, kThirtieth, kThirtieth),
      videoFormat(fourCC("yuvs"), 320, 240, kThirtieth, kThirtieth),
  };
  streamSource->activeFormatIndex = 1;
  const auto node = describe();
  ASSERT_GE(node.formats.size(), 3u);
  EXPECT_EQ(node.formats[0].width, 1280u);
  EXPECT_EQ(node.formats[1].width, 640u);
  EXPECT_EQ(node.formats[2].width, 320u);
}

TEST_F(NodeDescriptionTest, EachBGRAFormatIsOfferedInYUVAfterTheCamerasOwn) {
  streamSource->streamFormats = {
      videoFormat(kCVPixelFormatType_32BGRA, 1280, 720, kThirtieth, kThirtieth),
      videoFormat(fourCC("yuvs"), 1280, 720, kThirtieth, kThirtieth),
      videoFormat(kCVPixelFormatType_32BGRA, 1278, 720, kThirtieth, kThirtieth),  // not a multiple of 8 wide
  };
  streamSource->activeFormatIndex = 0;
  const auto node = describe();
  std::vector<std::string> offered;
  for (const auto& format : node.formats) {
    offered.push_back(fourCCString(format.pixelFormat.code) + " " + std::to_string(format.width));
    EXPECT_EQ(format.frameRate, (FrameRate{30, 1}));
  }
  // The camera's own YUY2 format is not offered twice.
  EXPECT_THAT(offered, ::testing::ElementsAre("BGRA 1280", "yuvs 1280", "BGRA 1278", "420v 1280", "y420 1280"));

  EXPECT_EQ(describeStream(*provider, *device, *stream, log, /*yuvFormats=*/false).formats.size(), 3u);
}

TEST_F(NodeDescriptionTest, StreamWithoutFormatsHasNothingToPublish) {
  streamSource->streamFormats.clear();
  EXPECT_TRUE(describe().formats.empty());
  EXPECT_EQ(log.count("offers no format"), 1u);
}

TEST_F(NodeDescriptionTest, StreamWhoseSourceIsGoneHasNothingToPublish) {
  describe();
  streamSource.reset();
  EXPECT_TRUE(describeStream(*provider, *device, *stream, log).formats.empty());
  EXPECT_EQ(log.count("the stream has no source"), 1u);
}

TEST(NodeName, IsTheDeviceNameInLowerCaseWithDashes) {
  EXPECT_EQ(nodeNameFromDeviceName("Kolv Camera"), "kolv-camera");
  EXPECT_EQ(nodeNameFromDeviceName("  Kolv -- Camera 2! "), "kolv-camera-2");
  EXPECT_EQ(nodeNameFromDeviceName("C\xc3\xa4mera"), "c-mera");
}

TEST(NodeName, IsNeverEmptyNorAllDigits) {
  EXPECT_EQ(nodeNameFromDeviceName(""), "camera");
  EXPECT_EQ(nodeNameFromDeviceName("!!!"), "camera");
  EXPECT_EQ(nodeNameFromDeviceName("1234"), "camera-1234");
  EXPECT_EQ(nodeNameFromDeviceName("12 34"), "12-34");
}

}  // namespace
}  // namespace kolv::pipewire
