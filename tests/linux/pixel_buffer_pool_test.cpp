// The pixel-buffer pool: attributes, the allocation threshold, recycling, shareable
// memory, buffers that outlive their pool, and concurrent use.
#include "platform/linux/pixel_buffer_pool.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/media_linux.h"

namespace kolv {
namespace {

CFDictionaryRef cameraAttributes() {
  return std::make_shared<CFDictionary>(CFDictionary{
      {std::string(kCVPixelBufferWidthKey), std::int32_t{1280}},
      {std::string(kCVPixelBufferHeightKey), std::int32_t{720}},
      {std::string(kCVPixelBufferPixelFormatTypeKey),
       std::int32_t{static_cast<std::int32_t>(kCVPixelFormatType_32BGRA)}},
      {std::string(kCVPixelBufferIOSurfacePropertiesKey), std::make_shared<const CFDictionary>()},
  });
}

CFDictionaryRef threshold(std::int32_t count) {
  return std::make_shared<CFDictionary>(CFDictionary{{std::string(kCVPixelBufferPoolAllocationThresholdKey), count}});
}

std::shared_ptr<LinuxPixelBufferPool> smallPool(bool shareable = true) {
  PixelBufferLayout layout;
  layout.width = 16;
  layout.height = 4;
  layout.bytesPerRow = 64;
  layout.shareable = shareable;
  return std::make_shared<LinuxPixelBufferPool>(layout);
}

TEST(PixelBufferPoolTest, ServicesMakeShareableBGRAPoolsFromTheCamerasAttributes) {
  LinuxMediaServices media(nullptr, {});
  auto pool = media.CVPixelBufferPoolCreate(nullptr, cameraAttributes());
  ASSERT_EQ(pool.status, noErr);
  ASSERT_TRUE(pool.value);
  auto buffer = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(pool.value, threshold(5));
  ASSERT_EQ(buffer.status, noErr);
  ASSERT_TRUE(buffer.value);
  EXPECT_EQ(CVPixelBufferGetWidth(buffer.value), 1280U);
  EXPECT_EQ(CVPixelBufferGetHeight(buffer.value), 720U);
  EXPECT_EQ(CVPixelBufferGetBytesPerRow(buffer.value), 5120U);
  EXPECT_EQ(CVPixelBufferGetPixelFormatType(buffer.value), kCVPixelFormatType_32BGRA);

  // What the camera writes is what another mapping of the memfd reads.
  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer.value, 0), noErr);
  auto* base = static_cast<std::byte*>(CVPixelBufferGetBaseAddress(buffer.value));
  ASSERT_NE(base, nullptr);
  std::memset(base, 0x40, 5120 * 720);
  base[5120 * 720 - 1] = std::byte{0x7f};
  ASSERT_EQ(CVPixelBufferUnlockBaseAddress(buffer.value, 0), noErr);
  auto region = buffer.value->sharedMemory();
  ASSERT_TRUE(region);
  EXPECT_EQ(region->offset, 0U);
  EXPECT_EQ(region->size, 3686400U);
  void* other = ::mmap(nullptr, region->size, PROT_READ, MAP_SHARED, region->fd, 0);
  ASSERT_NE(other, MAP_FAILED);
  const auto* seen = static_cast<const std::byte*>(other);
  EXPECT_EQ(seen[0], std::byte{0x40});
  EXPECT_EQ(seen[5120 * 720 - 1], std::byte{0x7f});
  ::munmap(other, region->size);
  // Sealed: whoever gets the descriptor cannot pull the pages away from the camera.
  EXPECT_NE(::ftruncate(region->fd, 4096), 0);
}

TEST(PixelBufferPoolTest, PrivateMemoryWithoutTheSurfacePropertiesKey) {
  const auto layout = pixelBufferLayoutFromAttributes(std::make_shared<CFDictionary>(CFDictionary{
      {std::string(kCVPixelBufferWidthKey), std::int64_t{64}},
      {std::string(kCVPixelBufferHeightKey), std::int64_t{2}},
      {std::string(kCVPixelBufferPixelFormatTypeKey), std::int64_t{kCVPixelFormatType_32BGRA}},
  }));
  ASSERT_TRUE(layout);
  EXPECT_FALSE(layout->shareable);
  LinuxPixelBufferPool pool(*layout);
  auto buffer = pool.createPixelBuffer(nullptr);
  ASSERT_EQ(buffer.status, noErr);
  EXPECT_NE(buffer.value->baseAddress(), nullptr);
  EXPECT_FALSE(buffer.value->sharedMemory());
}

TEST(PixelBufferPoolTest, RefusesAttributesItCannotServe) {
  const auto entry = [](std::string_view key, CFValue value) { return std::pair{std::string(key), value}; };
  const auto width = [&](CFValue v) { return entry(kCVPixelBufferWidthKey, v); };
  const auto height = [&](CFValue v) { return entry(kCVPixelBufferHeightKey, v); };
  const auto format = [&](CFValue v) { return entry(kCVPixelBufferPixelFormatTypeKey, v); };
  const CFValue bgra = std::int32_t{static_cast<std::int32_t>(kCVPixelFormatType_32BGRA)};
  const std::vector<std::pair<const char*, CFDictionaryRef>> refused = {
      {"no dictionary", nullptr},
      {"empty", std::make_shared<CFDictionary>()},
      {"no width", std::make_shared<CFDictionary>(CFDictionary{height(720), format(bgra)})},
      {"no height", std::make_shared<CFDictionary>(CFDictionary{width(1280), format(bgra)})},
      {"no format", std::make_shared<CFDictionary>(CFDictionary{width(1280), height(720)})},
      {"zero width", std::make_shared<CFDictionary>(CFDictionary{width(0), height(720), format(bgra)})},
      {"negative height", std::make_shared<CFDictionary>(CFDictionary{width(1280), height(-720), format(bgra)})},
      {"huge width", std::make_shared<CFDictionary>(CFDictionary{width(16385), height(720), format(bgra)})},
      {"width beyond 32 bits",
       std::make_shared<CFDictionary>(CFDictionary{width(std::int64_t{1} << 32 | 1280), height(720), format(bgra)})},
      {"width as text",
       std::make_shared<CFDictionary>(CFDictionary{width(std::string("1280")), height(720), format(bgra)})},
      {"'RGBA'",
       std::make_shared<CFDictionary>(CFDictionary{width(1280), height(720), format(std::int32_t{0x52474241})})},
  };
  LinuxMediaServices media(nullptr, {});
  for (const auto& [name, attributes] : refused) {
    SCOPED_TRACE(name);
    auto pool = media.CVPixelBufferPoolCreate(nullptr, attributes);
    EXPECT_EQ(pool.status, kCVReturnInvalidArgument);
    EXPECT_FALSE(pool.value);
  }
  auto largest = media.CVPixelBufferPoolCreate(
      nullptr, std::make_shared<CFDictionary>(CFDictionary{width(16384), height(1), format(bgra)}));
  EXPECT_EQ(largest.status, noErr);
}

TEST(PixelBufferPoolTest, ThresholdCountsBuffersUntilTheirLastHolderLetsGo) {
  auto pool = smallPool();
  std::vector<CVPixelBufferRef> held;
  for (int i = 0; i < 5; ++i) {
    auto buffer = pool->createPixelBuffer(threshold(5));
    ASSERT_EQ(buffer.status, noErr);
    held.push_back(buffer.value);
  }
  auto refused = pool->createPixelBuffer(threshold(5));
  EXPECT_EQ(refused.status, kCVReturnWouldExceedAllocationThreshold);
  EXPECT_FALSE(refused.value);

  // A second holder keeps the buffer in use after the first one drops it.
  CVPixelBufferRef client = held.back();
  held.pop_back();
  EXPECT_EQ(pool->createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
  client.reset();
  EXPECT_EQ(pool->buffersInUse(), 4U);
  auto again = pool->createPixelBuffer(threshold(5));
  EXPECT_EQ(again.status, noErr);
  EXPECT_TRUE(again.value);

  // The threshold belongs to each request: without one there is no limit.
  auto sixth = pool->createPixelBuffer(threshold(6));
  EXPECT_EQ(sixth.status, noErr);
  EXPECT_EQ(pool->createPixelBuffer(threshold(6)).status, kCVReturnWouldExceedAllocationThreshold);
  EXPECT_EQ(pool->createPixelBuffer(threshold(0)).status, kCVReturnWouldExceedAllocationThreshold);
  auto unlimited = pool->createPixelBuffer(nullptr);
  EXPECT_EQ(unlimited.status, noErr);
  EXPECT_EQ(pool->buffersInUse(), 7U);
}

TEST(PixelBufferPoolTest, RecyclesTheMemoryOfReturnedBuffers) {
  auto pool = smallPool();
  auto first = pool->createPixelBuffer(nullptr).value;
  auto second = pool->createPixelBuffer(nullptr).value;
  ASSERT_TRUE(first && second);
  void* const firstMemory = first->baseAddress();
  const int firstFd = first->sharedMemory()->fd;
  EXPECT_NE(firstMemory, second->baseAddress());
  std::memset(firstMemory, 0x11, 64 * 4);

  first.reset();
  auto recycled = pool->createPixelBuffer(nullptr).value;
  ASSERT_TRUE(recycled);
  EXPECT_EQ(recycled->baseAddress(), firstMemory);
  EXPECT_EQ(recycled->sharedMemory()->fd, firstFd);
  EXPECT_EQ(static_cast<std::byte*>(recycled->baseAddress())[255], std::byte{0x11});
}

TEST(PixelBufferPoolTest, BuffersOutliveThePoolAndThenFreeTheirMemory) {
  auto pool = smallPool();
  auto buffer = pool->createPixelBuffer(threshold(5)).value;
  auto idle = pool->createPixelBuffer(threshold(5)).value;
  ASSERT_TRUE(buffer && idle);
  const int fd = buffer->sharedMemory()->fd;
  idle.reset();  // back in the pool, which goes with it
  pool.reset();

  std::memset(buffer->baseAddress(), 0x40, 64 * 4);
  EXPECT_EQ(static_cast<std::byte*>(buffer->baseAddress())[64 * 4 - 1], std::byte{0x40});
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  buffer.reset();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the buffer's memfd is closed once nothing holds it";
}

TEST(PixelBufferPoolTest, UnlockWithoutLockIsRefused) {
  auto buffer = smallPool(false)->createPixelBuffer(nullptr).value;
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->unlockBaseAddress(0), kCVReturnError);
  EXPECT_EQ(buffer->lockBaseAddress(kCVPixelBufferLock_ReadOnly), noErr);
  EXPECT_EQ(buffer->lockBaseAddress(0), noErr);
  EXPECT_EQ(buffer->unlockBaseAddress(0), noErr);
  EXPECT_EQ(buffer->unlockBaseAddress(kCVPixelBufferLock_ReadOnly), noErr);
  EXPECT_EQ(buffer->unlockBaseAddress(0), kCVReturnError);
}

TEST(PixelBufferPoolTest, ThresholdHoldsUnderConcurrentUse) {
  auto pool = smallPool();
  constexpr int kThreshold = 3;
  std::atomic<int> held = 0;
  std::atomic<int> mostHeld = 0;
  std::atomic<int> refused = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto buffer = pool->createPixelBuffer(threshold(kThreshold));
        if (!buffer.value) {
          EXPECT_EQ(buffer.status, kCVReturnWouldExceedAllocationThreshold);
          refused.fetch_add(1);
          continue;
        }
        const int now = held.fetch_add(1) + 1;
        int most = mostHeld.load();
        while (now > most && !mostHeld.compare_exchange_weak(most, now)) {
        }
        static_cast<std::byte*>(buffer.value->baseAddress())[0] = std::byte{1};
        held.fetch_sub(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(mostHeld.load(), kThreshold);
  EXPECT_EQ(pool->buffersInUse(), 0U);
}

}  // namespace
}  // namespace kolv
