// The cost of one 1280x720 frame into the BGRA stream buffer: the copy of a 'BGRA' surface
// and the libyuv conversion of each other surface format.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "handoff/surface_layout.h"
#include "platform/output/picture_conversion.h"
#include "platform/output/picture_placement.h"

namespace {

constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;

void convertFrame(benchmark::State& state, std::uint32_t format) {
  const std::uint32_t bytesPerRow = kolv::minimumBytesPerRow(kWidth, format);
  std::vector<std::byte> source(kolv::surfacePlanes(kWidth, kHeight, format, bytesPerRow).size);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::byte>(i * 7 % 251);
  std::vector<std::byte> target(std::size_t{kHeight} * kWidth * 4);
  const kolv::output::SourcePicture picture{source.data(), kWidth, kHeight, bytesPerRow};
  const kolv::output::TargetPicture buffer{target.data(), kWidth, kHeight, kWidth * 4};
  for (auto _ : state) {
    const bool written = format == kolv::kSurfacePixelFormatBGRA ? kolv::output::placePicture(picture, buffer, 4)
                                                                 : kolv::output::convertToBGRA(picture, format, buffer);
    if (!written) state.SkipWithError("not written");
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * target.size()));
}

BENCHMARK_CAPTURE(convertFrame, BGRA_copy, kolv::kSurfacePixelFormatBGRA)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, NV12, kolv::kSurfacePixelFormatNV12)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, I420, kolv::kSurfacePixelFormatI420)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, YUY2, kolv::kSurfacePixelFormatYUY2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, UYVY, kolv::kSurfacePixelFormatUYVY)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, RGBA, kolv::kSurfacePixelFormatRGBA)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, ARGB, kolv::kSurfacePixelFormatARGB)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(convertFrame, ABGR, kolv::kSurfacePixelFormatABGR)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
