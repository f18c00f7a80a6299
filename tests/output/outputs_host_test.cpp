// The camera host composed of outputs, on fake outputs: the core sees one stream that starts
// with the first consumer at any output and stops with the last; each frame reaches exactly
// the outputs that have consumers, with one frame number; shutdown owes one stop per start.
#include "platform/output/outputs_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/output/output_frame.h"
#include "support/output_fakes.h"

namespace kolv::output {
namespace {

using namespace std::chrono_literals;
using testing::CountingStreamSource;
using testing::FakeDeviceSource;
using testing::FakeProviderSource;
using testing::MemoryPixelBuffer;
using testing::RecordingLog;

// An output that writes each frame into a picture of its own format and keeps what it got.
class FakeOutput final : public CameraOutput {
 public:
  struct Received {
    std::uint64_t sequence;
    std::uint64_t hostTime;
    bool written;
    std::byte firstByte;
  };
  explicit FakeOutput(OSType format = kCVPixelFormatType_32BGRA) : format_(format) {}

  std::string_view name() const override { return "fake"; }
  void start(const std::shared_ptr<CMIOExtensionProvider>& provider, OutputListener& listener) override {
    listener_ = &listener;
    stream_ = provider->devices().at(0)->streams().at(0);
  }
  void send(const CMIOExtensionStream& stream, OutputFrame& frame) override {
    EXPECT_EQ(&stream, stream_.get());
    std::vector<std::byte> pixels(4 * 2 * 4, std::byte{0xEE});
    const bool written = frame.writeInto({pixels.data(), 4, 2, 16}, format_);
    received.push_back({frame.sequence(), frame.hostTimeInNanoseconds(), written, pixels[0]});
  }
  void shutdown() override {
    ++shutdowns;
    if (reportLossAtShutdown && listener_) consumers(false);
  }

  void consumers(bool present) { listener_->consumersChanged(*this, *stream_, present); }

  std::vector<Received> received;
  int shutdowns = 0;
  bool reportLossAtShutdown = false;

 private:
  OSType format_;
  OutputListener* listener_ = nullptr;
  std::shared_ptr<CMIOExtensionStream> stream_;
};

class OutputsHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    provider = CMIOExtensionProvider::initWithSource(host, providerSource, nullptr);
    device =
        CMIOExtensionDevice::initWithLocalizedName(host, "Kolv Camera", NSUUID::UUID(), std::nullopt, deviceSource);
    stream = CMIOExtensionStream::initWithLocalizedName(host, "Kolv Camera Video", NSUUID::UUID(),
                                                        CMIOExtensionStreamDirection::source,
                                                        CMIOExtensionStreamClockType::hostTime, streamSource);
    ASSERT_TRUE(device->addStream(stream, nullptr));
    ASSERT_TRUE(provider->addDevice(device, nullptr));
    CMIOExtensionProvider::startServiceWithProvider(provider);
  }

  // A grey frame of the camera's own, as the core sends one, at `time`.
  void tick(std::uint64_t time, std::byte value = std::byte{0x40}) {
    auto picture = std::make_shared<MemoryPixelBuffer>(4, 2, 16, kCVPixelFormatType_32BGRA);
    std::fill(picture->bytes().begin(), picture->bytes().end(), value);
    auto sample = std::make_shared<CMSampleBuffer>();
    sample->imageBuffer = picture;
    stream->sendSampleBuffer(sample, CMIOExtensionStreamDiscontinuityFlagNone, time);
  }

  RecordingLog log;
  FakeOutput pipeWire;
  FakeOutput loopback;
  OutputsHost host{log, {pipeWire, loopback}};
  std::shared_ptr<FakeProviderSource> providerSource = std::make_shared<FakeProviderSource>();
  std::shared_ptr<FakeDeviceSource> deviceSource = std::make_shared<FakeDeviceSource>();
  std::shared_ptr<CountingStreamSource> streamSource = std::make_shared<CountingStreamSource>();
  std::shared_ptr<CMIOExtensionProvider> provider;
  std::shared_ptr<CMIOExtensionDevice> device;
  std::shared_ptr<CMIOExtensionStream> stream;
};

TEST_F(OutputsHostTest, TheStreamRunsFromTheFirstConsumerAtAnyOutputToTheLastOne) {
  pipeWire.consumers(true);
  EXPECT_EQ(streamSource->starts(), 1);
  loopback.consumers(true);
  loopback.consumers(true);  // said twice: still one output with consumers
  pipeWire.consumers(false);
  EXPECT_EQ(streamSource->starts(), 1);
  EXPECT_EQ(streamSource->stops(), 0);  // the loopback device still has a reader
  loopback.consumers(false);
  EXPECT_EQ(streamSource->stops(), 1);
  loopback.consumers(false);
  EXPECT_EQ(streamSource->stops(), 1);

  // A new period, begun at the other output, is a new start.
  loopback.consumers(true);
  EXPECT_EQ(streamSource->starts(), 2);
  loopback.consumers(false);
  EXPECT_EQ(streamSource->stops(), 2);
}

TEST_F(OutputsHostTest, FramesReachOnlyTheOutputsWithConsumersUnderOneNumber) {
  tick(1);  // nobody watches
  pipeWire.consumers(true);
  tick(2);
  tick(3);
  loopback.consumers(true);
  tick(4);
  pipeWire.consumers(false);
  tick(5);
  loopback.consumers(false);
  tick(6);

  ASSERT_EQ(pipeWire.received.size(), 3u);
  ASSERT_EQ(loopback.received.size(), 2u);
  EXPECT_EQ(pipeWire.received[0].hostTime, 2u);
  EXPECT_EQ(pipeWire.received[2].hostTime, 4u);
  EXPECT_EQ(loopback.received[0].hostTime, 4u);
  EXPECT_EQ(loopback.received[1].hostTime, 5u);
  // The same frame has the same number at both outputs; numbers follow the frames sent.
  EXPECT_EQ(pipeWire.received[2].sequence, loopback.received[0].sequence);
  EXPECT_EQ(pipeWire.received[1].sequence, pipeWire.received[0].sequence + 1);
  EXPECT_EQ(loopback.received[1].sequence, loopback.received[0].sequence + 1);
  for (const auto& frame : pipeWire.received) {
    EXPECT_TRUE(frame.written);
    EXPECT_EQ(frame.firstByte, std::byte{0x40});
  }
}

// A picture that counts how often it is read.
class CountingPicture final : public CVPixelBuffer {
 public:
  std::size_t width() const override { return 4; }
  std::size_t height() const override { return 2; }
  std::size_t bytesPerRow() const override { return 16; }
  OSType pixelFormatType() const override { return kCVPixelFormatType_32BGRA; }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags) override {
    ++locks;
    return noErr;
  }
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags) override { return noErr; }
  void* baseAddress() const override { return const_cast<std::byte*>(bytes.data()); }
  int locks = 0;
  std::vector<std::byte> bytes = std::vector<std::byte>(32, std::byte{0x40});
};

TEST_F(OutputsHostTest, WithoutConsumersAFrameIsNotEvenRead) {
  auto picture = std::make_shared<CountingPicture>();
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = picture;
  stream->sendSampleBuffer(sample, 0, 1);
  EXPECT_EQ(picture->locks, 0);
  pipeWire.consumers(true);
  loopback.consumers(true);
  stream->sendSampleBuffer(sample, 0, 2);
  EXPECT_EQ(picture->locks, 1);  // once for both outputs
}

TEST_F(OutputsHostTest, ShutdownOwesOneStopPerStartWhateverTheOutputsReport) {
  pipeWire.reportLossAtShutdown = true;  // reports its consumers gone while shutting down
  pipeWire.consumers(true);
  loopback.consumers(true);  // does not
  host.shutdown();
  EXPECT_EQ(pipeWire.shutdowns, 1);
  EXPECT_EQ(loopback.shutdowns, 1);
  EXPECT_EQ(streamSource->starts(), 1);
  EXPECT_EQ(streamSource->stops(), 1);

  // Afterwards nothing is sent, nothing starts, and shutting down again changes nothing.
  tick(7);
  loopback.consumers(true);
  tick(8);
  host.shutdown();
  EXPECT_TRUE(pipeWire.received.empty());
  EXPECT_TRUE(loopback.received.empty());
  EXPECT_EQ(pipeWire.shutdowns, 1);
  EXPECT_EQ(streamSource->starts(), 1);
  EXPECT_EQ(streamSource->stops(), 1);
}

TEST_F(OutputsHostTest, ShutdownWithoutAPeriodSendsNoStop) {
  pipeWire.consumers(true);
  pipeWire.consumers(false);
  host.shutdown();
  EXPECT_EQ(streamSource->starts(), 1);
  EXPECT_EQ(streamSource->stops(), 1);
}

// The core's stop request cancels the frame timer and waits for a tick under way; that tick is
// in sendSampleBuffer on the frame queue. The host must not hold, while it stops the stream, a
// lock that sendSampleBuffer takes, or the two wait for each other for ever.
TEST_F(OutputsHostTest, AStopWaitingForATickInProgressDoesNotDeadlock) {
  pipeWire.consumers(true);
  loopback.consumers(true);
  streamSource->onStop = [this] {
    std::thread tickInProgress([this] { tick(9); });
    tickInProgress.join();
  };
  auto done = std::async(std::launch::async, [this] {
    pipeWire.consumers(false);
    loopback.consumers(false);
  });
  ASSERT_EQ(done.wait_for(30s), std::future_status::ready) << "the stop and the tick wait for each other";
  EXPECT_EQ(streamSource->stops(), 1);
  // The tick came after the last output said it had no consumer left: it reached nobody.
  EXPECT_EQ(loopback.received.size(), 0u);
}

}  // namespace
}  // namespace kolv::output
