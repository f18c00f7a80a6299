// The whole camera on the real Linux services (queue, timer, clock, pool, surfaces and
// files) with the recording host. Counts are checked with generous bounds; timing itself
// is measured in bench/.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device/kolv_camera_device_source.h"
#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/media_linux.h"
#include "platform/linux/shared_surface.h"
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
    std::ofstream(temporary, std::ios::binary).write(static_cast<const char*>(bytes),
                                                     static_cast<std::streamsize>(size));
    fs::rename(temporary, container() / name);
  }
  void publishSurface(std::uint32_t id) { writeAtomically(kSurfaceIDFileName, &id, 4); }  // little-endian host
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

TEST_F(WholeSystemTest, AboutThirtyGreyFramesASecondWithoutACompanion) {
  auto provider = kolvCameraProviderSource::initWithClientQueue(platform, nullptr);
  auto& stream = *provider->deviceSource()->streamSource();
  std::optional<NSError> error;
  ASSERT_TRUE(stream.startStreamAndReturnError(&error));
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(stream.stopStreamAndReturnError(&error));
  std::this_thread::sleep_for(100ms);  // a tick that was running when the stop came may still land

  const auto samples = host.samples();
  EXPECT_THAT(samples.size(), ::testing::AllOf(::testing::Ge(20u), ::testing::Le(40u)));
  for (const auto& sample : samples) {
    EXPECT_TRUE(sample.allBytes0x40);
    EXPECT_EQ(sample.width, 1280u);
    EXPECT_EQ(sample.height, 720u);
  }
  for (std::size_t i = 1; i < samples.size(); ++i) {
    EXPECT_GT(samples[i].hostTimeInNanoseconds, samples[i - 1].hostTimeInNanoseconds);
  }

  const std::size_t afterStop = host.sampleCount();
  std::this_thread::sleep_for(150ms);
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
  for (int i = 1; i <= 10; ++i) {  // ten pictures, at most one per tick
    publishTimestamp(i);
    std::this_thread::sleep_for(70ms);
  }
  stream.stopStreamAndReturnError(nullptr);
  std::this_thread::sleep_for(100ms);

  std::size_t shared = 0;
  std::size_t grey = 0;
  for (const auto& sample : host.samples()) {
    if (sample.firstPixel == 0x7A7A7A7Au) {
      ++shared;
      EXPECT_FALSE(sample.allBytes0x40);
    } else if (sample.allBytes0x40) {
      ++grey;
    } else {
      ADD_FAILURE() << "a frame that is neither the surface nor grey";
    }
  }
  EXPECT_EQ(shared, 10u);  // each picture exactly once
  EXPECT_GT(grey, 0u);     // ticks without a new picture are grey
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
}

}  // namespace
}  // namespace kolv
