// A pixel-buffer pool that keeps and recycles its buffers, so that a buffer handed out
// again is already faulted in. Buffers may outlive the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/media.h"
#include "platform/output/buffer_lending.h"
#include "platform/types.h"

namespace kolv {

class PixelBufferPoolState;

inline constexpr std::int64_t kMaxPixelBufferDimension = 16384;

// The layout that pixel-buffer attributes ask for: kCVPixelBufferWidthKey and
// kCVPixelBufferHeightKey in 1...16384, kCVPixelBufferPixelFormatTypeKey 'BGRA', rows
// exactly width * 4 bytes, shareable when kCVPixelBufferIOSurfacePropertiesKey is present.
// Empty when anything is missing or refused.
std::optional<PixelBufferLayout> pixelBufferLayoutFromAttributes(const CFDictionaryRef& attributes);

// With a supplier of stream buffers, a buffer is a free stream buffer of the same geometry when
// there is one (the frame drawn into it is sent without a copy), else one of the pool's own.
// Thread-safety: createPixelBuffer and buffersInUse may be called from any thread; buffers
// come back to the pool from whichever thread drops the last reference.
class LinuxPixelBufferPool final : public CVPixelBufferPool {
 public:
  explicit LinuxPixelBufferPool(const PixelBufferLayout& layout,
                                std::shared_ptr<StreamBufferSupplier> streamBuffers = nullptr);
  ~LinuxPixelBufferPool() override;

  // A buffer counts as in use until every holder has released it; a stream buffer until the
  // stream and its consumers have handed it back too. A free stream buffer is always handed
  // out. Otherwise, with as many in use as the aux attributes'
  // kCVPixelBufferPoolAllocationThresholdKey, the call fails with
  // kCVReturnWouldExceedAllocationThreshold; without that key there is no limit.
  Created<CVPixelBufferRef> createPixelBuffer(const CFDictionaryRef& auxAttributes) override;

  std::size_t buffersInUse() const;

 private:
  PixelBufferLayout layout_;
  const std::shared_ptr<StreamBufferSupplier> streamBuffers_;
  std::mutex requestMutex_;
  std::shared_ptr<PixelBufferPoolState> state_;
};

}  // namespace kolv
