#include "support/test_platform.h"

#include "shared/shared_frame_reader.h"

namespace kolv::test {

std::shared_ptr<FakeSurface> TestPlatform::publish(IOSurfaceID id, double timestamp, const std::string& group) {
  auto surface = media.publishSurface(id);
  files.writeFile(group, kSurfaceIDFileName, surfaceIDBytes(id));
  setTimestamp(timestamp, group);
  return surface;
}

void TestPlatform::setTimestamp(double timestamp, const std::string& group) {
  files.writeFile(group, kFrameMetadataFileName, timestampBytes(timestamp));
}

}  // namespace kolv::test
