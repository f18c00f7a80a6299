// One frame tick: which buffer is sent, what the sample carries, and every way it can fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "device/kolv_camera_device_source.h"
#include "frames/host_time.h"
#include "shared/shared_frame_reader.h"
#include "support/test_platform.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;

class FrameTickTest : public ::testing::Test {
 protected:
  std::shared_ptr<kolvCameraDeviceSource> makeDevice() {
    return kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Cam");
  }
  test::RecordedSample tickOnce() {
    t.host.clearSamples();
    device->deliverFrame();
    EXPECT_EQ(t.host.sampleCount(), 1u);
    return t.host.samples().at(0);
  }
  void expectNothingSent() {
    t.host.clearSamples();
    device->deliverFrame();
    EXPECT_EQ(t.host.sampleCount(), 0u);
  }
  const std::string group = kFallbackAppGroupID;

  test::TestPlatform t;
  std::shared_ptr<kolvCameraDeviceSource> device;
};

TEST_F(FrameTickTest, WithoutACompanionEveryTickSendsAGreyPoolBuffer) {
  device = makeDevice();
  t.clock.set(5'000'000'123);
  const auto sample = tickOnce();
  EXPECT_TRUE(sample.allBytes0x40);
  EXPECT_EQ(sample.width, 1280u);
  EXPECT_EQ(sample.height, 720u);
  EXPECT_EQ(sample.pixelFormat, kCVPixelFormatType_32BGRA);
  EXPECT_EQ(sample.formatDescription.mediaSubType, kCVPixelFormatType_32BGRA);
  EXPECT_EQ(sample.formatDescription.dimensions, (CMVideoDimensions{1280, 720}));
  EXPECT_TRUE(sample.dataReady);
  EXPECT_EQ(sample.timingCount, 1u);
  EXPECT_EQ(sample.timing.duration, CMTimeMake(1, 30));
  EXPECT_EQ(sample.timing.presentationTimeStamp, CMTimeMake(5'000'000'123, 1'000'000'000));
  EXPECT_EQ(sample.timing.decodeTimeStamp, kCMTimeInvalid);
  EXPECT_EQ(sample.discontinuity, 0u);
  EXPECT_EQ(sample.hostTimeInNanoseconds, 5'000'000'123u);
  EXPECT_EQ(t.media.pool->inUse(), 0);  // the buffer went back once the host let go
  EXPECT_EQ(t.media.pool->created(), 1);
}

TEST_F(FrameTickTest, RowPaddingIsFilledToo) {
  t.media.poolOptions.rowPadding = 64;
  device = makeDevice();
  const auto sample = tickOnce();
  EXPECT_EQ(sample.bytesPerRow, 1280u * 4 + 64);
  EXPECT_TRUE(sample.allBytes0x40);
}

TEST_F(FrameTickTest, WithFiveBuffersHeldElsewhereNothingIsSent) {
  t.host.retainSamples = true;
  device = makeDevice();
  for (int i = 0; i < 5; ++i) device->deliverFrame();
  EXPECT_EQ(t.host.sampleCount(), 5u);
  EXPECT_EQ(t.media.pool->inUse(), 5);
  device->deliverFrame();
  EXPECT_EQ(t.host.sampleCount(), 5u);

  t.host.clearSamples();  // the clients let go
  device->deliverFrame();
  EXPECT_EQ(t.host.sampleCount(), 1u);
}

TEST_F(FrameTickTest, APoolThatFailsSendsNothing) {
  device = makeDevice();
  t.media.poolOptions.runDry = true;
  expectNothingSent();
  t.media.poolOptions.runDry = false;
  t.media.poolOptions.noBufferOnSuccess = true;
  expectNothingSent();
}

TEST_F(FrameTickTest, ABufferWithoutMemoryOrRowsIsSentUnfilled) {
  t.media.poolOptions.withoutBaseAddress = true;
  device = makeDevice();
  auto sample = tickOnce();
  EXPECT_EQ(sample.baseAddress, nullptr);

  t.media.poolOptions.withoutBaseAddress = false;
  t.media.poolOptions.heightOverride = 0;
  sample = tickOnce();
  EXPECT_EQ(sample.height, 0u);
}

TEST_F(FrameTickTest, FailuresToPackageTheSampleSendNothing) {
  device = makeDevice();
  t.media.refuseDescriptionForImageBuffer = true;
  expectNothingSent();
  t.media.refuseDescriptionForImageBuffer = false;

  t.media.sampleBufferStatus = kCVReturnError;
  expectNothingSent();
  t.media.sampleBufferStatus = noErr;
  t.media.sampleBufferWithoutSample = true;
  expectNothingSent();
  t.media.sampleBufferWithoutSample = false;

  EXPECT_TRUE(tickOnce().allBytes0x40);  // and the next tick simply works
  EXPECT_EQ(t.media.pool->inUse(), 0);   // nothing leaked on the failed runs
}

TEST_F(FrameTickTest, ANewCompanionFrameIsSentWithoutACopy) {
  device = makeDevice();
  auto surface = t.publish(7, 1.0, group);
  std::memset(surface->baseAddress(), 0x11, surface->bytesPerRow() * surface->height());

  const auto sample = tickOnce();
  EXPECT_EQ(sample.baseAddress, surface->baseAddress());  // the surface's own memory
  EXPECT_FALSE(sample.allBytes0x40);
  EXPECT_EQ(t.media.pool->created(), 0);

  // No newer timestamp: grey again, never the old frame.
  EXPECT_TRUE(tickOnce().allBytes0x40);
  t.setTimestamp(2.0, group);
  EXPECT_EQ(tickOnce().baseAddress, surface->baseAddress());
}

TEST_F(FrameTickTest, ASurfaceOfAnotherSizeOrFormatIsSentAsItIs) {
  device = makeDevice();
  t.media.publishSurface(9, 640, 480, fourCC("2vuy"), 1280 + 32);
  t.files.writeFile(group, kSurfaceIDFileName, test::surfaceIDBytes(9));
  t.setTimestamp(3.0, group);
  const auto sample = tickOnce();
  EXPECT_EQ(sample.width, 640u);
  EXPECT_EQ(sample.bytesPerRow, 1280u + 32);
  EXPECT_EQ(sample.formatDescription.dimensions, (CMVideoDimensions{640, 480}));
  EXPECT_EQ(sample.formatDescription.mediaSubType, fourCC("2vuy"));
}

TEST_F(FrameTickTest, ASlowCompanionGetsGreyFramesBetweenItsOwn) {
  device = makeDevice();
  auto surface = t.publish(7, 1.0, group);
  device->startStreaming();
  double timestamp = 1.0;
  std::vector<bool> shared;
  for (int tick = 0; tick < 9; ++tick) {
    if (tick % 3 == 0) t.setTimestamp(timestamp += 1, group);  // 10 pictures a second
    t.host.clearSamples();
    t.dispatch.advance(tick == 0 ? 0ms : 34ms);
    ASSERT_EQ(t.host.sampleCount(), 1u) << tick;
    shared.push_back(t.host.samples()[0].baseAddress == surface->baseAddress());
  }
  EXPECT_THAT(shared, ::testing::ElementsAre(true, false, false, true, false, false, true, false, false));
}

TEST_F(FrameTickTest, AFrameLostToAFailedSampleIsNotOfferedAgain) {
  device = makeDevice();
  t.publish(7, 1.0, group);
  t.media.sampleBufferStatus = kCVReturnError;
  expectNothingSent();
  t.media.sampleBufferStatus = noErr;
  EXPECT_TRUE(tickOnce().allBytes0x40);
}

TEST(HostTimeTest, SecondsTimesABillionTruncated) {
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(3, 2)), 1'500'000'000u);
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(1, 30)), 33'333'333u);  // never rounded up
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(0, 1)), 0u);
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(123'456'789, 1'000'000'000)), 123'456'789u);
}

TEST(HostTimeTest, OutOfRangeProductsAreClamped) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(-1, 2'000'000'000)), 0u);  // -0.5 ns
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(-5, 1)), 0u);
  EXPECT_EQ(hostTimeInNanoseconds(kCMTimeInvalid), 0u);  // NaN
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(1, 0)), 0u);
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(std::numeric_limits<std::int64_t>::max(), 1)), kMax);
  EXPECT_EQ(hostTimeInNanoseconds(CMTimeMake(18'446'744'074, 1)), kMax);  // just past 2^64 ns
  EXPECT_LT(hostTimeInNanoseconds(CMTimeMake(18'446'744'073, 1)), kMax);
}

}  // namespace
}  // namespace kolv
