// The host when no PipeWire answers: it starts anyway, says so once, and shuts down cleanly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "fakes.h"
#include "platform/pipewire/pipewire_host.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;
using pipewire::testing::CountingStreamSource;
using pipewire::testing::FakeDeviceSource;
using pipewire::testing::FakeProviderSource;
using pipewire::testing::MemoryPixelBuffer;
using pipewire::testing::RecordingLog;
using pipewire::testing::videoFormat;

TEST(HostWithoutPipeWire, StartsSaysSoOnceAndKeepsTrying) {
  RecordingLog log;
  PipeWireHostOptions options;
  options.remoteName = "kolv-test-absent-" + std::to_string(getpid());
  options.firstRetryDelay = 10ms;
  options.maxRetryDelay = 40ms;
  PipeWireHost host(log, options);

  auto providerSource = std::make_shared<FakeProviderSource>();
  auto deviceSource = std::make_shared<FakeDeviceSource>();
  auto streamSource = std::make_shared<CountingStreamSource>();
  streamSource->streamFormats = {
      videoFormat(kCVPixelFormatType_32BGRA, 1280, 720, CMTimeMake(1, 30), CMTimeMake(1, 30))};
  auto provider = CMIOExtensionProvider::initWithSource(host, providerSource, nullptr);
  auto device =
      CMIOExtensionDevice::initWithLocalizedName(host, "Kolv Camera", NSUUID::UUID(), std::nullopt, deviceSource);
  auto stream = CMIOExtensionStream::initWithLocalizedName(host, "Kolv Camera Video", NSUUID::UUID(),
                                                           CMIOExtensionStreamDirection::source,
                                                           CMIOExtensionStreamClockType::hostTime, streamSource);
  ASSERT_TRUE(device->addStream(stream, nullptr));
  ASSERT_TRUE(provider->addDevice(device, nullptr));
  ASSERT_EQ(device->streams().size(), 1u);
  ASSERT_EQ(provider->devices().size(), 1u);

  CMIOExtensionProvider::startServiceWithProvider(provider);
  ASSERT_EQ(log.count("PipeWire is not running"), 1u);

  // Samples sent while nobody can watch are let go.
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = std::make_shared<MemoryPixelBuffer>(4, 4, 16, kCVPixelFormatType_32BGRA);
  std::weak_ptr<const CMSampleBuffer> sent = sample;
  stream->sendSampleBuffer(sample, CMIOExtensionStreamDiscontinuityFlagNone, 1);
  sample.reset();

  std::this_thread::sleep_for(200ms);  // several more attempts
  host.shutdown();
  EXPECT_EQ(log.count("PipeWire is not running"), 1u);
  EXPECT_EQ(log.count("connected to PipeWire"), 0u);
  EXPECT_TRUE(sent.expired());
  EXPECT_EQ(streamSource->starts(), 0);
  EXPECT_EQ(streamSource->stops(), 0);
}

TEST(HostWithoutPipeWire, RegistrationsAreAcceptedAndSamplesBeforeStartIgnored) {
  RecordingLog log;
  PipeWireHost host(log);
  auto streamSource = std::make_shared<CountingStreamSource>();
  auto stream =
      CMIOExtensionStream::initWithLocalizedName(host, "Video", NSUUID::UUID(), CMIOExtensionStreamDirection::source,
                                                 CMIOExtensionStreamClockType::hostTime, streamSource);
  auto device = CMIOExtensionDevice::initWithLocalizedName(host, "Cam", NSUUID::UUID(), std::nullopt, {});
  std::optional<NSError> error;
  EXPECT_TRUE(device->addStream(stream, &error));
  EXPECT_FALSE(error);
  stream->sendSampleBuffer(std::make_shared<CMSampleBuffer>(), 0, 1);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace kolv
