// The cost of one frame tick on the real Linux services: a grey frame from the pool and a
// companion's shared frame, beside one memset of a 1280x720 BGRA picture, the floor for
// any tick that writes every pixel.
//   kolv_frame_tick_bench [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/kolv_camera_device_source.h"
#include "handoff/shared_surface.h"
#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/info_plist_bundle.h"
#include "platform/linux/media_linux.h"
#include "shared/shared_frame_reader.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

// Takes every sample and lets it go at once, as a host that has copied it would.
class DroppingHost final : public CameraHost {
 public:
  void startService(const std::shared_ptr<CMIOExtensionProvider>&) override {}
  bool addDevice(CMIOExtensionProvider&, const std::shared_ptr<CMIOExtensionDevice>&, NSErrorOut) override {
    return true;
  }
  bool addStream(CMIOExtensionDevice&, const std::shared_ptr<CMIOExtensionStream>&, NSErrorOut) override {
    return true;
  }
  void sendSampleBuffer(CMIOExtensionStream&, const CMSampleBufferRef& sample, CMIOExtensionStreamDiscontinuityFlags,
                        std::uint64_t) override {
    benchmark::DoNotOptimize(sample.get());
    ++sent;
  }
  std::uint64_t sent = 0;
};

class QuietLog final : public OSLog {
 public:
  bool isEnabled(OSLogType) const override { return false; }
  void write(OSLogType, std::string_view) override {}
};

class NoRunLoop final : public RunLoop {
 public:
  void run() override {}
};

// A camera on the Linux services, with its runtime folder in /tmp (tmpfs or disk: the
// hand-off files are in the page cache either way).
struct Camera {
  Camera() { fs::create_directories(container); }
  ~Camera() {
    std::error_code ignored;
    fs::remove_all(runtimeDir, ignored);
  }
  void writeFile(const char* name, const void* bytes, std::size_t size) {
    const fs::path temporary = container / (std::string(name) + ".tmp");
    std::ofstream(temporary, std::ios::binary)
        .write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    fs::rename(temporary, container / name);
  }

  const fs::path runtimeDir = fs::temp_directory_path() / ("kolv-bench-" + std::to_string(::getpid()));
  const fs::path container = runtimeDir / "app-groups" / kFallbackAppGroupID;
  const fs::path registry = runtimeDir / "kolv-surfaces";
  DroppingHost host;
  LinuxMediaServices media{std::make_shared<MonotonicHostClock>(), registry};
  LinuxDispatch dispatch;
  InfoPlistBundleServices bundles{runtimeDir / "no-Info.plist"};
  AppGroupFileManager fileManager{runtimeDir};
  QuietLog log;
  NoRunLoop runLoop;
  Platform platform{host, media, dispatch, bundles, fileManager, log, runLoop};
  std::shared_ptr<kolvCameraDeviceSource> device = kolvCameraDeviceSource::initWithLocalizedName(platform, "Bench");
};

bool fileManagerRead(Camera& camera, const fs::path& path) {
  return camera.fileManager.contentsAtPath(path, 5).has_value();
}

void BM_Memset1280x720BGRA(benchmark::State& state) {
  Camera camera;
  auto [status, buffer] = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(camera.device->bufferPool(), nullptr);
  CVPixelBufferLockBaseAddress(buffer, 0);
  void* base = CVPixelBufferGetBaseAddress(buffer);
  const std::size_t size = CVPixelBufferGetBytesPerRow(buffer) * CVPixelBufferGetHeight(buffer);
  for (auto _ : state) {
    std::memset(base, 0x40, size);
    benchmark::ClobberMemory();
  }
  CVPixelBufferUnlockBaseAddress(buffer, 0);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Memset1280x720BGRA)->Unit(benchmark::kMicrosecond);

// The same memset after one failed open(), as every tick makes one to look for the
// companion's file: on this VM any system call leaves the next big fill ~30% slower.
void BM_Memset1280x720BGRAAfterSyscall(benchmark::State& state) {
  Camera camera;
  auto [status, buffer] = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(camera.device->bufferPool(), nullptr);
  CVPixelBufferLockBaseAddress(buffer, 0);
  void* base = CVPixelBufferGetBaseAddress(buffer);
  const std::size_t size = CVPixelBufferGetBytesPerRow(buffer) * CVPixelBufferGetHeight(buffer);
  const fs::path missing = camera.container / "missing";
  for (auto _ : state) {
    benchmark::DoNotOptimize(fileManagerRead(camera, missing));
    std::memset(base, 0x40, size);
    benchmark::ClobberMemory();
  }
  CVPixelBufferUnlockBaseAddress(buffer, 0);
}
BENCHMARK(BM_Memset1280x720BGRAAfterSyscall)->Unit(benchmark::kMicrosecond);

void BM_TickBlankFrame(benchmark::State& state) {
  Camera camera;
  for (auto _ : state) camera.device->deliverFrame();
  if (camera.host.sent != static_cast<std::uint64_t>(state.iterations())) state.SkipWithError("a tick sent no frame");
}
BENCHMARK(BM_TickBlankFrame)->Unit(benchmark::kMicrosecond);

void BM_TickSharedFrame(benchmark::State& state) {
  Camera camera;
  auto surface = SharedSurface::createIn(camera.registry, 1280, 720);
  if (!surface) {
    state.SkipWithError("no surface");
    return;
  }
  const std::uint32_t id = surface->id();
  camera.writeFile(kSurfaceIDFileName, &id, sizeof id);
  double timestamp = 0;
  // Each picture's timestamp is written outside the timed region, as the companion would.
  for (auto _ : state) {
    state.PauseTiming();
    timestamp += 1;
    camera.writeFile(kFrameMetadataFileName, &timestamp, sizeof timestamp);
    state.ResumeTiming();
    camera.device->deliverFrame();
  }
  if (camera.device->frameReader().lastTimestamp() != timestamp) state.SkipWithError("a picture was not sent");
  if (camera.device->bufferPool() == nullptr) state.SkipWithError("no pool");
}
BENCHMARK(BM_TickSharedFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kolv

BENCHMARK_MAIN();
