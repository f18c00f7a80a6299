// The whole camera on the real Linux services (queue, timer, clock, pool, surfaces and
// files) with the recording host. Counts are checked with generous bounds; timing itself
// is measured in bench/.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "device/kolv_camera_device_source.h"
#include "handoff/shared_surface.h"
#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/media_linux.h"
#include "service/kolv_camera_provider_source.h"
#include "shared/shared_frame_reader.h"
#include "stream/kolv_camera_stream_source.h"
#include "support/fake_foundation.h"
#include "support/recording_host.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class WholeSystemTest : public ::testing::Test {
 protected:
  WholeSystemTest() { fs::create_directories(container()); }
  ~WholeSystemTest() override {
    std::error_code ignored;
    fs::remove_all(runtimeDir, ignored);
  }
  fs::path container() const { return runtimeDir / "app-groups" / kFallbackAppGroupID; }
  fs::path registry() const { return runtimeDir / "kolv-surfaces"; }

  // Replaces a hand-off file in one step, as a companion does.
  void writeAtomically(const char* name, const void* bytes, std::size_t size) {
    const fs::path temporary = container() / (std::string(name) + ".tmp");
    std::ofstream(temporary, std::ios::binary)
        .write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    fs::rename(temporary, container() / name);
  }
  void publishSurface(std::uint32_t id) { writeAtomically(kSurfaceIDFileName, &id, 4); }  // little-endian host
  // Waits until every task on `queue` submitted so far has run: a tick under way when the
  // stream stopped has then finished.
  static void drain(const DispatchQueueRef& queue) {
    std::promise<void> done;
    queue->async([&done] { done.set_value(); });
    done.get_future().wait();
  }
  // Polls `condition` for up to ten seconds.
  template <class Condition>
  static bool eventually(Condition condition) {
    for (int i = 0; i < 1000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  }
  std::size_t countSamples(bool (*matches)(const test::RecordedSample&)) const {
    const auto samples = host.samples();
    return static_cast<std::size_t>(std::count_if(samples.begin(), samples.end(), matches));
  }
  void publishTimestamp(double timestamp) { writeAtomically(kFrameMetadataFileName, &timestamp, 8); }

  const fs::path runtimeDir = fs::temp_directory_path() / ("kolv-whole-system-" + std::to_string(::getpid()));
  test::RecordingHost host;
  LinuxMediaServices media{std::make_shared<MonotonicHostClock>(), registry()};
  LinuxDispatch dispatch;
  test::FakeBundleServices bundles;
  AppGroupFileManager fileManager{runtimeDir};
  test::CapturingLog log;
  test::FakeRunLoop runLoop;
  Platform platform{host, media, dispatch, bundles, fileManager, log, runLoop};
};

TEST_F(WholeSystemTest, GreyFramesFlowWithoutACompanion) {
  auto provider = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  auto& stream = *provider->deviceSource()->streamSource();
  std::optional<NSError> error;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(stream.startStreamAndReturnError(&error));
  ASSERT_TRUE(eventually([&] { return host.sampleCount() >= 10; }));
  ASSERT_TRUE(stream.stopStreamAndReturnError(&error));
  drain(provider->deviceSource()->timerQueue());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // The rate itself is measured in bench/; a slow (sanitizer, loaded) build only sends fewer.
  // More than twice the rate would mean a second timer.
  const auto samples = host.samples();
  EXPECT_GE(samples.size(), 10u);
  EXPECT_LE(static_cast<double>(samples.size()), 60.0 * seconds + 5.0);
  for (const auto& sample : samples) {
    EXPECT_TRUE(sample.allBytes0x40);
    EXPECT_EQ(sample.width, 1280u);
    EXPECT_EQ(sample.height, 720u);
  }
  for (std::size_t i = 1; i < samples.size(); ++i) {
    EXPECT_GT(samples[i].hostTimeInNanoseconds, samples[i - 1].hostTimeInNanoseconds);
  }

  const std::size_t afterStop = host.sampleCount();
  std::this_thread::sleep_for(150ms);  // several intervals
  EXPECT_EQ(host.sampleCount(), afterStop);
}

TEST_F(WholeSystemTest, ThePublishedSurfaceIsSentWhenItsTimestampGrows) {
  auto surface = SharedSurface::createIn(registry(), 1280, 720);
  ASSERT_TRUE(surface);
  std::memset(surface->pixels().data(), 0x7A, surface->pixels().size());
  publishSurface(surface->id());

  auto provider = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  auto& stream = *provider->deviceSource()->streamSource();
  ASSERT_TRUE(stream.startStreamAndReturnError(nullptr));
  const auto isShared = [](const test::RecordedSample& s) { return s.firstPixel == 0x7A7A7A7Au; };
  for (std::size_t i = 1; i <= 5; ++i) {
    publishTimestamp(static_cast<double>(i));
    ASSERT_TRUE(eventually([&] { return countSamples(isShared) == i; })) << "picture " << i;
    // Until the next picture, ticks send grey.
    const std::size_t before = host.sampleCount();
    ASSERT_TRUE(eventually([&] { return host.sampleCount() > before + 1; }));
    EXPECT_EQ(countSamples(isShared), i);
  }
  stream.stopStreamAndReturnError(nullptr);
  drain(provider->deviceSource()->timerQueue());

  for (const auto& sample : host.samples()) {
    EXPECT_TRUE(isShared(sample) != sample.allBytes0x40) << "a frame that is neither the surface nor grey";
  }
  EXPECT_EQ(countSamples(isShared), 5u);  // each picture exactly once
}

// At shutdown the host and the services go right after the last stop: a tick that is
// sending when the stop comes must be over when the stop returns.
TEST_F(WholeSystemTest, NoTickIsStillSendingWhenTheLastStopReturns) {
  host.sendDuration = 100ms;
  auto provider = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  auto& stream = *provider->deviceSource()->streamSource();
  ASSERT_TRUE(stream.startStreamAndReturnError(nullptr));
  ASSERT_TRUE(eventually([&] { return host.sendsInFlight() > 0; }));
  ASSERT_TRUE(stream.stopStreamAndReturnError(nullptr));
  EXPECT_EQ(host.sendsInFlight(), 0);
}

TEST_F(WholeSystemTest, StartAndStopFromManyThreadsLeaveAConsistentState) {
  auto provider = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  auto device = provider->deviceSource();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        device->streamSource()->startStreamAndReturnError(nullptr);
        device->streamSource()->stopStreamAndReturnError(nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(device->streamingCounter(), 0u);
  EXPECT_EQ(device->timer(), nullptr);
  drain(device->timerQueue());
}

}  // namespace
}  // namespace kolv
