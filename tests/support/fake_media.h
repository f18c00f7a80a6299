// In-memory media services with a switch for every failure the camera must survive.
// Thread: test thread only (buffers may be released from any thread).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/media.h"
#include "support/manual_dispatch.h"

namespace kolv::test {

// A pixel buffer in heap memory.
class HeapPixelBuffer final : public CVPixelBuffer {
 public:
  HeapPixelBuffer(std::size_t width, std::size_t height, std::size_t bytesPerRow, OSType format,
                  bool withMemory = true);
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t bytesPerRow() const override { return bytesPerRow_; }
  OSType pixelFormatType() const override { return format_; }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags) override;
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags) override;
  void* baseAddress() const override;

  int lockCount() const { return locks_; }
  int unlockCount() const { return unlocks_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::size_t width_, height_, bytesPerRow_;
  OSType format_;
  mutable std::vector<std::uint8_t> bytes_;
  int locks_ = 0;
  int unlocks_ = 0;
};

// Geometry and faults of the buffers the fake pool hands out.
struct FakePoolOptions {
  std::size_t rowPadding = 0;       // bytes per row beyond width * 4
  std::size_t heightOverride = SIZE_MAX;
  bool withoutBaseAddress = false;  // buffers report no base address
  bool runDry = false;              // every request fails
  bool noBufferOnSuccess = false;   // status 0 but no buffer
};

class FakePixelBufferPool final : public CVPixelBufferPool {
 public:
  FakePixelBufferPool(std::size_t width, std::size_t height, OSType format, const FakePoolOptions& options);
  Created<CVPixelBufferRef> createPixelBuffer(const CFDictionaryRef& auxAttributes) override;

  // Buffers handed out and not yet released by every holder.
  int inUse() const { return *inUse_; }
  int created() const { return created_; }

 private:
  std::size_t width_, height_;
  OSType format_;
  const FakePoolOptions& options_;
  std::shared_ptr<int> inUse_ = std::make_shared<int>(0);
  int created_ = 0;
};

class FakeSurface final : public IOSurface {
 public:
  FakeSurface(IOSurfaceID id, std::size_t width, std::size_t height, OSType format, std::size_t bytesPerRow);
  IOSurfaceID surfaceID() const override { return id_; }
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t bytesPerRow() const override { return bytesPerRow_; }
  OSType pixelFormat() const override { return format_; }
  void* baseAddress() const override { return bytes_.data(); }

 private:
  IOSurfaceID id_;
  std::size_t width_, height_, bytesPerRow_;
  OSType format_;
  mutable std::vector<std::uint8_t> bytes_;
};

class FakeMediaServices final : public MediaServices {
 public:
  explicit FakeMediaServices(ManualClock& clock);

  Created<CMVideoFormatDescriptionRef> CMVideoFormatDescriptionCreate(CMVideoCodecType codecType, std::int32_t width,
                                                                      std::int32_t height,
                                                                      const CFDictionaryRef& extensions) override;
  Created<CMVideoFormatDescriptionRef> CMVideoFormatDescriptionCreateForImageBuffer(
      const CVPixelBufferRef& imageBuffer) override;
  Created<CMSampleBufferRef> CMSampleBufferCreateForImageBuffer(
      const CVPixelBufferRef& imageBuffer, bool dataReady, CMSampleBufferMakeDataReadyCallback callback, void* refcon,
      const CMVideoFormatDescriptionRef& formatDescription, const CMSampleTimingInfo& sampleTiming) override;
  Created<CVPixelBufferRef> CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                             const CFDictionaryRef& attributes) override;
  Created<CVPixelBufferPoolRef> CVPixelBufferPoolCreate(const CFDictionaryRef& poolAttributes,
                                                        const CFDictionaryRef& pixelBufferAttributes) override;
  CMClockRef CMClockGetHostTimeClock() override { return clock_; }
  IOSurfaceRef IOSurfaceLookup(IOSurfaceID surfaceID) override;

  // Publishes a surface under `id`, as a companion would.
  std::shared_ptr<FakeSurface> publishSurface(IOSurfaceID id, std::size_t width = 1280, std::size_t height = 720,
                                              OSType format = kCVPixelFormatType_32BGRA, std::size_t bytesPerRow = 0);
  void unpublishSurface(IOSurfaceID id) { surfaces_.erase(id); }

  // Faults.
  bool refuseFormatDescription = false;
  bool refusePool = false;
  bool refuseDescriptionForImageBuffer = false;
  OSStatus sampleBufferStatus = noErr;
  bool sampleBufferWithoutSample = false;
  bool refusePixelBufferWithSurface = false;
  FakePoolOptions poolOptions;

  // What the camera asked for.
  CFDictionaryRef poolAttributes;
  std::vector<IOSurfaceID> lookups;
  std::shared_ptr<FakePixelBufferPool> pool;

 private:
  std::shared_ptr<ManualClock> clock_;
  std::map<IOSurfaceID, std::shared_ptr<FakeSurface>> surfaces_;
};

}  // namespace kolv::test
