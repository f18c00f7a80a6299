// A pixel-buffer pool that keeps and recycles its buffers, so that a buffer handed out
// again is already faulted in. Buffers may outlive the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/media.h"
#include "platform/types.h"

namespace kolv {

class PixelBufferPoolState;

// Geometry and memory kind of a pool's buffers.
struct PixelBufferLayout {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t bytesPerRow = 0;
  OSType pixelFormat = kCVPixelFormatType_32BGRA;
  // Backed by a sealed memfd that another process can map; private memory otherwise.
  bool shareable = false;

  std::size_t byteCount() const { return bytesPerRow * height; }
};

inline constexpr std::int64_t kMaxPixelBufferDimension = 16384;

// The layout that pixel-buffer attributes ask for: kCVPixelBufferWidthKey and
// kCVPixelBufferHeightKey in 1...16384, kCVPixelBufferPixelFormatTypeKey 'BGRA', rows
// exactly width * 4 bytes, shareable when kCVPixelBufferIOSurfacePropertiesKey is present.
// Empty when anything is missing or refused.
std::optional<PixelBufferLayout> pixelBufferLayoutFromAttributes(const CFDictionaryRef& attributes);

// Thread-safety: createPixelBuffer and buffersInUse may be called from any thread; buffers
// come back to the pool from whichever thread drops the last reference.
class LinuxPixelBufferPool final : public CVPixelBufferPool {
 public:
  explicit LinuxPixelBufferPool(const PixelBufferLayout& layout);
  ~LinuxPixelBufferPool() override;

  // A buffer counts as in use until every holder has released it. With as many in use as
  // the aux attributes' kCVPixelBufferPoolAllocationThresholdKey, the call fails with
  // kCVReturnWouldExceedAllocationThreshold; without that key there is no limit.
  Created<CVPixelBufferRef> createPixelBuffer(const CFDictionaryRef& auxAttributes) override;

  std::size_t buffersInUse() const;

 private:
  PixelBufferLayout layout_;
  std::shared_ptr<PixelBufferPoolState> state_;
};

}  // namespace kolv
