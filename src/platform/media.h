// Media buffer services: pixel buffers and their pool, shared surfaces, format
// descriptions, sample buffers and the host clock.
// Thread-safety: a CVPixelBuffer, IOSurface or CMSampleBuffer may be handed between
// threads; one holder locks a buffer at a time. Pools and MediaServices are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/types.h"

namespace kolv {

// A status together with what the call made; `value` is empty when nothing was made.
template <class T>
struct Created {
  OSStatus status = kCVReturnError;
  T value{};
};

// Pages behind a buffer, for a host that can pass them on without copying.
struct SharedMemoryRegion {
  int fd = -1;              // valid as long as the buffer lives; not owned by the caller
  std::size_t offset = 0;   // of the first pixel row in the file
  std::size_t size = 0;     // bytes from offset
};

using CVPixelBufferLockFlags = std::uint64_t;
inline constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;

class IOSurface;

// An image in memory: width x height pixels of one format, rows bytesPerRow apart.
class CVPixelBuffer {
 public:
  virtual ~CVPixelBuffer() = default;
  virtual std::size_t width() const = 0;
  virtual std::size_t height() const = 0;
  virtual std::size_t bytesPerRow() const = 0;
  virtual OSType pixelFormatType() const = 0;
  virtual OSStatus lockBaseAddress(CVPixelBufferLockFlags flags) = 0;
  virtual OSStatus unlockBaseAddress(CVPixelBufferLockFlags flags) = 0;
  // The first byte, or nullptr when the buffer has no CPU-visible memory.
  virtual void* baseAddress() const = 0;
  virtual std::optional<SharedMemoryRegion> sharedMemory() const { return std::nullopt; }
  // The surface the buffer views, or nullptr for a buffer of its own (a pool's).
  virtual std::shared_ptr<IOSurface> ioSurface() const { return nullptr; }
};
using CVPixelBufferRef = std::shared_ptr<CVPixelBuffer>;

inline OSStatus CVPixelBufferLockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags) {
  return buffer->lockBaseAddress(flags);
}
inline OSStatus CVPixelBufferUnlockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags) {
  return buffer->unlockBaseAddress(flags);
}
inline void* CVPixelBufferGetBaseAddress(const CVPixelBufferRef& buffer) { return buffer->baseAddress(); }
inline std::size_t CVPixelBufferGetBytesPerRow(const CVPixelBufferRef& buffer) { return buffer->bytesPerRow(); }
inline std::size_t CVPixelBufferGetWidth(const CVPixelBufferRef& buffer) { return buffer->width(); }
inline std::size_t CVPixelBufferGetHeight(const CVPixelBufferRef& buffer) { return buffer->height(); }
inline OSType CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& buffer) { return buffer->pixelFormatType(); }

// A pool that recycles buffers of one geometry.
class CVPixelBufferPool {
 public:
  virtual ~CVPixelBufferPool() = default;
  // Honours kCVPixelBufferPoolAllocationThresholdKey in `auxAttributes`: with that many
  // buffers out of the pool, the call fails with kCVReturnWouldExceedAllocationThreshold.
  virtual Created<CVPixelBufferRef> createPixelBuffer(const CFDictionaryRef& auxAttributes) = 0;
};
using CVPixelBufferPoolRef = std::shared_ptr<CVPixelBufferPool>;

inline Created<CVPixelBufferRef> CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(
    const CVPixelBufferPoolRef& pool, const CFDictionaryRef& auxAttributes) {
  return pool->createPixelBuffer(auxAttributes);
}

// A picture in shared memory published by another process under a nonzero 32-bit ID.
using IOSurfaceID = std::uint32_t;

class IOSurface {
 public:
  virtual ~IOSurface() = default;
  virtual IOSurfaceID surfaceID() const = 0;
  virtual std::size_t width() const = 0;
  virtual std::size_t height() const = 0;
  virtual std::size_t bytesPerRow() const = 0;
  virtual OSType pixelFormat() const = 0;
  // The first pixel; every plane of the picture (height() * bytesPerRow() bytes, then the
  // chroma planes of a 4:2:0 format) stays readable while the surface lives, whatever its
  // producer does. A surface another process publishes is mapped read-only.
  virtual void* baseAddress() const = 0;
  virtual std::optional<SharedMemoryRegion> sharedMemory() const { return std::nullopt; }
};
using IOSurfaceRef = std::shared_ptr<IOSurface>;

// A description of video samples.
struct CMVideoDimensions {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const CMVideoDimensions&, const CMVideoDimensions&) = default;
};

struct CMFormatDescription {
  FourCharCode mediaType = kCMMediaType_Video;
  FourCharCode mediaSubType = 0;
  CMVideoDimensions dimensions;
  CFDictionaryRef extensions;
};
using CMFormatDescriptionRef = std::shared_ptr<const CMFormatDescription>;
using CMVideoFormatDescriptionRef = CMFormatDescriptionRef;
using CMVideoCodecType = FourCharCode;

inline FourCharCode CMFormatDescriptionGetMediaSubType(const CMFormatDescriptionRef& description) {
  return description->mediaSubType;
}
inline CMVideoDimensions CMVideoFormatDescriptionGetDimensions(const CMFormatDescriptionRef& description) {
  return description->dimensions;
}

struct CMSampleTimingInfo {
  CMTime duration;
  CMTime presentationTimeStamp;
  CMTime decodeTimeStamp;
};

// A timed image ready for the host.
struct CMSampleBuffer {
  CVPixelBufferRef imageBuffer;
  CMFormatDescriptionRef formatDescription;
  bool dataReady = false;
  std::vector<CMSampleTimingInfo> timing;
};
using CMSampleBufferRef = std::shared_ptr<const CMSampleBuffer>;
using CMSampleBufferMakeDataReadyCallback = OSStatus (*)(const CMSampleBuffer&, void* refcon);

// The host clock: a monotonic time that every part of the process shares.
class CMClock {
 public:
  virtual ~CMClock() = default;
  virtual CMTime time() const = 0;
};
using CMClockRef = std::shared_ptr<const CMClock>;

inline CMTime CMClockGetTime(const CMClockRef& clock) { return clock->time(); }

// The services, behind one interface so that each call can be replaced in tests.
class MediaServices {
 public:
  virtual ~MediaServices() = default;

  virtual Created<CMVideoFormatDescriptionRef> CMVideoFormatDescriptionCreate(
      CMVideoCodecType codecType, std::int32_t width, std::int32_t height, const CFDictionaryRef& extensions);
  virtual Created<CMVideoFormatDescriptionRef> CMVideoFormatDescriptionCreateForImageBuffer(
      const CVPixelBufferRef& imageBuffer);
  virtual Created<CMSampleBufferRef> CMSampleBufferCreateForImageBuffer(
      const CVPixelBufferRef& imageBuffer, bool dataReady, CMSampleBufferMakeDataReadyCallback makeDataReadyCallback,
      void* makeDataReadyRefcon, const CMVideoFormatDescriptionRef& formatDescription,
      const CMSampleTimingInfo& sampleTiming);
  // A pixel buffer that views the surface's own memory, without a copy.
  virtual Created<CVPixelBufferRef> CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                                     const CFDictionaryRef& pixelBufferAttributes);

  // Reads width, height and pixel format from `pixelBufferAttributes`.
  virtual Created<CVPixelBufferPoolRef> CVPixelBufferPoolCreate(const CFDictionaryRef& poolAttributes,
                                                                const CFDictionaryRef& pixelBufferAttributes) = 0;
  virtual CMClockRef CMClockGetHostTimeClock() = 0;
  // The surface published under `surfaceID`, held from now on, or nullptr.
  virtual IOSurfaceRef IOSurfaceLookup(IOSurfaceID surfaceID) = 0;
};

}  // namespace kolv
