// One frame written into the buffers of several outputs: a picture of a surface format is
// converted once per frame and format, never taken from an earlier frame, YUV outputs get the
// picture as 'BGRA' at their size converted, and an output whose format cannot show it gets grey.
#include "platform/output/output_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "handoff/surface_layout.h"
#include "platform/output/picture_conversion.h"
#include "support/output_fakes.h"

namespace kolv::output {
namespace {

using testing::MemoryPixelBuffer;
using testing::RecordingLog;

constexpr std::size_t kWidth = 8;
constexpr std::size_t kHeight = 4;

// An NV12 picture whose luma is `y` everywhere and chroma neutral.
CMSampleBufferRef nv12Sample(std::uint8_t y) {
  auto picture = std::make_shared<MemoryPixelBuffer>(kWidth, kHeight, kWidth, kSurfacePixelFormatNV12);
  const SurfacePlanes planes = surfacePlanes(kWidth, kHeight, kSurfacePixelFormatNV12, kWidth);
  picture->bytes().assign(planes.size, std::byte{128});
  std::fill_n(picture->bytes().begin(), kWidth * kHeight, std::byte{y});
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = picture;
  return sample;
}

struct Buffer {
  std::vector<std::byte> bytes = std::vector<std::byte>(kWidth * 4 * kHeight, std::byte{0xEE});
  TargetPicture picture() { return {bytes.data(), kWidth, kHeight, kWidth * 4}; }
};

// What convertToBGRA makes of the same picture, straight into a buffer.
std::vector<std::byte> converted(const CMSampleBufferRef& sample) {
  Buffer out;
  const auto& image = sample->imageBuffer;
  EXPECT_TRUE(convertToBGRA({static_cast<const std::byte*>(image->baseAddress()), kWidth, kHeight, kWidth},
                            kSurfacePixelFormatNV12, out.picture()));
  return out.bytes;
}

class OutputFrameTest : public ::testing::Test {
 protected:
  RecordingLog log;
  FramePictures pictures{log, "Kolv Camera Video"};
};

TEST_F(OutputFrameTest, TwoOutputsOfOneFormatShareOneConversion) {
  const auto dark = nv12Sample(40);
  Buffer first, second;
  {
    OutputFrame frame(pictures, dark, 0, 1, 0, 2);
    ASSERT_TRUE(frame.writeInto(first.picture(), kCVPixelFormatType_32BGRA));
    frame.nextOutput();
    ASSERT_TRUE(frame.writeInto(second.picture(), kCVPixelFormatType_32BGRA));
  }
  EXPECT_EQ(pictures.conversions(), 1u);
  EXPECT_EQ(first.bytes, converted(dark));
  EXPECT_EQ(second.bytes, converted(dark));

  // The next frame, another picture: converted again, never the last frame's pixels.
  const auto light = nv12Sample(200);
  Buffer third, fourth;
  {
    OutputFrame frame(pictures, light, 0, 2, 1, 2);
    ASSERT_TRUE(frame.writeInto(third.picture(), kCVPixelFormatType_32BGRA));
    frame.nextOutput();
    ASSERT_TRUE(frame.writeInto(fourth.picture(), kCVPixelFormatType_32BGRA));
  }
  EXPECT_EQ(pictures.conversions(), 2u);
  EXPECT_EQ(third.bytes, converted(light));
  EXPECT_EQ(fourth.bytes, converted(light));
  EXPECT_NE(third.bytes, first.bytes);
}

TEST_F(OutputFrameTest, ASingleOutputConvertsStraightIntoItsBuffer) {
  const auto sample = nv12Sample(90);
  Buffer only;
  OutputFrame frame(pictures, sample, 0, 1, 0, 1);
  ASSERT_TRUE(frame.writeInto(only.picture(), kCVPixelFormatType_32BGRA));
  EXPECT_EQ(pictures.conversions(), 1u);
  EXPECT_EQ(only.bytes, converted(sample));
}

TEST_F(OutputFrameTest, AnOutputThatCannotShowThePictureGetsGreyAndOneLineForTheStream) {
  const auto sample = nv12Sample(90);
  for (int tick = 0; tick < 3; ++tick) {
    Buffer bgra, rgba;
    OutputFrame frame(pictures, sample, 0, 1, 0, 2);
    ASSERT_TRUE(frame.writeInto(bgra.picture(), kCVPixelFormatType_32BGRA));
    frame.nextOutput();
    ASSERT_TRUE(frame.writeInto(rgba.picture(), fourCC("RGBA")));
    EXPECT_EQ(bgra.bytes, converted(sample));
    EXPECT_TRUE(std::all_of(rgba.bytes.begin(), rgba.bytes.end(), [](std::byte b) { return b == kBlankByte; }));
  }
  EXPECT_EQ(log.count("pixel format 'NV12' cannot be shown"), 1u);
}

// A 'BGRA' picture of `width` x `height`, every pixel `b, g, r`.
CMSampleBufferRef bgraSample(std::size_t width, std::size_t height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  auto picture = std::make_shared<MemoryPixelBuffer>(width, height, width * 4, kCVPixelFormatType_32BGRA);
  for (std::size_t i = 0; i < width * height; ++i) {
    auto* pixel = &picture->bytes()[i * 4];
    pixel[0] = std::byte{b}, pixel[1] = std::byte{g}, pixel[2] = std::byte{r}, pixel[3] = std::byte{255};
  }
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = picture;
  return sample;
}

// A kWidth x kHeight buffer of a YUV format, its rows as short as they can be.
struct YUVBuffer {
  OSType format;
  std::vector<std::byte> bytes;
  explicit YUVBuffer(OSType f)
      : format(f), bytes(pictureBytes(f, kWidth, kHeight, minimumBytesPerRow(kWidth, f)), std::byte{0xEE}) {}
  TargetPicture picture() { return {bytes.data(), kWidth, kHeight, minimumBytesPerRow(kWidth, format)}; }
  int at(std::size_t offset) const { return static_cast<int>(bytes.at(offset)); }
};

TEST_F(OutputFrameTest, YUVOutputsGetThePictureConvertedOncePerFormat) {
  // Pure red: Y 82, U 90, V 240 in BT.601 limited range.
  const auto red = bgraSample(kWidth, kHeight, 0, 0, 255);
  YUVBuffer yuy2a(fourCC("yuvs")), yuy2b(fourCC("yuvs")), nv12(fourCC("420v")), i420(fourCC("y420"));
  {
    OutputFrame frame(pictures, red, 0, 1, 0, 4);
    for (auto* buffer : {&yuy2a, &nv12, &yuy2b, &i420}) {
      ASSERT_TRUE(frame.writeInto(buffer->picture(), buffer->format)) << fourCCString(buffer->format);
      frame.nextOutput();
    }
  }
  EXPECT_EQ(pictures.conversions(), 3u);  // one a format, the picture being 'BGRA' already
  EXPECT_EQ(yuy2a.bytes, yuy2b.bytes);
  const auto near = [](int value, int expected) { return std::abs(value - expected) <= 2; };
  for (std::size_t i = 0; i < yuy2a.bytes.size(); i += 4) {  // Y0 U Y1 V
    ASSERT_TRUE(near(yuy2a.at(i), 82) && near(yuy2a.at(i + 1), 90) && near(yuy2a.at(i + 3), 240)) << i;
  }
  const std::size_t luma = kWidth * kHeight;
  for (std::size_t i = 0; i < luma; ++i) ASSERT_TRUE(near(nv12.at(i), 82) && near(i420.at(i), 82)) << i;
  for (std::size_t i = 0; i < luma / 4; ++i) {
    ASSERT_TRUE(near(nv12.at(luma + 2 * i), 90) && near(nv12.at(luma + 2 * i + 1), 240)) << i;
    ASSERT_TRUE(near(i420.at(luma + i), 90) && near(i420.at(luma + luma / 4 + i), 240)) << i;
  }
}

TEST_F(OutputFrameTest, YUVOutputsGetAnotherSizeOrFormatPlacedOrGreyFirst) {
  // A smaller white picture: placed in 'BGRA' with grey round it, then converted.
  const auto white = bgraSample(kWidth / 2, kHeight / 2, 255, 255, 255);
  YUVBuffer placed(fourCC("y420"));
  {
    OutputFrame frame(pictures, white, 0, 1, 0, 1);
    ASSERT_TRUE(frame.writeInto(placed.picture(), placed.format));
  }
  std::vector<std::byte> bgra(kWidth * kHeight * 4);
  const auto& image = white->imageBuffer;
  ASSERT_TRUE(placePicture({static_cast<const std::byte*>(image->baseAddress()), kWidth / 2, kHeight / 2, kWidth * 2},
                           {bgra.data(), kWidth, kHeight, kWidth * 4}, 4));
  YUVBuffer expected(fourCC("y420"));
  ASSERT_TRUE(convertFromBGRA({bgra.data(), kWidth, kHeight, kWidth * 4}, expected.picture(), expected.format));
  EXPECT_EQ(placed.bytes, expected.bytes);
  EXPECT_EQ(placed.at(kHeight / 2 * kWidth + kWidth / 2), 235);  // white in the middle
  EXPECT_NE(placed.at(0), 235);                                  // grey round it

  // An NV12 picture to an NV12 output of its size, whatever the code names it: copied as it is.
  const auto nv12 = nv12Sample(77);
  YUVBuffer copied(fourCC("420v"));
  const auto conversions = pictures.conversions();
  {
    OutputFrame frame(pictures, nv12, 0, 2, 1, 1);
    ASSERT_TRUE(frame.writeInto(copied.picture(), copied.format));
  }
  EXPECT_EQ(pictures.conversions(), conversions);
  EXPECT_EQ(copied.bytes, static_cast<MemoryPixelBuffer&>(*nv12->imageBuffer).bytes());

  // A picture nothing can show: the YUV of the camera's grey, and one line.
  auto unknown = std::make_shared<MemoryPixelBuffer>(kWidth, kHeight, kWidth * 4, fourCC("XYZW"));
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = unknown;
  YUVBuffer grey(fourCC("yuvs"));
  {
    OutputFrame frame(pictures, sample, 0, 3, 2, 1);
    ASSERT_TRUE(frame.writeInto(grey.picture(), grey.format));
  }
  for (std::size_t i = 0; i < grey.bytes.size(); i += 2) ASSERT_TRUE(grey.at(i) == 71 && grey.at(i + 1) == 128) << i;
  EXPECT_EQ(log.count("pixel format 'XYZW' cannot be shown"), 1u);
}

TEST_F(OutputFrameTest, FramesThatCannotBeWrittenSaySo) {
  Buffer target;
  OutputFrame empty(pictures, std::make_shared<CMSampleBuffer>(), 0, 1, 0, 1);
  EXPECT_FALSE(empty.writeInto(target.picture(), kCVPixelFormatType_32BGRA));
  OutputFrame frame(pictures, nv12Sample(1), 0, 1, 0, 1);
  EXPECT_FALSE(frame.writeInto(target.picture(), fourCC("XYZW")));  // no size known for it
  EXPECT_TRUE(std::all_of(target.bytes.begin(), target.bytes.end(), [](std::byte b) { return b == std::byte{0xEE}; }));
}

}  // namespace
}  // namespace kolv::output
