// The test pattern's stamps: what consumers read to number frames and find torn ones.
#include "test_pattern.h"

#include <vector>

#include <gtest/gtest.h>

namespace kolv::pattern {
namespace {

struct Buffer {
  Buffer(std::uint32_t width, std::uint32_t height, std::uint32_t bytesPerRow)
      : bytes(std::size_t{bytesPerRow} * height, std::byte{0x40}), picture{bytes, width, height, bytesPerRow} {}
  std::vector<std::byte> bytes;
  Picture picture;
};

TEST(TestPatternTest, StampsReadBackFromTopAndBottom) {
  for (const Stamp stamp :
       {Stamp{0, 0}, Stamp{1, 123'456'789}, Stamp{0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF}, Stamp{4242, 98'765'432'101'234}}) {
    Buffer buffer(1280, 720, 5120);
    drawBody(buffer.picture, stamp.frameNumber, std::chrono::milliseconds(61'234));
    drawStamps(buffer.picture, stamp);
    EXPECT_EQ(readStamp(buffer.picture, Band::top), stamp);
    EXPECT_EQ(readStamp(buffer.picture, Band::bottom), stamp);
  }
  // Padded rows and another size.
  Buffer padded(640, 360, 2600);
  drawStamps(padded.picture, {77, 88});
  EXPECT_EQ(readStamp(padded.picture, Band::bottom), (Stamp{77, 88}));
}

TEST(TestPatternTest, GreyAndDamagedStampsAreRejected) {
  Buffer grey(1280, 720, 5120);
  EXPECT_FALSE(readStamp(grey.picture, Band::top));
  EXPECT_FALSE(readStamp(grey.picture, Band::bottom));

  Buffer damaged(1280, 720, 5120);
  drawStamps(damaged.picture, {5, 5000});
  // Flip the cell of the frame number's lowest bit (cell 8) in the top band.
  for (std::uint32_t row = 0; row < kStampRows; ++row) {
    for (std::uint32_t x = 80; x < 90; ++x) damaged.bytes[row * 5120 + x * 4 + 1] ^= std::byte{0xFF};
  }
  EXPECT_FALSE(readStamp(damaged.picture, Band::top));
  EXPECT_TRUE(readStamp(damaged.picture, Band::bottom));
}

TEST(TestPatternTest, ATornPictureHasDifferentStamps) {
  Buffer older(1280, 720, 5120);
  Buffer newer(1280, 720, 5120);
  drawBody(older.picture, 10, std::chrono::milliseconds(333));
  drawStamps(older.picture, {10, 1'000});
  drawBody(newer.picture, 11, std::chrono::milliseconds(366));
  drawStamps(newer.picture, {11, 34'000'000});
  // Top half from the newer picture, the rest from the older one.
  std::copy_n(newer.bytes.begin(), 360 * 5120, older.bytes.begin());
  EXPECT_EQ(readStamp(older.picture, Band::top), (Stamp{11, 34'000'000}));
  EXPECT_EQ(readStamp(older.picture, Band::bottom), (Stamp{10, 1'000}));
}

TEST(TestPatternTest, ConsecutiveFramesLookDifferent) {
  Buffer first(1280, 720, 5120);
  Buffer second(1280, 720, 5120);
  drawBody(first.picture, 100, std::chrono::milliseconds(3'333));
  drawBody(second.picture, 101, std::chrono::milliseconds(3'366));
  // The bars scroll and the digits change: many rows differ, not only the stamps.
  int differingRows = 0;
  for (std::size_t row = kStampRows; row < 720 - kStampRows; ++row) {
    if (!std::equal(first.bytes.begin() + row * 5120, first.bytes.begin() + (row + 1) * 5120,
                    second.bytes.begin() + row * 5120)) {
      ++differingRows;
    }
  }
  EXPECT_EQ(differingRows, 720 - 2 * static_cast<int>(kStampRows));
}

}  // namespace
}  // namespace kolv::pattern
