// The OBS plugin's choice of what to publish, and its copy of OBS's planes into a surface.
#include "picture_plan.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace kolv::obs {
namespace {

constexpr std::array<Format, 1> kBgraOnly = {Format::bgra};
constexpr std::array<Format, 3> kWithYuv = {Format::bgra, Format::nv12, Format::i420};

struct PlanCase {
  ProgramVideo program;
  std::span<const Format> publishable;
  PicturePlan expected;
};

TEST(PicturePlanTest, ConvertsOnlyWhatTheCameraCannotTakeAsItIs) {
  const std::vector<PlanCase> cases = {
      // The camera's own format and size go as they are, and so do smaller pictures: the
      // camera centres them.
      {{Format::bgra, 1280, 720, false}, kBgraOnly, {Format::bgra, 1280, 720, false}},
      {{Format::bgra, 640, 480, false}, kBgraOnly, {Format::bgra, 640, 480, false}},
      // NV12 and I420 in the camera's matrix, when the library publishes them.
      {{Format::nv12, 1280, 720, true}, kWithYuv, {Format::nv12, 1280, 720, false}},
      {{Format::i420, 1280, 720, true}, kWithYuv, {Format::i420, 1280, 720, false}},
      // Not when it does not, nor in another matrix or range: OBS makes BGRA with its own.
      {{Format::nv12, 1280, 720, true}, kBgraOnly, {Format::bgra, 1280, 720, true}},
      {{Format::nv12, 1280, 720, false}, kWithYuv, {Format::bgra, 1280, 720, true}},
      {{Format::i420, 1280, 720, false}, kWithYuv, {Format::bgra, 1280, 720, true}},
      // Formats the camera does not know (I444, P010, ...).
      {{Format::other, 1280, 720, true}, kWithYuv, {Format::bgra, 1280, 720, true}},
      // A larger picture is scaled down to fit in the format it keeps.
      {{Format::nv12, 1920, 1080, true}, kWithYuv, {Format::nv12, 1280, 720, true}},
  };
  for (const PlanCase& c : cases) {
    const PicturePlan plan = planPicture(c.program, c.publishable);
    SCOPED_TRACE(std::string(formatName(c.program.format)) + " " + std::to_string(c.program.width) + "x" +
                 std::to_string(c.program.height) + (c.program.bt601Limited ? " BT.601" : " other matrix"));
    EXPECT_EQ(plan.format, c.expected.format);
    EXPECT_EQ(plan.width, c.expected.width);
    EXPECT_EQ(plan.height, c.expected.height);
    EXPECT_EQ(plan.convert, c.expected.convert);
  }
}

TEST(PicturePlanTest, ScalesLargerPicturesDownToFitKeepingTheirShape) {
  struct Size {
    std::uint32_t width, height;
  };
  const std::vector<std::pair<Size, Size>> cases = {
      {{1920, 1080}, {1280, 720}},                              // 16:9
      {{1920, 1200}, {1152, 720}},                              // 16:10: the height fills
      {{2560, 1080}, {1280, 540}},                              // 21:9: the width fills
      {{1080, 1920}, {404, 720}},                               // portrait: 405 rounded down to even
      {{1281, 720}, {1280, 718}},                               // one column too many: 719.4 rows, even
      {{1280, 721}, {1278, 720}},  {{1280, 800}, {1152, 720}},  // too tall only
      {{20000, 10}, {1280, 2}},                                 // never below 2
  };
  for (const auto& [program, expected] : cases) {
    const PicturePlan plan = planPicture({Format::bgra, program.width, program.height, false}, kBgraOnly);
    EXPECT_EQ(plan.width, expected.width) << program.width << "x" << program.height;
    EXPECT_EQ(plan.height, expected.height) << program.width << "x" << program.height;
    EXPECT_TRUE(plan.convert);
  }
  const PicturePlan empty = planPicture({Format::bgra, 0, 720, false}, kBgraOnly);
  EXPECT_EQ(empty.width, 0u);
  EXPECT_EQ(empty.height, 0u);
}

// A plane filled with bytes that tell row and column apart, `stride` bytes a row.
std::vector<std::uint8_t> numbered(std::uint32_t rows, std::uint32_t stride, std::uint8_t base) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(rows) * stride);
  for (std::uint32_t r = 0; r < rows; ++r)
    for (std::uint32_t c = 0; c < stride; ++c) bytes[r * stride + c] = static_cast<std::uint8_t>(base + r * 16 + c);
  return bytes;
}

TEST(CopyPictureTest, CopiesEachPlaneRowByRowAcrossStridesAndKeepsTheTargetsPadding) {
  struct Case {
    Format format;
    std::uint32_t width, height;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> planes;  // rows, bytes of picture per row
  };
  // An odd width and height: the last chroma column and row have samples of their own.
  const std::vector<Case> cases = {
      {Format::bgra, 3, 2, {{2, 12}}},
      {Format::nv12, 5, 3, {{3, 5}, {2, 6}}},
      {Format::i420, 5, 3, {{3, 5}, {2, 3}, {2, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(formatName(c.format));
    std::vector<std::vector<std::uint8_t>> sources;
    std::vector<std::vector<std::byte>> targets;
    std::vector<SourcePlane> source;
    std::vector<TargetPlane> target;
    for (std::size_t p = 0; p < c.planes.size(); ++p) {
      const auto [rows, rowBytes] = c.planes[p];
      sources.push_back(numbered(rows, rowBytes + 7, static_cast<std::uint8_t>(p * 64)));
      targets.emplace_back(static_cast<std::size_t>(rows) * (rowBytes + 3), std::byte{0xEE});
    }
    for (std::size_t p = 0; p < c.planes.size(); ++p) {
      source.push_back({sources[p].data(), c.planes[p].second + 7});
      target.push_back({targets[p].data(), c.planes[p].second + 3});
    }
    ASSERT_TRUE(copyPicture(c.format, c.width, c.height, source, target));
    for (std::size_t p = 0; p < c.planes.size(); ++p) {
      const auto [rows, rowBytes] = c.planes[p];
      for (std::uint32_t r = 0; r < rows; ++r) {
        for (std::uint32_t x = 0; x < rowBytes + 3; ++x) {
          const std::byte expected = x < rowBytes ? std::byte{sources[p][r * (rowBytes + 7) + x]} : std::byte{0xEE};
          ASSERT_EQ(targets[p][r * (rowBytes + 3) + x], expected) << "plane " << p << " row " << r << " byte " << x;
        }
      }
    }
  }
}

TEST(CopyPictureTest, RefusesMissingPlanesAndShortStridesCopyingNothing) {
  std::vector<std::uint8_t> y(4 * 4, 1), uv(2 * 4, 2);
  std::vector<std::byte> ty(4 * 4, std::byte{0}), tuv(2 * 4, std::byte{0});
  const std::array<TargetPlane, 2> target = {TargetPlane{ty.data(), 4}, TargetPlane{tuv.data(), 4}};

  const std::array<SourcePlane, 1> yOnly = {SourcePlane{y.data(), 4}};
  EXPECT_FALSE(copyPicture(Format::nv12, 4, 4, yOnly, target));
  const std::array<SourcePlane, 2> nullChroma = {SourcePlane{y.data(), 4}, SourcePlane{nullptr, 4}};
  EXPECT_FALSE(copyPicture(Format::nv12, 4, 4, nullChroma, target));
  // The second plane's stride is shorter than its rows: nothing at all is copied, not even Y.
  const std::array<SourcePlane, 2> shortChroma = {SourcePlane{y.data(), 4}, SourcePlane{uv.data(), 3}};
  EXPECT_FALSE(copyPicture(Format::nv12, 4, 4, shortChroma, target));
  const std::array<SourcePlane, 2> good = {SourcePlane{y.data(), 4}, SourcePlane{uv.data(), 4}};
  const std::array<TargetPlane, 2> shortTarget = {TargetPlane{ty.data(), 4}, TargetPlane{tuv.data(), 2}};
  EXPECT_FALSE(copyPicture(Format::nv12, 4, 4, good, shortTarget));
  EXPECT_FALSE(copyPicture(Format::other, 4, 4, good, target));
  EXPECT_EQ(ty, std::vector<std::byte>(16, std::byte{0}));

  EXPECT_TRUE(copyPicture(Format::nv12, 4, 4, good, target));
  EXPECT_EQ(ty, std::vector<std::byte>(16, std::byte{1}));
  EXPECT_EQ(tuv, std::vector<std::byte>(8, std::byte{2}));
}

}  // namespace
}  // namespace kolv::obs
