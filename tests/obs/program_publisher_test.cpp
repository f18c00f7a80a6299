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

  // The planes of the surface the surface-ID file names, read as docs/surface-format.md lays
  // them out from its header: the picture bytes of each plane's rows, and the header's format.
  struct NamedPlanes {
    std::uint32_t pixelFormat = 0;
    std::vector<std::vector<std::uint8_t>> planes;
  };
  NamedPlanes namedPlanes() {
    NamedPlanes result;
    const std::vector<std::byte> id = companion::test::peekBytes(container() / "kolvcamera_surface_id");
    if (id.size() != 4) return result;
    std::uint32_t surfaceID = 0;
    std::memcpy(&surfaceID, id.data(), 4);
    const std::vector<std::byte> file = companion::test::readBytes(registry() / std::to_string(surfaceID));
    if (file.size() < 64) return result;
    std::uint32_t width = 0, height = 0, bpr = 0;
    std::uint64_t offset = 0;
    std::memcpy(&width, file.data() + 16, 4);
    std::memcpy(&height, file.data() + 20, 4);
    std::memcpy(&result.pixelFormat, file.data() + 24, 4);
    std::memcpy(&bpr, file.data() + 28, 4);
    std::memcpy(&offset, file.data() + 32, 8);
    const std::uint32_t chromaRows = (height + 1) / 2, chromaWidth = (width + 1) / 2;
    struct Layout {
      std::uint32_t rows, stride, rowBytes;
    };
    std::vector<Layout> layout;
    if (result.pixelFormat == companion::kPixelFormatNV12) {
      layout = {{height, bpr, width}, {chromaRows, bpr, 2 * chromaWidth}};
    } else if (result.pixelFormat == companion::kPixelFormatI420) {
      layout = {
          {height, bpr, width}, {chromaRows, (bpr + 1) / 2, chromaWidth}, {chromaRows, (bpr + 1) / 2, chromaWidth}};
    } else {
      layout = {{height, bpr, width * 4}};
    }
    for (const Layout& plane : layout) {
      std::vector<std::uint8_t> bytes;
      for (std::uint32_t r = 0; r < plane.rows; ++r) {
        const std::size_t start = offset + static_cast<std::size_t>(r) * plane.stride;
        if (start + plane.rowBytes > file.size()) return {};
        for (std::uint32_t x = 0; x < plane.rowBytes; ++x)
          bytes.push_back(std::to_integer<std::uint8_t>(file[start + x]));
      }
      result.planes.push_back(std::move(bytes));
      offset += static_cast<std::uint64_t>(plane.rows) * plane.stride;
    }
    return result;
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

// OBS's NV12 and I420 frames go out as they are: in a surface of that format, each plane
// from OBS's plane, through strides that differ from the surface's.
TEST_F(ProgramPublisherTest, YuvFramesGoOutInTheirOwnFormatPlaneByPlane) {
  struct Case {
    Format format;
    std::uint32_t pixelFormat;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> planes;  // rows, bytes of picture per row
  };
  const std::vector<Case> cases = {
      {Format::nv12, companion::kPixelFormatNV12, {{36, 64}, {18, 64}}},
      {Format::i420, companion::kPixelFormatI420, {{36, 64}, {18, 32}, {18, 32}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(formatName(c.format));
    ProgramPublisher publisher(base(), recordLog());
    std::string error;
    ASSERT_TRUE(publisher.start({c.format, 64, 36, false}, &error)) << error;
    // Each plane numbered apart from the others (row, column and plane), OBS's rows padded
    // with 0xFF.
    std::vector<std::vector<std::uint8_t>> frames, expected;
    std::vector<SourcePlane> source;
    for (std::size_t p = 0; p < c.planes.size(); ++p) {
      const auto [rows, rowBytes] = c.planes[p];
      const std::uint32_t stride = rowBytes + 16;
      std::vector<std::uint8_t> frame(static_cast<std::size_t>(rows) * stride, 0xFF), picture;
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t x = 0; x < rowBytes; ++x) {
          frame[r * stride + x] = static_cast<std::uint8_t>(p * 80 + r * 3 + x);
          picture.push_back(frame[r * stride + x]);
        }
      }
      frames.push_back(std::move(frame));
      expected.push_back(std::move(picture));
    }
    for (std::size_t p = 0; p < c.planes.size(); ++p) source.push_back({frames[p].data(), c.planes[p].second + 16});
    ASSERT_EQ(publisher.frame(source), ProgramPublisher::FrameResult::published);

    const NamedPlanes named = namedPlanes();
    EXPECT_EQ(named.pixelFormat, c.pixelFormat);
    ASSERT_EQ(named.planes.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p) EXPECT_EQ(named.planes[p], expected[p]) << "plane " << p;
    // Planes missing from OBS's frame: nothing goes out.
    const std::span<const SourcePlane> yOnly(source.data(), 1);
    EXPECT_EQ(publisher.frame(yOnly), ProgramPublisher::FrameResult::failed);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("64x36 " + std::string(formatName(c.format))), std::string::npos) << log[0];
    EXPECT_EQ(namedPlanes().planes, expected);
    log.clear();
  }
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
