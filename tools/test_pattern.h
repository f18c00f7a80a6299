// The animated test picture of kolv-publish --pattern: scrolling colour bars, the frame
// number and the time in large digits, and a stamp (frame number and CLOCK_MONOTONIC time
// as 128 black or white cells) in the top rows and again in the bottom rows. A consumer
// reads the stamps to tell frames apart, to measure latency, and to find torn pictures:
// a picture drawn over while it was copied has different stamps at top and bottom.
// Thread-safety: free functions without state.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kolv::pattern {

struct Stamp {
  std::uint32_t frameNumber = 0;
  std::uint64_t monotonicNanoseconds = 0;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

// A 'BGRA' picture in memory, rows bytesPerRow apart.
struct Picture {
  std::span<std::byte> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bytesPerRow = 0;
};

enum class Band { top, bottom };

inline constexpr std::uint32_t kStampCells = 128;
inline constexpr std::uint32_t kStampRows = 16;
// The smallest picture that has room for the stamps and the digits.
inline constexpr std::uint32_t kMinWidth = 640;
inline constexpr std::uint32_t kMinHeight = 360;

// Everything but the stamps: bars scrolled by the frame number, the number and `elapsed`.
// Pictures smaller than kMinWidth x kMinHeight are left as they are.
void drawBody(const Picture& picture, std::uint32_t frameNumber, std::chrono::milliseconds elapsed);
// The stamp in the top rows, then in the bottom rows.
void drawStamps(const Picture& picture, const Stamp& stamp);
// The stamp in one band; empty when the band holds no valid stamp (a grey frame, say).
std::optional<Stamp> readStamp(const Picture& picture, Band band);

}  // namespace kolv::pattern
