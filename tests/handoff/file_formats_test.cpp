// The two hand-off files byte by byte, as the companion writes them and the checks read them.
#include "handoff/file_formats.h"

#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

namespace kolv::handoff {
namespace {

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
  std::vector<std::byte> bytes;
  for (const int value : values) bytes.push_back(static_cast<std::byte>(value));
  return bytes;
}

std::vector<std::byte> toVector(std::span<const std::byte> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(FileFormatsTest, AreLittleEndian) {
  EXPECT_EQ(toVector(encodeSurfaceID(42)), bytesOf({0x2A, 0, 0, 0}));
  EXPECT_EQ(toVector(encodeSurfaceID(0xA1B2C3D4)), bytesOf({0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(toVector(encodeTimestamp(1.0)), bytesOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(toVector(encodeTimestamp(-2.5)), bytesOf({0, 0, 0, 0, 0, 0, 0x04, 0xC0}));

  EXPECT_EQ(decodeSurfaceID(bytesOf({0x2A, 0, 0, 0})), 42U);
  EXPECT_EQ(decodeSurfaceID(encodeSurfaceID(0xFFFFFFFF)), 0xFFFFFFFFU);
  EXPECT_EQ(decodeTimestamp(bytesOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F})), 1.0);
  const double wallClock = 1'712'345'678.123456;
  EXPECT_EQ(decodeTimestamp(encodeTimestamp(wallClock)), wallClock);
}

TEST(FileFormatsTest, OnlyTheExactLengthDecodes) {
  EXPECT_FALSE(decodeSurfaceID(bytesOf({0x2A, 0, 0})));
  EXPECT_FALSE(decodeSurfaceID(bytesOf({0x2A, 0, 0, 0, 0})));
  EXPECT_FALSE(decodeSurfaceID(bytesOf({})));
  EXPECT_FALSE(decodeTimestamp(bytesOf({0, 0, 0, 0, 0, 0, 0xF0})));
  EXPECT_FALSE(decodeTimestamp(bytesOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 0})));
  // A surface ID's bytes are no timestamp, and the other way round.
  EXPECT_FALSE(decodeTimestamp(encodeSurfaceID(7)));
  EXPECT_FALSE(decodeSurfaceID(encodeTimestamp(7.0)));
}

}  // namespace
}  // namespace kolv::handoff
