// The cost of one 1280x720 frame from the camera's BGRA picture into an output's format: the
// V4L2 loopback device's (YUYV, the default, I420, NV12, or BGRA placed as it is), which is what
// the PipeWire node's YUV formats cost too; and two outputs of one format (the node in YUY2 and
// the device in YUYV), which share one conversion. A plain copy of the frame is the floor.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/output/output_frame.h"
#include "platform/v4l2loopback/loopback_format.h"

namespace {

constexpr std::size_t kWidth = 1280;
constexpr std::size_t kHeight = 720;

class NoLog final : public kolv::OSLog {
 public:
  bool isEnabled(kolv::OSLogType) const override { return false; }
  void write(kolv::OSLogType, std::string_view) override {}
};

// A BGRA picture in plain memory, as the camera's grey frame or a placed surface would be.
class Picture final : public kolv::CVPixelBuffer {
 public:
  Picture() : bytes_(kWidth * kHeight * 4) {
    for (std::size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<std::byte>(i * 7 % 251);
  }
  std::size_t width() const override { return kWidth; }
  std::size_t height() const override { return kHeight; }
  std::size_t bytesPerRow() const override { return kWidth * 4; }
  kolv::OSType pixelFormatType() const override { return kolv::kCVPixelFormatType_32BGRA; }
  kolv::OSStatus lockBaseAddress(kolv::CVPixelBufferLockFlags) override { return kolv::noErr; }
  kolv::OSStatus unlockBaseAddress(kolv::CVPixelBufferLockFlags) override { return kolv::noErr; }
  void* baseAddress() const override { return const_cast<std::byte*>(bytes_.data()); }

 private:
  std::vector<std::byte> bytes_;
};

kolv::CMSampleBufferRef sample() {
  auto made = std::make_shared<kolv::CMSampleBuffer>();
  made->imageBuffer = std::make_shared<Picture>();
  return made;
}

void copyFloor(benchmark::State& state) {
  const std::vector<std::byte> source(kWidth * kHeight * 4, std::byte{0x40});
  std::vector<std::byte> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

void loopback(benchmark::State& state, kolv::v4l2loopback::LoopbackFormat format) {
  NoLog log;
  kolv::output::FramePictures pictures(log, "bench");
  kolv::v4l2loopback::FrameConverter converter(format, kWidth, kHeight);
  const auto frameSample = sample();
  std::uint64_t sequence = 0;
  for (auto _ : state) {
    kolv::output::OutputFrame frame(pictures, frameSample, 0, 0, ++sequence, 1);
    if (!converter.convert(frame)) state.SkipWithError("not converted");
    benchmark::DoNotOptimize(converter.frame().data());
    benchmark::ClobberMemory();
  }
}

// The node's YUY2 buffer and the device's YUYV frame from one picture.
void nodeAndLoopbackYUYV(benchmark::State& state) {
  NoLog log;
  kolv::output::FramePictures pictures(log, "bench");
  kolv::v4l2loopback::FrameConverter converter(kolv::v4l2loopback::LoopbackFormat::yuyv, kWidth, kHeight);
  std::vector<std::byte> node(kWidth * kHeight * 2);
  const auto frameSample = sample();
  std::uint64_t sequence = 0;
  for (auto _ : state) {
    kolv::output::OutputFrame frame(pictures, frameSample, 0, 0, ++sequence, 2);
    if (!frame.writeInto({node.data(), kWidth, kHeight, kWidth * 2}, kolv::fourCC("yuvs"))) {
      state.SkipWithError("not converted");
    }
    frame.nextOutput();
    if (!converter.convert(frame)) state.SkipWithError("not converted");
    benchmark::DoNotOptimize(node.data());
    benchmark::DoNotOptimize(converter.frame().data());
    benchmark::ClobberMemory();
  }
  state.counters["conversions per frame"] =
      static_cast<double>(pictures.conversions()) / static_cast<double>(state.iterations());
}

}  // namespace

using kolv::v4l2loopback::LoopbackFormat;
BENCHMARK(copyFloor)->Name("floor: memcpy of a BGRA frame")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loopback, YUYV, LoopbackFormat::yuyv)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loopback, I420, LoopbackFormat::i420)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loopback, NV12, LoopbackFormat::nv12)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(loopback, BGRA, LoopbackFormat::bgra)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
BENCHMARK(nodeAndLoopbackYUYV)->Name("two outputs: node YUY2 + device YUYV")->Unit(benchmark::kMicrosecond);
