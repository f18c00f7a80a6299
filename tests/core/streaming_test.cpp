// Start and stop requests, the streaming count and the frame timer, on a virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "device/kolv_camera_device_source.h"
#include "stream/kolv_camera_stream_source.h"
#include "support/test_platform.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;

class StreamingTest : public ::testing::Test {
 protected:
  bool start() { return device->streamSource()->startStreamAndReturnError(&error); }
  bool stop() { return device->streamSource()->stopStreamAndReturnError(&error); }

  test::TestPlatform t;
  std::shared_ptr<kolvCameraDeviceSource> device = kolvCameraDeviceSource::initWithLocalizedName(t.platform, "Cam");
  std::optional<NSError> error;
};

TEST_F(StreamingTest, FirstStartCreatesAStrictThirtyHertzTimerOnTheTimerQueue) {
  EXPECT_TRUE(start());
  EXPECT_EQ(device->streamingCounter(), 1u);
  ASSERT_EQ(t.dispatch.timers().size(), 1u);
  const auto& timer = t.dispatch.timers()[0];
  EXPECT_EQ(device->timer(), timer);
  EXPECT_EQ(timer->flags(), DispatchTimerFlags::strict);
  EXPECT_EQ(timer->queue(), device->timerQueue());
  EXPECT_EQ(timer->firstDeadline(), t.clock.nanoseconds());
  EXPECT_EQ(timer->interval(), 0.03333333333333333);
  EXPECT_EQ(timer->leeway(), 1ms);
  EXPECT_TRUE(timer->hasHandler());
  EXPECT_TRUE(timer->resumed());
  EXPECT_FALSE(error);
}

TEST_F(StreamingTest, FirstTickRunsAtOnceThenOneEveryThirtiethOfASecond) {
  start();
  t.dispatch.runUntilIdle();
  ASSERT_EQ(t.host.sampleCount(), 1u);  // no time has passed
  EXPECT_EQ(t.host.samples()[0].hostTimeInNanoseconds, t.clock.nanoseconds());

  t.dispatch.advance(1s);
  EXPECT_EQ(t.host.sampleCount(), 31u);  // ticks at 0, 1/30, ..., 30/30 s
  const auto samples = t.host.samples();
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const auto spacing = samples[i].hostTimeInNanoseconds - samples[i - 1].hostTimeInNanoseconds;
    EXPECT_NEAR(static_cast<double>(spacing), 1e9 / 30, 1.0) << "tick " << i;
  }
}

TEST_F(StreamingTest, RequestsAreCountedAndOnlyTheLastStopCancelsTheTimer) {
  EXPECT_TRUE(start());
  EXPECT_TRUE(start());
  EXPECT_EQ(t.dispatch.timers().size(), 1u);  // the second start reuses the running timer
  EXPECT_TRUE(stop());
  EXPECT_EQ(device->streamingCounter(), 1u);
  const auto timer = t.dispatch.timers()[0];
  EXPECT_FALSE(timer->isCancelled());
  EXPECT_EQ(device->timer(), timer);

  EXPECT_TRUE(stop());
  EXPECT_EQ(device->streamingCounter(), 0u);
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_EQ(device->timer(), nullptr);
  EXPECT_FALSE(error);

  t.host.clearSamples();
  t.dispatch.advance(1s);
  EXPECT_EQ(t.host.sampleCount(), 0u);
}

TEST_F(StreamingTest, ExtraStopsChangeNothingAndTheNextStartMakesANewTimer) {
  EXPECT_TRUE(stop());  // before any start
  EXPECT_EQ(device->streamingCounter(), 0u);
  EXPECT_TRUE(t.dispatch.timers().empty());

  start();
  stop();
  EXPECT_TRUE(stop());
  EXPECT_EQ(device->streamingCounter(), 0u);

  start();
  ASSERT_EQ(t.dispatch.timers().size(), 2u);
  EXPECT_TRUE(t.dispatch.timers()[0]->isCancelled());
  EXPECT_FALSE(t.dispatch.timers()[1]->isCancelled());
  EXPECT_EQ(device->timer(), t.dispatch.timers()[1]);
}

TEST_F(StreamingTest, AStopWhileATickIsQueuedSendsNothingMore) {
  start();
  t.dispatch.runUntilIdle();
  t.host.clearSamples();
  t.dispatch.advanceWithoutRunning(34ms);  // an event is now waiting on the busy queue
  stop();
  t.dispatch.runUntilIdle();
  EXPECT_EQ(t.host.sampleCount(), 0u);
}

TEST_F(StreamingTest, EventsMissedWhileTheQueueWasBusyAreNotReplayed) {
  start();
  t.dispatch.runUntilIdle();
  t.host.clearSamples();
  t.dispatch.advanceWithoutRunning(200ms);  // six deadlines pass
  t.dispatch.runUntilIdle();
  EXPECT_EQ(t.host.sampleCount(), 1u);
}

TEST_F(StreamingTest, WithoutAPoolStartsAreIgnoredButReportSuccess) {
  test::TestPlatform noPool;
  noPool.media.refusePool = true;
  auto lonely = kolvCameraDeviceSource::initWithLocalizedName(noPool.platform, "Cam");
  EXPECT_TRUE(lonely->streamSource()->startStreamAndReturnError(&error));
  EXPECT_TRUE(lonely->streamSource()->startStreamAndReturnError(&error));
  EXPECT_EQ(lonely->streamingCounter(), 0u);
  EXPECT_EQ(lonely->timer(), nullptr);
  noPool.dispatch.advance(1s);
  EXPECT_EQ(noPool.host.sampleCount(), 0u);
  EXPECT_TRUE(lonely->streamSource()->stopStreamAndReturnError(&error));
  EXPECT_FALSE(error);
}

TEST_F(StreamingTest, RequestsFailWhenTheDeviceSourceCannotBeReached) {
  // A device whose source is not the camera's device source.
  class OtherSource final : public CMIOExtensionDeviceSource {
    std::shared_ptr<CMIOExtensionDeviceProperties> devicePropertiesForProperties(const CMIOExtensionPropertySet&,
                                                                                 NSErrorOut) override {
      return nullptr;
    }
    bool setDeviceProperties(const CMIOExtensionDeviceProperties&, NSErrorOut) override { return true; }
    CMIOExtensionPropertySet availableProperties() const override { return {}; }
  };
  auto other = std::make_shared<OtherSource>();
  auto foreignDevice = CMIOExtensionDevice::initWithLocalizedName(t.host, "Other", NSUUID::UUID(), std::nullopt, other);
  auto orphanDevice = CMIOExtensionDevice::initWithLocalizedName(t.host, "Orphan", NSUUID::UUID(), std::nullopt, {});

  for (const auto& target : {foreignDevice, orphanDevice}) {
    auto stream = kolvCameraStreamSource::initWithLocalizedName(t.platform, "S", NSUUID::UUID(),
                                                                device->streamSource()->formats()[0], target);
    for (bool isStart : {true, false}) {
      std::optional<NSError> failure;
      const bool ok = isStart ? stream->startStreamAndReturnError(&failure) : stream->stopStreamAndReturnError(&failure);
      EXPECT_FALSE(ok);
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->domain, "kolvCamera");
      EXPECT_EQ(failure->code, -1);
      EXPECT_EQ(failure->localizedDescription(), "Invalid device source");
      // A caller that gives no out-argument is told by the result alone.
      EXPECT_FALSE(isStart ? stream->startStreamAndReturnError(nullptr) : stream->stopStreamAndReturnError(nullptr));
    }
  }
  EXPECT_EQ(device->streamingCounter(), 0u);
}

TEST_F(StreamingTest, TheTimerDoesNotKeepTheDeviceSourceAlive) {
  start();
  std::weak_ptr<kolvCameraDeviceSource> weak = device;
  const auto timer = t.dispatch.timers()[0];
  device.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(timer->isCancelled());  // destruction releases the timer without cancelling it
  t.dispatch.advance(100ms);           // events find no device source and do nothing
  EXPECT_EQ(t.host.sampleCount(), 0u);
}

}  // namespace
}  // namespace kolv
