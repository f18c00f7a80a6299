// The host when no PipeWire answers: it starts anyway, says so once, and shuts down cleanly.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "handoff/unique_fd.h"
#include "platform/output/outputs_host.h"
#include "platform/pipewire/pipewire_output.h"
#include "support/output_fakes.h"

namespace kolv {
namespace {

using namespace std::chrono_literals;
using output::testing::CountingStreamSource;
using output::testing::FakeDeviceSource;
using output::testing::FakeProviderSource;
using output::testing::MemoryPixelBuffer;
using output::testing::RecordingLog;
using output::testing::videoFormat;

// A folder that PipeWire clients of this process take for the runtime folder while it lives.
class PrivateRuntimeFolder {
 public:
  PrivateRuntimeFolder() {
    char pattern[] = "/tmp/kolv-pw-runtime.XXXXXX";
    path = ::mkdtemp(pattern);
    if (const char* old = std::getenv("PIPEWIRE_RUNTIME_DIR")) previous_ = old;
    ::setenv("PIPEWIRE_RUNTIME_DIR", path.c_str(), 1);
  }
  ~PrivateRuntimeFolder() {
    if (previous_) {
      ::setenv("PIPEWIRE_RUNTIME_DIR", previous_->c_str(), 1);
    } else {
      ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;

 private:
  std::optional<std::string> previous_;
};

UniqueFD listenAt(const std::filesystem::path& path) {
  UniqueFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!fd || path.native().size() >= sizeof address.sun_path) return {};
  std::strcpy(address.sun_path, path.c_str());
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 4) != 0) {
    return {};
  }
  return fd;
}

TEST(HostWithoutPipeWire, StartsSaysSoOnceAndKeepsTrying) {
  PrivateRuntimeFolder runtime;
  RecordingLog log;
  PipeWireOutputOptions options;
  options.remoteName = "kolv-test-absent-" + std::to_string(getpid());
  options.firstRetryDelay = 10ms;
  options.maxRetryDelay = 40ms;
  PipeWireOutput pipeWire(log, options);
  output::OutputsHost host(log, {pipeWire});

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
  EXPECT_EQ(log.count("PipeWire is not running"), 1u);
  EXPECT_EQ(log.count("connected to PipeWire"), 0u);

  // A listener appears where PipeWire's socket would be: the host, still trying, connects.
  const UniqueFD listener = listenAt(runtime.path / options.remoteName);
  ASSERT_TRUE(listener);
  pollfd incoming{listener.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&incoming, 1, 5000), 1) << "the host stopped trying to connect";
  host.shutdown();
  EXPECT_EQ(log.count("PipeWire is not running"), 1u);
  EXPECT_TRUE(sent.expired());
  EXPECT_EQ(streamSource->starts(), 0);
  EXPECT_EQ(streamSource->stops(), 0);
}

TEST(HostWithoutPipeWire, RegistrationsAreAcceptedAndSamplesBeforeStartIgnored) {
  RecordingLog log;
  PipeWireOutput pipeWire(log);
  output::OutputsHost host(log, {pipeWire});
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
