// One frame written into the buffers of several outputs: a picture of a surface format is
// converted once per frame and format, never taken from an earlier frame, and an output whose
// format cannot show it gets grey.
#include "platform/output/output_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
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
