// Frames as a V4L2 reader gets them: each format's layout and colours (BT.601 limited range,
// as libyuv converts), the camera's grey, and pictures of another size or format.
#include "platform/v4l2loopback/loopback_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "handoff/surface_layout.h"
#include "platform/types.h"
#include "support/output_fakes.h"

namespace kolv::v4l2loopback {
namespace {

constexpr std::size_t kWidth = 16;
constexpr std::size_t kHeight = 8;

// A BGRA picture: the left half `left`, the right half `right` (B, G, R).
std::vector<std::byte> halves(std::size_t width, std::size_t height, std::array<std::uint8_t, 3> left,
                              std::array<std::uint8_t, 3> right) {
  std::vector<std::byte> picture(width * height * 4);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const auto& colour = x < width / 2 ? left : right;
      std::byte* pixel = picture.data() + (y * width + x) * 4;
      for (int c = 0; c < 3; ++c) pixel[c] = std::byte{colour[c]};
      pixel[3] = std::byte{0xff};
    }
  }
  return picture;
}

// One frame whose picture is `bytes`, of `format`, handed to `converter` as the camera host hands
// frames to its outputs.
bool convert(FrameConverter& converter, const std::vector<std::byte>& bytes, std::size_t width, std::size_t height,
             OSType format = kCVPixelFormatType_32BGRA, std::size_t bytesPerRow = 0) {
  if (bytesPerRow == 0) bytesPerRow = width * 4;
  auto picture = std::make_shared<output::testing::MemoryPixelBuffer>(width, height, bytesPerRow, format);
  picture->bytes().assign(bytes.begin(), bytes.end());
  picture->bytes().resize(height * bytesPerRow);
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = picture;
  output::testing::RecordingLog log;
  output::FramePictures pictures(log, "Kolv Camera Video");
  output::OutputFrame frame(pictures, sample, 0, 0, 0, 1);
  return converter.convert(frame);
}

std::uint8_t at(const FrameConverter& converter, std::size_t offset) {
  return static_cast<std::uint8_t>(converter.frame()[offset]);
}

constexpr std::array<std::uint8_t, 3> kWhite{255, 255, 255};
constexpr std::array<std::uint8_t, 3> kBlack{0, 0, 0};
constexpr std::array<std::uint8_t, 3> kGrey{0x40, 0x40, 0x40};
constexpr std::array<std::uint8_t, 3> kBlue{255, 0, 0};
// Y, U, V of those, BT.601 limited range.
constexpr std::uint8_t kWhiteY = 235, kBlackY = 16, kGreyY = 71, kNeutral = 128;

// A V4L2 code: its first letter in the lowest byte.
constexpr std::uint32_t v4l2Code(const char (&name)[5]) {
  return static_cast<std::uint32_t>(name[0]) | static_cast<std::uint32_t>(name[1]) << 8 |
         static_cast<std::uint32_t>(name[2]) << 16 | static_cast<std::uint32_t>(name[3]) << 24;
}

TEST(LoopbackFormatTest, NamesSizesAndV4L2Codes) {
  EXPECT_EQ(parseLoopbackFormat("yuyv"), LoopbackFormat::yuyv);
  EXPECT_EQ(parseLoopbackFormat("I420"), LoopbackFormat::i420);
  EXPECT_EQ(parseLoopbackFormat("Nv12"), LoopbackFormat::nv12);
  EXPECT_EQ(parseLoopbackFormat("BGRA"), LoopbackFormat::bgra);
  EXPECT_EQ(parseLoopbackFormat("YUY"), std::nullopt);
  EXPECT_EQ(parseLoopbackFormat("MJPG"), std::nullopt);
  EXPECT_EQ(parseLoopbackFormat(""), std::nullopt);

  // What readers are told and what ffmpeg computes for 1280x720.
  EXPECT_EQ(frameBytes(LoopbackFormat::yuyv, 1280, 720), 1843200u);
  EXPECT_EQ(frameBytes(LoopbackFormat::i420, 1280, 720), 1382400u);
  EXPECT_EQ(frameBytes(LoopbackFormat::nv12, 1280, 720), 1382400u);
  EXPECT_EQ(frameBytes(LoopbackFormat::bgra, 1280, 720), 3686400u);
  EXPECT_EQ(v4l2PixelFormat(LoopbackFormat::yuyv), v4l2Code("YUYV"));
  EXPECT_EQ(v4l2PixelFormat(LoopbackFormat::i420), v4l2Code("YU12"));
  EXPECT_EQ(v4l2PixelFormat(LoopbackFormat::nv12), v4l2Code("NV12"));
  EXPECT_EQ(v4l2PixelFormat(LoopbackFormat::bgra), v4l2Code("BGR4"));
}

TEST(LoopbackFormatTest, YUYVCarriesEachHalfInItsColours) {
  FrameConverter converter(LoopbackFormat::yuyv, kWidth, kHeight);
  const auto bytes = halves(kWidth, kHeight, kWhite, kBlack);
  ASSERT_TRUE(convert(converter, bytes, kWidth, kHeight, kCVPixelFormatType_32BGRA));
  ASSERT_EQ(converter.frame().size(), kWidth * kHeight * 2);
  const std::size_t row = 5 * kWidth * 2;
  // Y0 U Y1 V: a white pair on the left, a black pair on the right.
  EXPECT_EQ(at(converter, row + 0), kWhiteY);
  EXPECT_EQ(at(converter, row + 1), kNeutral);
  EXPECT_EQ(at(converter, row + 2), kWhiteY);
  EXPECT_EQ(at(converter, row + 3), kNeutral);
  EXPECT_EQ(at(converter, row + kWidth * 2 - 4), kBlackY);
  EXPECT_EQ(at(converter, row + kWidth * 2 - 2), kBlackY);
}

TEST(LoopbackFormatTest, PlanarFormatsPutChromaWhereReadersLookForIt) {
  // Blue has a U far above neutral and a V below it: swapped planes would show.
  const auto bytes = halves(kWidth, kHeight, kBlue, kGrey);
  const std::size_t luma = kWidth * kHeight;
  const std::size_t chroma = (kWidth / 2) * (kHeight / 2);

  FrameConverter i420(LoopbackFormat::i420, kWidth, kHeight);
  ASSERT_TRUE(convert(i420, bytes, kWidth, kHeight, kCVPixelFormatType_32BGRA));
  ASSERT_EQ(i420.frame().size(), luma + 2 * chroma);
  const std::uint8_t blueU = at(i420, luma);
  const std::uint8_t blueV = at(i420, luma + chroma);
  EXPECT_GT(blueU, 200);
  EXPECT_LT(blueV, 128);
  EXPECT_EQ(at(i420, luma + kWidth / 2 - 1), kNeutral);           // U of the grey half
  EXPECT_EQ(at(i420, luma + chroma + kWidth / 2 - 1), kNeutral);  // V of the grey half
  EXPECT_EQ(at(i420, kWidth - 1), kGreyY);

  FrameConverter nv12(LoopbackFormat::nv12, kWidth, kHeight);
  ASSERT_TRUE(convert(nv12, bytes, kWidth, kHeight, kCVPixelFormatType_32BGRA));
  ASSERT_EQ(nv12.frame().size(), luma + 2 * chroma);
  EXPECT_EQ(at(nv12, luma), blueU);  // U V interleaved
  EXPECT_EQ(at(nv12, luma + 1), blueV);
  EXPECT_EQ(at(nv12, luma + kWidth - 2), kNeutral);
  EXPECT_EQ(at(nv12, luma + kWidth - 1), kNeutral);
  for (std::size_t y = 0; y < kHeight; ++y) EXPECT_EQ(at(nv12, y * kWidth), at(i420, y * kWidth)) << "row " << y;
}

TEST(LoopbackFormatTest, GreyBeforeTheFirstPictureAndForPicturesThatCannotBeShown) {
  FrameConverter fresh(LoopbackFormat::yuyv, kWidth, kHeight);
  for (std::size_t i = 0; i < fresh.frame().size(); i += 2) {
    ASSERT_EQ(at(fresh, i), kGreyY) << i;
    ASSERT_EQ(at(fresh, i + 1), kNeutral) << i;
  }

  FrameConverter converter(LoopbackFormat::yuyv, kWidth, kHeight);
  const auto bytes = halves(kWidth, kHeight, kWhite, kWhite);
  ASSERT_TRUE(convert(converter, bytes, kWidth, kHeight, kCVPixelFormatType_32BGRA));
  ASSERT_EQ(at(converter, 0), kWhiteY);
  ASSERT_TRUE(convert(converter, bytes, kWidth, kHeight, fourCC("MJPG")));
  EXPECT_EQ(at(converter, 0), kGreyY);
  EXPECT_EQ(at(converter, converter.frame().size() - 2), kGreyY);

  // BGRA out: the camera's grey is 0x40 in every colour byte.
  FrameConverter bgra(LoopbackFormat::bgra, kWidth, kHeight);
  ASSERT_TRUE(convert(bgra, bytes, kWidth, kHeight, fourCC("MJPG")));
  for (std::size_t i = 0; i < bgra.frame().size(); i += 4) ASSERT_EQ(at(bgra, i), 0x40) << i;
}

TEST(LoopbackFormatTest, SmallerPictureIsCentredOnGreyAndUnreadableOneLeavesTheFrame) {
  FrameConverter converter(LoopbackFormat::yuyv, kWidth, kHeight);
  const auto small = halves(kWidth / 2, kHeight / 2, kWhite, kWhite);
  ASSERT_TRUE(convert(converter, small, kWidth / 2, kHeight / 2, kCVPixelFormatType_32BGRA));
  const auto y = [&](std::size_t column, std::size_t row) { return at(converter, row * kWidth * 2 + column * 2); };
  EXPECT_EQ(y(0, 0), kGreyY);
  EXPECT_EQ(y(kWidth / 2, 1), kGreyY);
  EXPECT_EQ(y(kWidth / 4, kHeight / 4), kWhiteY);
  EXPECT_EQ(y(kWidth * 3 / 4 - 1, kHeight * 3 / 4 - 1), kWhiteY);
  EXPECT_EQ(y(kWidth * 3 / 4, kHeight / 2), kGreyY);

  // Rows shorter than the width: nothing is converted, the last frame stays.
  const std::vector<std::byte> before(converter.frame().begin(), converter.frame().end());
  EXPECT_FALSE(convert(converter, small, kWidth, kHeight, kCVPixelFormatType_32BGRA, 4));
  EXPECT_TRUE(std::equal(before.begin(), before.end(), converter.frame().begin()));
}

TEST(LoopbackFormatTest, ASurfaceOfAnotherFormatIsConvertedOnceForThisAndAnotherOutput) {
  // A companion's NV12 surface, luma 200 and neutral chroma, going to a 'BGRA' output first.
  auto picture = std::make_shared<output::testing::MemoryPixelBuffer>(kWidth, kHeight, kWidth, kSurfacePixelFormatNV12);
  picture->bytes().assign(surfacePlanes(kWidth, kHeight, kSurfacePixelFormatNV12, kWidth).size, std::byte{128});
  std::fill_n(picture->bytes().begin(), kWidth * kHeight, std::byte{200});
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = picture;
  output::testing::RecordingLog log;
  output::FramePictures pictures(log, "Kolv Camera Video");
  std::vector<std::byte> other(kWidth * kHeight * 4);
  FrameConverter converter(LoopbackFormat::yuyv, kWidth, kHeight);
  {
    output::OutputFrame frame(pictures, sample, 0, 0, 0, 2);
    ASSERT_TRUE(frame.writeInto({other.data(), kWidth, kHeight, kWidth * 4}, kCVPixelFormatType_32BGRA));
    frame.nextOutput();
    ASSERT_TRUE(converter.convert(frame));
  }
  // NV12 to 'BGRA' once, for both; 'BGRA' to YUYV once.
  EXPECT_EQ(pictures.conversions(), 2u);
  EXPECT_NE(static_cast<std::uint8_t>(other[0]), 0x40);
  // Back in YUV the luma is what the companion drew, give or take rounding.
  for (std::size_t i = 0; i < converter.frame().size(); i += 2) {
    ASSERT_NEAR(at(converter, i), 200, 2) << i;
    ASSERT_NEAR(at(converter, i + 1), kNeutral, 2) << i;
  }
}

}  // namespace
}  // namespace kolv::v4l2loopback
