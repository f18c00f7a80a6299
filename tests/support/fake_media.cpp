#include "support/fake_media.h"

namespace kolv::test {

HeapPixelBuffer::HeapPixelBuffer(std::size_t width, std::size_t height, std::size_t bytesPerRow, OSType format,
                                 bool withMemory)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), format_(format) {
  if (withMemory) bytes_.assign(bytesPerRow * height, 0);
}

OSStatus HeapPixelBuffer::lockBaseAddress(CVPixelBufferLockFlags) {
  ++locks_;
  return noErr;
}

OSStatus HeapPixelBuffer::unlockBaseAddress(CVPixelBufferLockFlags) {
  ++unlocks_;
  return noErr;
}

void* HeapPixelBuffer::baseAddress() const {
  // Only valid between lock and unlock; outside that window the buffer reports none.
  if (bytes_.empty() || locks_ == unlocks_) return nullptr;
  return bytes_.data();
}

FakePixelBufferPool::FakePixelBufferPool(std::size_t width, std::size_t height, OSType format,
                                         const FakePoolOptions& options)
    : width_(width), height_(height), format_(format), options_(options) {}

Created<CVPixelBufferRef> FakePixelBufferPool::createPixelBuffer(const CFDictionaryRef& auxAttributes) {
  if (options_.runDry) return {kCVReturnAllocationFailed, nullptr};
  if (options_.noBufferOnSuccess) return {noErr, nullptr};
  const auto threshold = auxAttributes ? auxAttributes->integer(kCVPixelBufferPoolAllocationThresholdKey) : std::nullopt;
  if (threshold && *inUse_ >= *threshold) return {kCVReturnWouldExceedAllocationThreshold, nullptr};
  const std::size_t height = options_.heightOverride == SIZE_MAX ? height_ : options_.heightOverride;
  auto* buffer =
      new HeapPixelBuffer(width_, height, width_ * 4 + options_.rowPadding, format_, !options_.withoutBaseAddress);
  ++*inUse_;
  ++created_;
  // The count lives apart from the pool, so buffers may outlive it.
  return {noErr, CVPixelBufferRef(buffer, [inUse = inUse_](HeapPixelBuffer* b) {
            --*inUse;
            delete b;
          })};
}

FakeSurface::FakeSurface(IOSurfaceID id, std::size_t width, std::size_t height, OSType format, std::size_t bytesPerRow)
    : id_(id), width_(width), height_(height), bytesPerRow_(bytesPerRow), format_(format),
      bytes_(bytesPerRow * height, 0) {}

FakeMediaServices::FakeMediaServices(ManualClock& clock)
    : clock_(std::shared_ptr<ManualClock>(std::shared_ptr<ManualClock>(), &clock)) {}

Created<CMVideoFormatDescriptionRef> FakeMediaServices::CMVideoFormatDescriptionCreate(
    CMVideoCodecType codecType, std::int32_t width, std::int32_t height, const CFDictionaryRef& extensions) {
  if (refuseFormatDescription) return {kCVReturnError, nullptr};
  return MediaServices::CMVideoFormatDescriptionCreate(codecType, width, height, extensions);
}

Created<CMVideoFormatDescriptionRef> FakeMediaServices::CMVideoFormatDescriptionCreateForImageBuffer(
    const CVPixelBufferRef& imageBuffer) {
  // The status is deliberately 0 here: the camera must look at the description, not the status.
  if (refuseDescriptionForImageBuffer) return {noErr, nullptr};
  return MediaServices::CMVideoFormatDescriptionCreateForImageBuffer(imageBuffer);
}

Created<CMSampleBufferRef> FakeMediaServices::CMSampleBufferCreateForImageBuffer(
    const CVPixelBufferRef& imageBuffer, bool dataReady, CMSampleBufferMakeDataReadyCallback callback, void* refcon,
    const CMVideoFormatDescriptionRef& formatDescription, const CMSampleTimingInfo& sampleTiming) {
  auto created = MediaServices::CMSampleBufferCreateForImageBuffer(imageBuffer, dataReady, callback, refcon,
                                                                   formatDescription, sampleTiming);
  if (sampleBufferStatus != noErr) created.status = sampleBufferStatus;
  if (sampleBufferWithoutSample) created.value = nullptr;
  return created;
}

Created<CVPixelBufferRef> FakeMediaServices::CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                                              const CFDictionaryRef& attributes) {
  if (refusePixelBufferWithSurface) return {kCVReturnError, nullptr};
  return MediaServices::CVPixelBufferCreateWithIOSurface(surface, attributes);
}

Created<CVPixelBufferPoolRef> FakeMediaServices::CVPixelBufferPoolCreate(const CFDictionaryRef& /*poolAttributes*/,
                                                                         const CFDictionaryRef& pixelBufferAttributes) {
  poolAttributes = pixelBufferAttributes;
  if (refusePool || !pixelBufferAttributes) return {kCVReturnError, nullptr};
  const auto width = pixelBufferAttributes->integer(kCVPixelBufferWidthKey);
  const auto height = pixelBufferAttributes->integer(kCVPixelBufferHeightKey);
  const auto format = pixelBufferAttributes->integer(kCVPixelBufferPixelFormatTypeKey);
  if (!width || !height || !format) return {kCVReturnInvalidArgument, nullptr};
  pool = std::make_shared<FakePixelBufferPool>(static_cast<std::size_t>(*width), static_cast<std::size_t>(*height),
                                               static_cast<OSType>(*format), poolOptions);
  return {noErr, pool};
}

IOSurfaceRef FakeMediaServices::IOSurfaceLookup(IOSurfaceID surfaceID) {
  lookups.push_back(surfaceID);
  auto it = surfaces_.find(surfaceID);
  return it == surfaces_.end() ? nullptr : it->second;
}

std::shared_ptr<FakeSurface> FakeMediaServices::publishSurface(IOSurfaceID id, std::size_t width, std::size_t height,
                                                               OSType format, std::size_t bytesPerRow) {
  auto surface = std::make_shared<FakeSurface>(id, width, height, format, bytesPerRow ? bytesPerRow : width * 4);
  surfaces_[id] = surface;
  return surface;
}

}  // namespace kolv::test
