#include "platform/output/picture_placement.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kolv::output {
namespace {

// A picture whose byte at (row, column) is a function of both, so that misplaced bytes show.
struct Bytes {
  std::size_t width;
  std::size_t height;
  std::size_t bytesPerRow;
  std::vector<std::byte> data;

  Bytes(std::size_t w, std::size_t h, std::size_t stride, std::byte fill = std::byte{0})
      : width(w), height(h), bytesPerRow(stride), data(h * stride, fill) {}
  static Bytes pattern(std::size_t w, std::size_t h, std::size_t stride) {
    Bytes picture(w, h, stride);
    for (std::size_t r = 0; r < h; ++r) {
      for (std::size_t c = 0; c < stride; ++c) picture.data[r * stride + c] = std::byte(1 + (r * 31 + c) % 200);
    }
    return picture;
  }
  std::byte at(std::size_t row, std::size_t column) const { return data[row * bytesPerRow + column]; }
  SourcePicture source() const { return {data.data(), width, height, bytesPerRow}; }
  TargetPicture target() { return {data.data(), width, height, bytesPerRow}; }
};

// Checks that `target` shows `source`'s bytes shifted by (rowShift, byteShift) wherever the
// source has pixel bytes there, and 0x40 everywhere else, row padding included.
void expectPlaced(const Bytes& source, const Bytes& target, std::size_t bytesPerPixel, long rowShift, long byteShift) {
  const long sourceRowBytes = static_cast<long>(source.width * bytesPerPixel);
  for (std::size_t r = 0; r < target.height; ++r) {
    for (std::size_t c = 0; c < target.bytesPerRow; ++c) {
      const long sr = static_cast<long>(r) - rowShift;
      const long sc = static_cast<long>(c) - byteShift;
      const bool inside = sr >= 0 && sr < static_cast<long>(source.height) && sc >= 0 && sc < sourceRowBytes &&
                          c < target.width * bytesPerPixel;
      const std::byte expected = inside ? source.at(sr, sc) : kBlankByte;
      ASSERT_EQ(target.at(r, c), expected) << "row " << r << " byte " << c;
    }
  }
}

TEST(PicturePlacement, SameSizeIsCopiedRowByRowWhateverTheSourceStride) {
  const auto source = Bytes::pattern(4, 3, 4 * 4 + 12);
  Bytes target(4, 3, 16, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, 0, 0);
}

TEST(PicturePlacement, SameGeometryIsCopiedWhole) {
  const auto source = Bytes::pattern(4, 3, 16);
  Bytes target(4, 3, 16);
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  EXPECT_EQ(target.data, source.data);
}

TEST(PicturePlacement, SmallerPictureIsCentredOnGrey) {
  const auto source = Bytes::pattern(2, 2, 8);
  Bytes target(6, 4, 24, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, 1, 2 * 4);
}

TEST(PicturePlacement, LargerPictureIsCroppedToItsCentre) {
  const auto source = Bytes::pattern(6, 5, 24);
  Bytes target(2, 3, 8, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, -1, -2 * 4);
}

TEST(PicturePlacement, WiderButShorterPictureIsCroppedAcrossAndPaddedAbove) {
  const auto source = Bytes::pattern(8, 2, 32);
  Bytes target(4, 6, 16, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, 2, -2 * 4);
}

TEST(PicturePlacement, OddMarginsRoundTowardsTheTopLeft) {
  const auto source = Bytes::pattern(1, 1, 4);
  Bytes target(4, 4, 16, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, 1, 1 * 4);
}

TEST(PicturePlacement, TargetRowPaddingIsGrey) {
  const auto source = Bytes::pattern(2, 2, 8);
  Bytes target(2, 2, 8 + 8, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 4));
  expectPlaced(source, target, 4, 0, 0);
}

TEST(PicturePlacement, TwoBytePixelsMoveInWholePairs) {
  // 4:2:2 formats pair pixels in 4 bytes; a 2-pixel picture in an 8-pixel row is centred
  // 3 pixels in, which rounds down to 2 so the pair stays whole.
  const auto source = Bytes::pattern(2, 1, 4);
  Bytes target(8, 1, 16, std::byte{0xEE});
  ASSERT_TRUE(placePicture(source.source(), target.target(), 2));
  expectPlaced(source, target, 2, 0, 4);
}

TEST(PicturePlacement, EmptyPictureLeavesAGreyFrame) {
  Bytes target(2, 2, 8, std::byte{0xEE});
  ASSERT_TRUE(placePicture(SourcePicture{nullptr, 0, 0, 0}, target.target(), 4));
  EXPECT_EQ(target.data, std::vector<std::byte>(16, kBlankByte));
}

TEST(PicturePlacement, RowsShorterThanTheirWidthAreRefusedUntouched) {
  const auto source = Bytes::pattern(4, 2, 12);  // 4 pixels need 16 bytes
  Bytes target(4, 2, 16, std::byte{0xEE});
  EXPECT_FALSE(placePicture(source.source(), target.target(), 4));
  EXPECT_EQ(target.data, std::vector<std::byte>(32, std::byte{0xEE}));

  const auto fine = Bytes::pattern(4, 2, 16);
  Bytes narrow(4, 2, 12, std::byte{0xEE});
  EXPECT_FALSE(placePicture(fine.source(), narrow.target(), 4));
  EXPECT_FALSE(placePicture(SourcePicture{nullptr, 4, 2, 16}, target.target(), 4));
}

}  // namespace
}  // namespace kolv::output
