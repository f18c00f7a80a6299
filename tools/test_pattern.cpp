#include "test_pattern.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kolv::pattern {
namespace {

// Stamp cells, each one width/128 pixels wide, white for 1 and black for 0:
//   0-7 sync 10110010, 8-39 frame number, 40-103 monotonic time in ns (both least
//   significant bit first), 104-119 check word, 120-127 sync 01001101.
constexpr std::array<int, 8> kLeadingSync{1, 0, 1, 1, 0, 0, 1, 0};
constexpr std::array<int, 8> kTrailingSync{0, 1, 0, 0, 1, 1, 0, 1};
constexpr std::uint32_t kFrameCell = 8;
constexpr std::uint32_t kTimeCell = 40;
constexpr std::uint32_t kCheckCell = 104;
constexpr std::uint32_t kTrailingCell = 120;

struct Colour {
  std::uint8_t b, g, r;
};
constexpr Colour kBlack{0, 0, 0};
constexpr Colour kWhite{255, 255, 255};
constexpr std::array<Colour, 8> kBars{{{255, 255, 255},
                                       {0, 255, 255},
                                       {255, 255, 0},
                                       {0, 255, 0},
                                       {255, 0, 255},
                                       {0, 0, 255},
                                       {255, 0, 0},
                                       {40, 40, 40}}};

// Seven-segment digits: bits a (top), b (top right), c (bottom right), d (bottom),
// e (bottom left), f (top left), g (middle).
constexpr std::array<std::uint8_t, 10> kSegments{0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
constexpr int kDigitWidth = 64;
constexpr int kDigitHeight = 120;
constexpr int kStroke = 14;
constexpr int kDigitAdvance = 84;

std::uint16_t checkWord(const Stamp& stamp) {
  std::uint64_t fold = stamp.frameNumber ^ stamp.monotonicNanoseconds ^ (stamp.monotonicNanoseconds >> 32);
  fold ^= fold >> 16;
  return static_cast<std::uint16_t>(fold ^ 0xA5C3);
}

std::byte* pixelAt(const Picture& picture, std::uint32_t x, std::uint32_t y) {
  return picture.pixels.data() + std::size_t{y} * picture.bytesPerRow + std::size_t{x} * 4;
}

void fill(const Picture& picture, int x, int y, int width, int height, Colour colour) {
  const int left = std::max(x, 0);
  const int top = std::max(y, 0);
  const int right = std::min<int>(x + width, static_cast<int>(picture.width));
  const int bottom = std::min<int>(y + height, static_cast<int>(picture.height));
  for (int row = top; row < bottom; ++row) {
    std::byte* out = pixelAt(picture, static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(row));
    for (int column = left; column < right; ++column, out += 4) {
      out[0] = std::byte{colour.b};
      out[1] = std::byte{colour.g};
      out[2] = std::byte{colour.r};
      out[3] = std::byte{255};
    }
  }
}

void drawDigit(const Picture& picture, int x, int y, int digit, Colour colour) {
  const std::uint8_t segments = kSegments[static_cast<std::size_t>(digit)];
  const int half = kDigitHeight / 2;
  const int tall = half - kStroke / 2;
  if (segments & 0x01) fill(picture, x, y, kDigitWidth, kStroke, colour);
  if (segments & 0x02) fill(picture, x + kDigitWidth - kStroke, y, kStroke, tall + kStroke, colour);
  if (segments & 0x04) fill(picture, x + kDigitWidth - kStroke, y + half, kStroke, tall + kStroke / 2, colour);
  if (segments & 0x08) fill(picture, x, y + kDigitHeight - kStroke, kDigitWidth, kStroke, colour);
  if (segments & 0x10) fill(picture, x, y + half, kStroke, tall + kStroke / 2, colour);
  if (segments & 0x20) fill(picture, x, y, kStroke, tall + kStroke, colour);
  if (segments & 0x40) fill(picture, x, y + half - kStroke / 2, kDigitWidth, kStroke, colour);
}

// `count` decimal digits of `value`, the last ones, starting at x.
void drawNumber(const Picture& picture, int x, int y, std::uint64_t value, int count, Colour colour) {
  for (int i = count - 1; i >= 0; --i) {
    drawDigit(picture, x + i * kDigitAdvance, y, static_cast<int>(value % 10), colour);
    value /= 10;
  }
}

void drawBand(const Picture& picture, std::uint32_t firstRow, const Stamp& stamp) {
  std::array<int, kStampCells> bits{};
  std::copy(kLeadingSync.begin(), kLeadingSync.end(), bits.begin());
  for (std::uint32_t i = 0; i < 32; ++i) bits[kFrameCell + i] = (stamp.frameNumber >> i) & 1;
  for (std::uint32_t i = 0; i < 64; ++i) bits[kTimeCell + i] = (stamp.monotonicNanoseconds >> i) & 1;
  const std::uint16_t check = checkWord(stamp);
  for (std::uint32_t i = 0; i < 16; ++i) bits[kCheckCell + i] = (check >> i) & 1;
  std::copy(kTrailingSync.begin(), kTrailingSync.end(), bits.begin() + kTrailingCell);

  const std::uint32_t cellWidth = picture.width / kStampCells;
  std::byte* first = pixelAt(picture, 0, firstRow);
  fill(picture, 0, static_cast<int>(firstRow), static_cast<int>(picture.width), 1, kBlack);
  for (std::uint32_t cell = 0; cell < kStampCells; ++cell) {
    if (bits[cell]) {
      fill(picture, static_cast<int>(cell * cellWidth), static_cast<int>(firstRow), static_cast<int>(cellWidth), 1,
           kWhite);
    }
  }
  for (std::uint32_t row = 1; row < kStampRows; ++row) {
    std::memcpy(pixelAt(picture, 0, firstRow + row), first, std::size_t{picture.width} * 4);
  }
}

bool fits(const Picture& picture) {
  return picture.width >= kMinWidth && picture.height >= kMinHeight && picture.bytesPerRow >= picture.width * 4 &&
         picture.pixels.size() >= std::size_t{picture.height - 1} * picture.bytesPerRow + picture.width * 4;
}

}  // namespace

void drawBody(const Picture& picture, std::uint32_t frameNumber, std::chrono::milliseconds elapsed) {
  if (!fits(picture)) return;
  // One row of bars, scrolled 8 pixels a frame, copied to every row between the bands.
  const std::uint32_t barWidth = picture.width / kBars.size();
  const std::uint32_t shift = (frameNumber * 8) % picture.width;
  const std::uint32_t firstRow = kStampRows;
  for (std::uint32_t x = 0; x < picture.width; ++x) {
    const Colour colour = kBars[((x + shift) % picture.width) / barWidth % kBars.size()];
    std::byte* out = pixelAt(picture, x, firstRow);
    out[0] = std::byte{colour.b};
    out[1] = std::byte{colour.g};
    out[2] = std::byte{colour.r};
    out[3] = std::byte{255};
  }
  for (std::uint32_t row = firstRow + 1; row < picture.height - kStampRows; ++row) {
    std::memcpy(pixelAt(picture, 0, row), pixelAt(picture, 0, firstRow), std::size_t{picture.width} * 4);
  }

  // A black panel with the frame number (7 digits) over the time as seconds.milliseconds.
  const int panelWidth = 7 * kDigitAdvance + 60;
  const int panelHeight = 2 * kDigitHeight + 90;
  const int panelX = (static_cast<int>(picture.width) - panelWidth) / 2;
  const int panelY = (static_cast<int>(picture.height) - panelHeight) / 2;
  fill(picture, panelX, panelY, panelWidth, panelHeight, kBlack);
  const int textX = panelX + 30 + (kDigitAdvance - kDigitWidth) / 2;
  drawNumber(picture, textX, panelY + 30, frameNumber, 7, kWhite);
  const auto milliseconds = static_cast<std::uint64_t>(elapsed.count());
  const int timeY = panelY + 60 + kDigitHeight;
  constexpr Colour kYellow{0, 230, 255};
  drawNumber(picture, textX, timeY, milliseconds / 1000, 4, kYellow);
  fill(picture, textX + 4 * kDigitAdvance - 14, timeY + kDigitHeight - kStroke, kStroke, kStroke, kYellow);
  drawNumber(picture, textX + 4 * kDigitAdvance + 4, timeY, milliseconds % 1000, 3, kYellow);
}

void drawStamps(const Picture& picture, const Stamp& stamp) {
  if (!fits(picture)) return;
  drawBand(picture, 0, stamp);
  drawBand(picture, picture.height - kStampRows, stamp);
}

std::optional<Stamp> readStamp(const Picture& picture, Band band) {
  if (!fits(picture)) return std::nullopt;
  const std::uint32_t row = (band == Band::top ? 0 : picture.height - kStampRows) + kStampRows / 2;
  const std::uint32_t cellWidth = picture.width / kStampCells;
  auto bit = [&](std::uint32_t cell) -> std::uint64_t {
    // Green, the middle byte of B, G, R: black, white and grey differ in every channel.
    return std::to_integer<std::uint8_t>(pixelAt(picture, cell * cellWidth + cellWidth / 2, row)[1]) >= 128 ? 1 : 0;
  };
  for (std::uint32_t i = 0; i < 8; ++i) {
    if (bit(i) != static_cast<std::uint64_t>(kLeadingSync[i])) return std::nullopt;
    if (bit(kTrailingCell + i) != static_cast<std::uint64_t>(kTrailingSync[i])) return std::nullopt;
  }
  Stamp stamp;
  std::uint16_t check = 0;
  for (std::uint32_t i = 0; i < 32; ++i) stamp.frameNumber |= static_cast<std::uint32_t>(bit(kFrameCell + i) << i);
  for (std::uint32_t i = 0; i < 64; ++i) stamp.monotonicNanoseconds |= bit(kTimeCell + i) << i;
  for (std::uint32_t i = 0; i < 16; ++i) check |= static_cast<std::uint16_t>(bit(kCheckCell + i) << i);
  if (check != checkWord(stamp)) return std::nullopt;
  return stamp;
}

}  // namespace kolv::pattern
