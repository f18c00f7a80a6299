// The V4L2 output behind the camera host, on a fake kernel and a node that is a plain file
// (so that inotify sees the test's opens as a reader's): readers are the output's consumers,
// reported once when the first comes and once when the last goes; frames are written in the
// device's format; a device whose writes fail or whose node goes away is reported lost and
// taken again when it is back; shutdown reports the readers lost and nothing after.
#include "platform/v4l2loopback/loopback_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <vector>

#include "support/output_fakes.h"
#include "v4l2loopback/fake_device_calls.h"

namespace kolv::v4l2loopback {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using output::testing::AcceptingHost;
using output::testing::CountingStreamSource;
using output::testing::FakeDeviceSource;
using output::testing::FakeProviderSource;
using output::testing::MemoryPixelBuffer;
using output::testing::RecordingLog;
using testing::FakeCalls;

constexpr std::size_t kWidth = 32;
constexpr std::size_t kHeight = 16;
// Generous: the watch thread answers in microseconds, but the machine may be busy.
constexpr auto kPatience = 20s;

// The host's side: every report, in order.
class RecordingListener final : public output::OutputListener {
 public:
  void consumersChanged(output::CameraOutput&, const CMIOExtensionStream& stream, bool hasConsumers) override {
    std::lock_guard lock(mutex_);
    streams_.push_back(&stream);
    reports_.push_back(hasConsumers);
    changed_.notify_all();
  }
  // Waits for the `n`th report and returns it.
  std::optional<bool> report(std::size_t n) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kPatience, [&] { return reports_.size() >= n; })) return std::nullopt;
    return reports_[n - 1];
  }
  std::vector<bool> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::vector<const CMIOExtensionStream*> streams() {
    std::lock_guard lock(mutex_);
    return streams_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> reports_;
  std::vector<const CMIOExtensionStream*> streams_;
};

// Opens the node as a reader does, for as long as it lives, and is among the openers that the
// fake kernel finds in /proc meanwhile.
class Reader {
 public:
  // Counted before the open and uncounted before the close: /proc shows the descriptor by the
  // time its IN_OPEN is read, and no longer by the time its IN_CLOSE is.
  Reader(const fs::path& node, FakeCalls* calls) : calls_(calls) {
    if (calls_) ++calls_->openers;
    fd_ = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 && calls_) --calls_->openers;
  }
  ~Reader() { close(); }
  void close() {
    if (fd_ < 0) return;
    if (calls_) --calls_->openers;
    ::close(fd_);
    fd_ = -1;
  }
  bool isOpen() const { return fd_ >= 0; }

 private:
  FakeCalls* calls_;
  int fd_ = -1;
};

class LoopbackOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kolv-v4l2-output-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    node_ = root_ / "video10";
    std::ofstream(node_).put('\0');

    provider_ = CMIOExtensionProvider::initWithSource(host_, providerSource_, nullptr);
    device_ = CMIOExtensionDevice::initWithLocalizedName(host_, "Kolv Camera", NSUUID::UUID(), std::nullopt,
                                                         std::make_shared<FakeDeviceSource>());
    stream_ = CMIOExtensionStream::initWithLocalizedName(
        host_, "Kolv Camera Video", NSUUID::UUID(), CMIOExtensionStreamDirection::source,
        CMIOExtensionStreamClockType::hostTime, std::make_shared<CountingStreamSource>());
    ASSERT_TRUE(device_->addStream(stream_, nullptr));
    ASSERT_TRUE(provider_->addDevice(device_, nullptr));
  }
  void TearDown() override {
    if (output_) output_->shutdown();
    fs::remove_all(root_);
  }

  // Starts the output on the node and waits until it holds the device and watches the node.
  void startHolding() {
    LoopbackOutputOptions options;
    options.writer.device = node_.string();
    options.writer.devices = root_;
    options.writer.width = kWidth;
    options.writer.height = kHeight;
    options.retry = 20ms;
    auto calls = std::make_unique<FakeCalls>();
    calls_ = calls.get();
    calls_->openNode = true;
    output_.emplace(log_, options, std::move(calls));
    output_->start(provider_, listener_);
    ASSERT_TRUE(watching(1));
  }
  // Whether the output has begun watching the node for the `n`th time (it counts the openers
  // from before the watch right after adding it).
  bool watching(int n) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (calls_->counts < n) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // One frame, a picture of one colour (B, G, R), through the output as the host sends it.
  void send(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    auto picture = std::make_shared<MemoryPixelBuffer>(kWidth, kHeight, kWidth * 4, kCVPixelFormatType_32BGRA);
    for (std::size_t i = 0; i < picture->bytes().size(); i += 4) {
      picture->bytes()[i] = std::byte{b};
      picture->bytes()[i + 1] = std::byte{g};
      picture->bytes()[i + 2] = std::byte{r};
      picture->bytes()[i + 3] = std::byte{0xff};
    }
    auto sample = std::make_shared<CMSampleBuffer>();
    sample->imageBuffer = picture;
    output::OutputFrame frame(pictures_, sample, 0, 0, sequence_++, 1);
    output_->send(*stream_, frame);
  }
  std::vector<std::vector<std::byte>> written() {
    std::lock_guard lock(calls_->mutex);
    return calls_->written;
  }
  std::size_t lines(std::string_view fragment) const { return log_.count(fragment); }

  fs::path root_;
  fs::path node_;
  RecordingLog log_;
  RecordingListener listener_;
  AcceptingHost host_;
  std::shared_ptr<FakeProviderSource> providerSource_ = std::make_shared<FakeProviderSource>();
  std::shared_ptr<CMIOExtensionProvider> provider_;
  std::shared_ptr<CMIOExtensionDevice> device_;
  std::shared_ptr<CMIOExtensionStream> stream_;
  output::FramePictures pictures_{log_, "Kolv Camera Video"};
  std::uint64_t sequence_ = 0;
  FakeCalls* calls_ = nullptr;  // owned by the output
  std::optional<LoopbackOutput> output_;
};

TEST_F(LoopbackOutputTest, ReadersAreConsumersFromTheFirstOpenToTheLastCloseWhichLeavesGrey) {
  ASSERT_NO_FATAL_FAILURE(startHolding());
  {
    Reader first(node_, calls_);
    ASSERT_TRUE(first.isOpen());
    ASSERT_EQ(listener_.report(1), true);
    send(255, 255, 255);
    {
      Reader second(node_, calls_);
      first.close();  // one reader is left; the two closes below come together
    }
    ASSERT_EQ(listener_.report(2), false);
  }
  // Nothing more after the last one left, and every report was about the camera's stream.
  Reader again(node_, calls_);
  ASSERT_EQ(listener_.report(3), true);
  // The last reader's going left grey in the device, which a new reader is handed first.
  EXPECT_EQ(static_cast<int>(written().back()[0]), 71);  // grey's Y
  again.close();
  ASSERT_EQ(listener_.report(4), false);
  EXPECT_EQ(listener_.reports(), (std::vector<bool>{true, false, true, false}));
  for (const auto* stream : listener_.streams()) EXPECT_EQ(stream, stream_.get());
}

TEST_F(LoopbackOutputTest, ReadersFromBeforeTheWatchCountAndShutdownReportsThemLost) {
  // One other process had the node open when the watch began.
  Reader early(node_, nullptr);
  LoopbackOutputOptions options;
  options.writer.device = node_.string();
  options.writer.devices = root_;
  options.writer.width = kWidth;
  options.writer.height = kHeight;
  auto calls = std::make_unique<FakeCalls>();
  calls->openNode = true;
  calls->openers = 1;
  calls_ = calls.get();
  output_.emplace(log_, options, std::move(calls));
  output_->start(provider_, listener_);
  ASSERT_EQ(listener_.report(1), true);

  output_->shutdown();
  EXPECT_EQ(listener_.reports(), (std::vector<bool>{true, false}));
  early.close();
  output_->shutdown();
  EXPECT_EQ(listener_.reports(), (std::vector<bool>{true, false}));
}

TEST_F(LoopbackOutputTest, FramesGoInTheDevicesFormatAndAFailedWriteLetsTheDeviceGoUntilItWorks) {
  ASSERT_NO_FATAL_FAILURE(startHolding());
  Reader reader(node_, calls_);
  ASSERT_EQ(listener_.report(1), true);

  send(255, 255, 255);
  auto frames = written();
  ASSERT_EQ(frames.size(), 2u);  // the grey one that made it a capture device, and this one
  ASSERT_EQ(frames[1].size(), kWidth * kHeight * 2);
  for (std::size_t i = 0; i < frames[1].size(); i += 2) {
    ASSERT_EQ(static_cast<int>(frames[1][i]), 235) << i;  // white's Y, BT.601 limited range
    ASSERT_EQ(static_cast<int>(frames[1][i + 1]), 128) << i;
  }

  {
    std::lock_guard lock(calls_->mutex);
    calls_->writeError = ENODEV;
  }
  send(0, 0, 0);
  ASSERT_EQ(listener_.report(2), false);
  EXPECT_EQ(lines("failed (No such device)"), 1u);
  // Taken again by the retry; the reader that kept it open is found among the openers.
  {
    std::lock_guard lock(calls_->mutex);
    calls_->writeError = 0;
  }
  ASSERT_EQ(listener_.report(3), true);
  EXPECT_TRUE(watching(2));
  send(0, 0, 0);
  frames = written();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(static_cast<int>(frames.back()[0]), 16);  // black's Y
  EXPECT_EQ(lines("failed"), 1u);
}

TEST_F(LoopbackOutputTest, ANodeThatGoesAwayIsOneLineAndTheDeviceIsTakenWhenItReturns) {
  ASSERT_NO_FATAL_FAILURE(startHolding());
  {
    Reader reader(node_, calls_);
    ASSERT_EQ(listener_.report(1), true);
    fs::remove(node_);
    ASSERT_EQ(listener_.report(2), false);
  }
  EXPECT_EQ(lines("went away"), 1u);

  std::ofstream(node_).put('\0');
  ASSERT_TRUE(watching(2));
  Reader reader(node_, calls_);
  ASSERT_EQ(listener_.report(3), true);
  EXPECT_EQ(lines("went away"), 1u);
}

}  // namespace
}  // namespace kolv::v4l2loopback
