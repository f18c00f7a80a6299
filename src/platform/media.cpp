#include "platform/media.h"

namespace kolv {
namespace {

// Views a surface's memory; holds the surface so the memory outlives every holder.
// Thread-safety: immutable after construction.
class SurfacePixelBuffer final : public CVPixelBuffer {
 public:
  explicit SurfacePixelBuffer(IOSurfaceRef surface) : surface_(std::move(surface)) {}
  std::size_t width() const override { return surface_->width(); }
  std::size_t height() const override { return surface_->height(); }
  std::size_t bytesPerRow() const override { return surface_->bytesPerRow(); }
  OSType pixelFormatType() const override { return surface_->pixelFormat(); }
  OSStatus lockBaseAddress(CVPixelBufferLockFlags) override { return noErr; }
  OSStatus unlockBaseAddress(CVPixelBufferLockFlags) override { return noErr; }
  void* baseAddress() const override { return surface_->baseAddress(); }
  std::optional<SharedMemoryRegion> sharedMemory() const override { return surface_->sharedMemory(); }
  std::shared_ptr<IOSurface> ioSurface() const override { return surface_; }

 private:
  IOSurfaceRef surface_;
};

}  // namespace

Created<CMVideoFormatDescriptionRef> MediaServices::CMVideoFormatDescriptionCreate(CMVideoCodecType codecType,
                                                                                    std::int32_t width,
                                                                                    std::int32_t height,
                                                                                    const CFDictionaryRef& extensions) {
  if (width < 0 || height < 0) return {kCVReturnInvalidArgument, nullptr};
  auto description = std::make_shared<CMFormatDescription>();
  description->mediaType = kCMMediaType_Video;
  description->mediaSubType = codecType;
  description->dimensions = {width, height};
  description->extensions = extensions;
  return {noErr, std::move(description)};
}

Created<CMVideoFormatDescriptionRef> MediaServices::CMVideoFormatDescriptionCreateForImageBuffer(
    const CVPixelBufferRef& imageBuffer) {
  if (!imageBuffer) return {kCVReturnInvalidArgument, nullptr};
  return CMVideoFormatDescriptionCreate(imageBuffer->pixelFormatType(),
                                        static_cast<std::int32_t>(imageBuffer->width()),
                                        static_cast<std::int32_t>(imageBuffer->height()), nullptr);
}

Created<CMSampleBufferRef> MediaServices::CMSampleBufferCreateForImageBuffer(
    const CVPixelBufferRef& imageBuffer, bool dataReady, CMSampleBufferMakeDataReadyCallback /*makeDataReadyCallback*/,
    void* /*makeDataReadyRefcon*/, const CMVideoFormatDescriptionRef& formatDescription,
    const CMSampleTimingInfo& sampleTiming) {
  if (!imageBuffer || !formatDescription) return {kCVReturnInvalidArgument, nullptr};
  auto sample = std::make_shared<CMSampleBuffer>();
  sample->imageBuffer = imageBuffer;
  sample->formatDescription = formatDescription;
  sample->dataReady = dataReady;
  sample->timing = {sampleTiming};
  return {noErr, std::move(sample)};
}

Created<CVPixelBufferRef> MediaServices::CVPixelBufferCreateWithIOSurface(const IOSurfaceRef& surface,
                                                                          const CFDictionaryRef& /*attributes*/) {
  if (!surface) return {kCVReturnInvalidArgument, nullptr};
  return {noErr, std::make_shared<SurfacePixelBuffer>(surface)};
}

}  // namespace kolv
