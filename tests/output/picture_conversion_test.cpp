// Pictures of the surface formats converted into the BGRA stream, checked pixel by pixel
// against the BT.601 limited-range equations, and the grey frames for formats that cannot be
// shown.
#include "platform/output/picture_conversion.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "handoff/surface_layout.h"
#include "platform/output/frame_writer.h"
#include "support/output_fakes.h"

namespace kolv::output {
namespace {

struct YUV {
  int y, u, v;
};
struct BGRA {
  int b, g, r, a;
};

// The reference conversion: BT.601, Y in 16..235, U and V in 16..240.
BGRA expectedBGRA(YUV p) {
  const double y = 1.164 * (p.y - 16);
  const auto clamp = [](double value) { return static_cast<int>(std::lround(std::clamp(value, 0.0, 255.0))); };
  return {clamp(y + 2.018 * (p.u - 128)), clamp(y - 0.391 * (p.u - 128) - 0.813 * (p.v - 128)),
          clamp(y + 1.596 * (p.v - 128)), 255};
}

// A picture of a YUV format laid out as a surface holds it, drawn from `at(x, y)`: each chroma
// sample takes the U and V of the top-left pixel it covers.
struct YUVPicture {
  std::uint32_t format;
  std::size_t width, height, bytesPerRow;
  std::vector<std::byte> bytes;

  YUVPicture(std::uint32_t f, std::size_t w, std::size_t h, std::size_t stride,
             const std::function<YUV(std::size_t, std::size_t)>& at)
      : format(f), width(w), height(h), bytesPerRow(stride) {
    const SurfacePlanes planes = surfacePlanes(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), f,
                                               static_cast<std::uint32_t>(stride));
    bytes.assign(planes.size, std::byte{0xEE});
    const auto put = [&](std::size_t plane, std::size_t row, std::size_t byte, int value) {
      const SurfacePlane& p = planes.planes[plane];
      bytes[p.offset + row * p.bytesPerRow + byte] = static_cast<std::byte>(value);
    };
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        const YUV pixel = at(x, y);
        const YUV chroma = at(x / 2 * 2, f == kSurfacePixelFormatYUY2 || f == kSurfacePixelFormatUYVY ? y : y / 2 * 2);
        switch (f) {
          case kSurfacePixelFormatNV12:
            put(0, y, x, pixel.y);
            if (y % 2 == 0 && x % 2 == 0) put(1, y / 2, x, chroma.u), put(1, y / 2, x + 1, chroma.v);
            break;
          case kSurfacePixelFormatI420:
            put(0, y, x, pixel.y);
            if (y % 2 == 0 && x % 2 == 0) put(1, y / 2, x / 2, chroma.u), put(2, y / 2, x / 2, chroma.v);
            break;
          case kSurfacePixelFormatYUY2:  // Y0 U Y1 V
            put(0, y, x * 2, pixel.y);
            if (x % 2 == 0) put(0, y, x * 2 + 1, chroma.u), put(0, y, x * 2 + 3, chroma.v);
            break;
          case kSurfacePixelFormatUYVY:  // U Y0 V Y1
            put(0, y, x * 2 + 1, pixel.y);
            if (x % 2 == 0) put(0, y, x * 2, chroma.u), put(0, y, x * 2 + 2, chroma.v);
            break;
        }
      }
    }
  }
  SourcePicture source() const { return {bytes.data(), width, height, bytesPerRow}; }
};

struct Target {
  std::size_t width, height, bytesPerRow;
  std::vector<std::byte> bytes;
  Target(std::size_t w, std::size_t h, std::size_t stride)
      : width(w), height(h), bytesPerRow(stride), bytes(h * stride, std::byte{0xEE}) {}
  TargetPicture picture() { return {bytes.data(), width, height, bytesPerRow}; }
  int at(std::size_t row, std::size_t byte) const { return std::to_integer<int>(bytes[row * bytesPerRow + byte]); }
};

// Checks that the target shows `expected(x, y)` of the source within ±2 at target pixel
// (x + left, y + top) and is 0x40 elsewhere, row padding included.
void expectShown(const Target& target, std::size_t columns, std::size_t rows, std::size_t left, std::size_t top,
                 const std::function<BGRA(std::size_t, std::size_t)>& expected) {
  for (std::size_t row = 0; row < target.height; ++row) {
    for (std::size_t byte = 0; byte < target.bytesPerRow; ++byte) {
      const std::size_t x = byte / 4;
      const bool inside = row >= top && row < top + rows && x >= left && x < left + columns;
      if (!inside) {
        ASSERT_EQ(target.at(row, byte), 0x40) << "row " << row << " byte " << byte;
        continue;
      }
      const BGRA want = expected(x - left, row - top);
      const int channel[] = {want.b, want.g, want.r, want.a};
      ASSERT_NEAR(target.at(row, byte), channel[byte % 4], 2) << "row " << row << " byte " << byte;
    }
  }
}

constexpr std::uint32_t kYUVFormats[] = {kSurfacePixelFormatNV12, kSurfacePixelFormatI420, kSurfacePixelFormatYUY2,
                                         kSurfacePixelFormatUYVY};

// Y, U and V all vary, so that a sample read from the wrong plane, row or column shows.
YUV gradient(std::size_t x, std::size_t y) {
  return {static_cast<int>(16 + (x * 23 + y * 41) % 220), static_cast<int>(16 + (x * 53 + y * 17) % 225),
          static_cast<int>(240 - (x * 29 + y * 61) % 225)};
}

TEST(PictureConversion, KnownYUVColoursBecomeTheirBGRA) {
  // Black, white, mid grey, red, green, blue, each a 2 x 2 block.
  const YUV colours[] = {{16, 128, 128}, {235, 128, 128}, {126, 128, 128},
                         {81, 90, 240},  {145, 54, 34},   {41, 240, 110}};
  const BGRA expected[] = {{0, 0, 0, 255},   {255, 255, 255, 255}, {128, 128, 128, 255},
                           {0, 0, 255, 255}, {0, 255, 0, 255},     {255, 0, 0, 255}};
  for (const std::uint32_t format : kYUVFormats) {
    SCOPED_TRACE(fourCCString(format));
    const YUVPicture picture(format, 12, 2, 24, [&](std::size_t x, std::size_t) { return colours[x / 2]; });
    Target target(12, 2, 48);
    ASSERT_TRUE(convertToBGRA(picture.source(), format, target.picture()));
    expectShown(target, 12, 2, 0, 0, [&](std::size_t x, std::size_t) { return expected[x / 2]; });
  }
}

TEST(PictureConversion, OddSizesAndPaddedRowsConvertEveryPixel) {
  for (const std::uint32_t format : kYUVFormats) {
    SCOPED_TRACE(fourCCString(format));
    const YUVPicture picture(format, 7, 5, minimumBytesPerRow(7, format) + 3, gradient);
    Target target(7, 5, 7 * 4 + 8);
    ASSERT_TRUE(convertToBGRA(picture.source(), format, target.picture()));
    const bool fullRows = format == kSurfacePixelFormatYUY2 || format == kSurfacePixelFormatUYVY;
    expectShown(target, 7, 5, 0, 0, [&](std::size_t x, std::size_t y) {
      const YUV chroma = gradient(x / 2 * 2, fullRows ? y : y / 2 * 2);
      return expectedBGRA({gradient(x, y).y, chroma.u, chroma.v});
    });
  }
}

TEST(PictureConversion, OtherSizesAreCentredOrCroppedOnWholeChromaSamples) {
  for (const std::uint32_t format : kYUVFormats) {
    SCOPED_TRACE(fourCCString(format));
    const bool fullRows = format == kSurfacePixelFormatYUY2 || format == kSurfacePixelFormatUYVY;
    const auto shown = [&](std::size_t left, std::size_t top) {
      return [=](std::size_t x, std::size_t y) {
        const YUV chroma = gradient((x + left) / 2 * 2, fullRows ? y + top : (y + top) / 2 * 2);
        return expectedBGRA({gradient(x + left, y + top).y, chroma.u, chroma.v});
      };
    };
    // 4 x 2 in 9 x 7: 2 pixels in (rounded down), 2 rows down.
    const YUVPicture small(format, 4, 2, minimumBytesPerRow(4, format), gradient);
    Target large(9, 7, 36);
    ASSERT_TRUE(convertToBGRA(small.source(), format, large.picture()));
    expectShown(large, 4, 2, 2, 2, shown(0, 0));
    // 11 x 8 cut to 4 x 2: the centre starts at column 3, row 3; chroma moves the start to
    // column 2, and for 4:2:0 to row 2.
    const YUVPicture big(format, 11, 8, minimumBytesPerRow(11, format), gradient);
    Target cropped(4, 2, 16);
    ASSERT_TRUE(convertToBGRA(big.source(), format, cropped.picture()));
    expectShown(cropped, 4, 2, 0, 0, shown(2, fullRows ? 3 : 2));
  }
}

// A copy of `bytes` that ends right where an unreadable page begins, as a surface's last plane
// may end at the end of its file: reading one byte more faults.
class AtPageEnd {
 public:
  explicit AtPageEnd(const std::vector<std::byte>& bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    size_ = (bytes.size() + page - 1) / page * page + page;
    void* mapping = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return;
    mapping_ = static_cast<std::byte*>(mapping);
    ::mprotect(mapping_ + size_ - page, page, PROT_NONE);
    data_ = mapping_ + size_ - page - bytes.size();
    std::copy(bytes.begin(), bytes.end(), data_);
  }
  ~AtPageEnd() {
    if (mapping_) ::munmap(mapping_, size_);
  }
  AtPageEnd(const AtPageEnd&) = delete;
  AtPageEnd& operator=(const AtPageEnd&) = delete;
  const std::byte* data() const { return data_; }

 private:
  std::byte* mapping_ = nullptr;
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

TEST(PictureConversion, NothingBeyondTheLastPlaneIsRead) {
  for (const std::uint32_t format : kYUVFormats) {
    SCOPED_TRACE(fourCCString(format));
    for (const std::size_t width : {1U, 7U, 33U, 127U}) {
      const YUVPicture picture(format, width, 5, minimumBytesPerRow(static_cast<std::uint32_t>(width), format),
                               gradient);
      const AtPageEnd source(picture.bytes);
      ASSERT_TRUE(source.data());
      Target target(width, 5, width * 4);
      EXPECT_TRUE(convertToBGRA({source.data(), width, 5, picture.bytesPerRow}, format, target.picture()));
    }
  }
}

TEST(PictureConversion, RGBByteOrdersBecomeBGRA) {
  // One pixel with blue 30, green 20, red 10, alpha 40, in each order.
  const std::vector<std::pair<std::uint32_t, std::vector<int>>> orders = {
      {kSurfacePixelFormatBGRA, {30, 20, 10, 40}}, {kSurfacePixelFormatRGBA, {10, 20, 30, 40}},
      {kSurfacePixelFormatARGB, {40, 10, 20, 30}}, {0x00000020, {40, 10, 20, 30}},
      {kSurfacePixelFormatABGR, {40, 30, 20, 10}},
  };
  for (const auto& [format, bytes] : orders) {
    SCOPED_TRACE(format);
    std::vector<std::byte> pixels;
    for (int i = 0; i < 3; ++i) {
      for (int value : bytes) pixels.push_back(static_cast<std::byte>(value));
    }
    Target target(3, 1, 12);
    ASSERT_TRUE(convertToBGRA({pixels.data(), 3, 1, 12}, format, target.picture()));
    for (std::size_t x = 0; x < 3; ++x) {
      EXPECT_EQ(target.at(0, 4 * x), 30);
      EXPECT_EQ(target.at(0, 4 * x + 1), 20);
      EXPECT_EQ(target.at(0, 4 * x + 2), 10);
      EXPECT_EQ(target.at(0, 4 * x + 3), 40);
    }
  }
}

TEST(PictureConversion, UnusablePicturesAreRefusedUntouched) {
  const YUVPicture nv12(kSurfacePixelFormatNV12, 7, 4, 8, gradient);
  Target target(7, 4, 28);
  // Rows of an odd-width NV12 picture need room for the last U, V pair.
  EXPECT_FALSE(convertToBGRA({nv12.bytes.data(), 7, 4, 7}, kSurfacePixelFormatNV12, target.picture()));
  EXPECT_FALSE(convertToBGRA({nullptr, 7, 4, 8}, kSurfacePixelFormatNV12, target.picture()));
  EXPECT_FALSE(convertToBGRA(nv12.source(), 0x58595a57, target.picture()));  // 'XYZW'
  Target narrow(7, 4, 27);
  EXPECT_FALSE(convertToBGRA(nv12.source(), kSurfacePixelFormatNV12, narrow.picture()));
  EXPECT_TRUE(std::all_of(target.bytes.begin(), target.bytes.end(), [](std::byte b) { return b == std::byte{0xEE}; }));
  EXPECT_TRUE(std::all_of(narrow.bytes.begin(), narrow.bytes.end(), [](std::byte b) { return b == std::byte{0xEE}; }));
}

// ---- FrameWriter: what the stream carries for each picture ------------------------------

constexpr OSType kStreamBGRA = kCVPixelFormatType_32BGRA;

class FrameWriterTest : public ::testing::Test {
 protected:
  bool write(std::uint32_t format, OSType stream = kStreamBGRA) {
    target_.bytes.assign(target_.bytes.size(), std::byte{0xEE});
    return writer_.write(picture_.source(), format, target_.picture(), stream);
  }
  // The camera's own grey frame.
  bool writeCameraGrey() {
    const std::vector<std::byte> grey(2 * 16, kBlankByte);
    return writer_.write({grey.data(), 4, 2, 16}, kCVPixelFormatType_32BGRA, target_.picture(), kStreamBGRA,
                         /*fromCompanion=*/false);
  }
  bool targetIsGrey() const {
    return std::all_of(target_.bytes.begin(), target_.bytes.end(), [](std::byte b) { return b == kBlankByte; });
  }
  std::size_t greyStarts() const { return log_.count("cannot be shown; sending grey"); }
  std::size_t greyEnds() const { return log_.count("pictures are shown again"); }

  testing::RecordingLog log_;
  FrameWriter writer_{log_, "Kolv Camera Video"};
  YUVPicture picture_{kSurfacePixelFormatNV12, 4, 2, 4, gradient};
  Target target_{4, 2, 16 + 4};
};

TEST_F(FrameWriterTest, UnknownFormatsGiveGreyFramesWithOneLogLineAtEachEnd) {
  for (int tick = 0; tick < 3; ++tick) {
    ASSERT_TRUE(write(0x58595a57));  // 'XYZW'
    EXPECT_TRUE(targetIsGrey());
  }
  EXPECT_EQ(log_.count("Kolv Camera Video: pictures of pixel format 'XYZW' cannot be shown; sending grey"), 1U);
  EXPECT_EQ(greyEnds(), 0U);

  // The camera's own grey frames (BGRA) come between a companion's pictures when it has
  // nothing new: they do not end the period, however many there are.
  for (int tick = 0; tick < 40; ++tick) ASSERT_TRUE(writeCameraGrey());
  for (int tick = 0; tick < 20; ++tick) {
    ASSERT_TRUE(writeCameraGrey());
    ASSERT_TRUE(writeCameraGrey());
    ASSERT_TRUE(write(0x58595a57));
    EXPECT_TRUE(targetIsGrey());
  }
  EXPECT_EQ(greyStarts(), 1U);
  EXPECT_EQ(greyEnds(), 0U);

  // A companion's picture that can be shown does, once.
  ASSERT_TRUE(write(kSurfacePixelFormatNV12));
  EXPECT_FALSE(targetIsGrey());
  for (int tick = 0; tick < 40; ++tick) ASSERT_TRUE(write(kSurfacePixelFormatNV12));
  EXPECT_EQ(greyStarts(), 1U);
  EXPECT_EQ(log_.count("Kolv Camera Video: pictures are shown again"), 1U);

  // A new unknown format is a line; a code that is not text shows in hexadecimal. One already
  // reported is not reported again.
  ASSERT_TRUE(write(0x58595a57));
  ASSERT_TRUE(write(0x01020304));
  ASSERT_TRUE(write(0x01020304));
  EXPECT_EQ(greyStarts(), 2U);
  EXPECT_EQ(log_.count("pixel format 0x01020304 cannot be shown"), 1U);
  EXPECT_EQ(greyEnds(), 1U);
  ASSERT_TRUE(write(kSurfacePixelFormatNV12));
  EXPECT_EQ(greyEnds(), 2U);
}

// A companion drawing into surfaces in turn, one of them of a format that cannot be shown: one
// line when it starts, one when it ends, however many passes.
TEST_F(FrameWriterTest, CyclingThroughAnUnshownFormatIsOneProblem) {
  for (int pass = 0; pass < 20; ++pass) {
    ASSERT_TRUE(write(kSurfacePixelFormatNV12));
    ASSERT_TRUE(writeCameraGrey());
    ASSERT_TRUE(write(0x58595a57));
    EXPECT_TRUE(targetIsGrey());
    ASSERT_TRUE(write(kSurfacePixelFormatNV12));
    EXPECT_FALSE(targetIsGrey());
  }
  EXPECT_EQ(greyStarts(), 1U);
  EXPECT_EQ(greyEnds(), 1U);
}

TEST_F(FrameWriterTest, ConvertsOnlyIntoBGRAStreams) {
  ASSERT_TRUE(write(kSurfacePixelFormatNV12));
  EXPECT_FALSE(targetIsGrey());
  EXPECT_EQ(target_.at(0, 3), 255);  // converted pictures are opaque

  // A stream of another format shows only pictures of its own format.
  const OSType rgba = fourCC("RGBA");
  ASSERT_TRUE(write(kSurfacePixelFormatNV12, rgba));
  EXPECT_TRUE(targetIsGrey());
  EXPECT_EQ(log_.count("pixel format 'NV12' cannot be shown"), 1U);
  const std::vector<std::byte> rgbaPixels(2 * 16, std::byte{0x11});
  ASSERT_TRUE(writer_.write({rgbaPixels.data(), 4, 2, 16}, fourCC("RGBA"), target_.picture(), rgba));
  EXPECT_EQ(target_.at(1, 15), 0x11);
}

TEST_F(FrameWriterTest, UnusableTargetsAndPicturesAreNotWritten) {
  Target narrow(4, 2, 15);
  EXPECT_FALSE(writer_.write(picture_.source(), 0x58595a57, narrow.picture(), kStreamBGRA));
  EXPECT_FALSE(writer_.write({nullptr, 4, 2, 4}, kSurfacePixelFormatNV12, target_.picture(), kStreamBGRA));
  EXPECT_EQ(greyStarts(), 0U);
}

}  // namespace
}  // namespace kolv::output
