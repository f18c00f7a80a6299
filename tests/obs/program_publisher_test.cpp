// The OBS plugin's publisher on the real companion library, in a private runtime folder:
// frames land in the surface the hand-off names, frames that find no free surface are
// dropped and counted, and the publisher is there only between start() and stop().
#include "program_publisher.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "companion/companion_fixture.h"

namespace kolv::obs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using companion::test::CompanionTest;

class ProgramPublisherTest : public CompanionTest {
 protected:
  companion::Options base() {
    companion::Options result = options();
    result.surfaceCount = 2;
    result.maxSurfaceCount = 2;
    return result;
  }
  ProgramPublisher::Log recordLog() {
    return [this](std::string_view line) { log.emplace_back(line); };
  }

  // The picture bytes of the surface the surface-ID file names: `rows` rows of `rowBytes`.
  std::vector<std::uint8_t> namedPicture(std::uint32_t rows, std::uint32_t rowBytes) {
    const std::vector<std::byte> id = companion::test::peekBytes(container() / "kolvcamera_surface_id");
    if (id.size() != 4) return {};
    std::uint32_t surfaceID = 0;
    std::memcpy(&surfaceID, id.data(), 4);
    std::ifstream surface(registry() / std::to_string(surfaceID), std::ios::binary);
    std::array<char, 64> header{};
    surface.read(header.data(), header.size());
    std::uint32_t bytesPerRow = 0;
    std::uint64_t offset = 0;
    std::memcpy(&bytesPerRow, header.data() + 28, 4);
    std::memcpy(&offset, header.data() + 32, 8);
    std::vector<std::uint8_t> picture;
    std::vector<char> row(rowBytes);
    for (std::uint32_t r = 0; r < rows; ++r) {
      surface.seekg(static_cast<std::streamoff>(offset + static_cast<std::uint64_t>(r) * bytesPerRow));
      if (!surface.read(row.data(), rowBytes)) return {};
      picture.insert(picture.end(), row.begin(), row.end());
    }
    return picture;
  }

  std::vector<std::string> log;
};

constexpr PicturePlan kPlan{Format::bgra, 64, 36, false};
constexpr std::uint32_t kRowBytes = 64 * 4;
constexpr std::uint32_t kStride = kRowBytes + 32;  // OBS's rows may be padded

// One frame of the plan with every picture byte `value` and the padding 0xFF.
std::vector<std::uint8_t> frameOf(std::uint8_t value) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(36) * kStride, 0xFF);
  for (std::uint32_t r = 0; r < 36; ++r) std::memset(bytes.data() + r * kStride, value, kRowBytes);
  return bytes;
}

TEST_F(ProgramPublisherTest, EachFrameGoesOutInTheSurfaceTheHandOffNames) {
  ProgramPublisher publisher(base(), recordLog());
  std::string error;
  ASSERT_TRUE(publisher.start(kPlan, &error)) << error;
  for (std::uint8_t value : {0x11, 0x22, 0x33}) {
    const std::vector<std::uint8_t> frame = frameOf(value);
    const std::array<SourcePlane, 1> planes = {SourcePlane{frame.data(), kStride}};
    ASSERT_EQ(publisher.frame(planes), ProgramPublisher::FrameResult::published);
    EXPECT_EQ(namedPicture(36, kRowBytes), std::vector<std::uint8_t>(36 * kRowBytes, value));
    clock_->now += 200ms;  // the surface drawn two frames ago has rested
  }
  EXPECT_EQ(publisher.counts().published, 3u);
  EXPECT_EQ(publisher.counts().busy, 0u);
  EXPECT_TRUE(log.empty());
}

TEST_F(ProgramPublisherTest, AFrameWithoutAFreeSurfaceIsDroppedAndCountedUntilOneHasRested) {
  ProgramPublisher publisher(base(), recordLog());
  ASSERT_TRUE(publisher.start(kPlan, nullptr));
  const std::vector<std::uint8_t> first = frameOf(0x44), second = frameOf(0x55), third = frameOf(0x66);
  const std::array<SourcePlane, 1> one = {SourcePlane{first.data(), kStride}};
  const std::array<SourcePlane, 1> two = {SourcePlane{second.data(), kStride}};
  const std::array<SourcePlane, 1> three = {SourcePlane{third.data(), kStride}};
  ASSERT_EQ(publisher.frame(one), ProgramPublisher::FrameResult::published);
  ASSERT_EQ(publisher.frame(two), ProgramPublisher::FrameResult::published);
  // Both surfaces were handed over just now: the third frame must not be drawn into either.
  EXPECT_EQ(publisher.frame(three), ProgramPublisher::FrameResult::busy);
  EXPECT_EQ(namedPicture(36, kRowBytes), std::vector<std::uint8_t>(36 * kRowBytes, 0x55));
  clock_->now += 200ms;
  EXPECT_EQ(publisher.frame(three), ProgramPublisher::FrameResult::published);
  EXPECT_EQ(namedPicture(36, kRowBytes), std::vector<std::uint8_t>(36 * kRowBytes, 0x66));
  const ProgramPublisher::Counts counts = publisher.counts();
  EXPECT_EQ(counts.published, 3u);
  EXPECT_EQ(counts.busy, 1u);
  EXPECT_EQ(counts.failed, 0u);
}

TEST_F(ProgramPublisherTest, PublishesOnlyBetweenStartAndStop) {
  ProgramPublisher publisher(base(), recordLog());
  const std::vector<std::uint8_t> frame = frameOf(0x77);
  const std::array<SourcePlane, 1> planes = {SourcePlane{frame.data(), kStride}};
  EXPECT_EQ(publisher.frame(planes), ProgramPublisher::FrameResult::notRunning);
  EXPECT_FALSE(fs::exists(container() / "kolvcamera_surface_id"));

  ASSERT_TRUE(publisher.start(kPlan, nullptr));
  ASSERT_EQ(publisher.frame(planes), ProgramPublisher::FrameResult::published);
  EXPECT_FALSE(fs::is_empty(registry()));
  publisher.stop();
  // OBS's video thread may still hand a frame over after the output stopped.
  EXPECT_EQ(publisher.frame(planes), ProgramPublisher::FrameResult::notRunning);
  EXPECT_FALSE(publisher.running());
  // The surfaces are gone: the camera finds nothing more and sends grey.
  EXPECT_TRUE(fs::is_empty(registry()));

  // A second start publishes again, with the counts of its own.
  ASSERT_TRUE(publisher.start(kPlan, nullptr));
  EXPECT_EQ(publisher.counts().published, 0u);
  EXPECT_EQ(publisher.frame(planes), ProgramPublisher::FrameResult::published);
}

TEST_F(ProgramPublisherTest, StartSaysInOneLineWhyItCannotPublish) {
  auto other = companion::Publisher::open(base());
  ASSERT_TRUE(other);
  ProgramPublisher publisher(base(), recordLog());
  std::string error;
  EXPECT_FALSE(publisher.start(kPlan, &error));
  EXPECT_NE(error.find("another companion is publishing"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_FALSE(publisher.running());
  other.reset();

  error.clear();
  EXPECT_FALSE(publisher.start({Format::other, 64, 36, false}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(publisher.start({Format::bgra, 0, 0, false}, &error));
  EXPECT_TRUE(publisher.start(kPlan, &error)) << error;
}

TEST_F(ProgramPublisherTest, AMalformedFrameIsLoggedOnceUntilFramesGoOutAgain) {
  ProgramPublisher publisher(base(), recordLog());
  ASSERT_TRUE(publisher.start(kPlan, nullptr));
  const std::vector<std::uint8_t> frame = frameOf(0x12);
  const std::array<SourcePlane, 1> tooNarrow = {SourcePlane{frame.data(), kRowBytes - 4}};
  EXPECT_EQ(publisher.frame(tooNarrow), ProgramPublisher::FrameResult::failed);
  EXPECT_EQ(publisher.frame(tooNarrow), ProgramPublisher::FrameResult::failed);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("64x36 BGRA"), std::string::npos) << log[0];

  const std::array<SourcePlane, 1> good = {SourcePlane{frame.data(), kStride}};
  EXPECT_EQ(publisher.frame(good), ProgramPublisher::FrameResult::published);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(publisher.counts().failed, 2u);
  // Nothing of the malformed frames reached a surface before the good one.
  EXPECT_EQ(namedPicture(36, kRowBytes), std::vector<std::uint8_t>(36 * kRowBytes, 0x12));
}

}  // namespace
}  // namespace kolv::obs
