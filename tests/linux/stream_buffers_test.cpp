// A pool that lends a stream's buffers: which buffer may be lent, sent or counted, as the host
// sees them through the ledger (the stream's side played by the test).
#include "platform/linux/stream_buffers.h"

#include <gtest/gtest.h>

#include <vector>

namespace kolv {
namespace {

using Outcome = StreamBufferLedger::Taken::Outcome;

PixelBufferLayout smallLayout() { return PixelBufferLayout{16, 4, 64, kCVPixelFormatType_32BGRA, true}; }

CFDictionaryRef threshold(std::int32_t count) {
  return std::make_shared<CFDictionary>(CFDictionary{{std::string(kCVPixelBufferPoolAllocationThresholdKey), count}});
}

// One stream's buffers, handed back by the stream as a new set would be.
class OneStream final : public StreamBufferSupplier {
 public:
  explicit OneStream(std::size_t count) {
    ledger->reset(smallLayout());
    for (std::size_t i = 0; i < count; ++i) {
      ledger->returnedByStream(ledger->add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256))));
    }
  }
  std::optional<StreamBufferLoan> lend(const PixelBufferLayout& layout) override { return ledger->lend(layout); }
  std::size_t buffersInUse() const override { return ledger->inUse(); }

  const std::shared_ptr<StreamBufferLedger> ledger = std::make_shared<StreamBufferLedger>();
};

// The host's step: the sample's buffer goes to the stream if it is one of its own.
Outcome send(StreamBufferLedger& ledger, const CVPixelBufferRef& buffer) {
  return ledger.takeForSending(buffer->baseAddress()).outcome;
}

TEST(StreamBuffersTest, ABufferIsNotSentWhileItIsBeingFilledNorTwice) {
  auto stream = std::make_shared<OneStream>(4);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  auto buffer = pool.createPixelBuffer(threshold(5)).value;
  ASSERT_TRUE(buffer);

  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), noErr);
  ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), noErr);
  EXPECT_EQ(send(*stream->ledger, buffer), Outcome::unfinished);
  ASSERT_EQ(CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), noErr);
  EXPECT_EQ(send(*stream->ledger, buffer), Outcome::unfinished);  // a reader's unlock ends no write
  ASSERT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), noErr);
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnError);
  EXPECT_EQ(send(*stream->ledger, buffer), Outcome::taken);
  EXPECT_EQ(send(*stream->ledger, buffer), Outcome::unfinished);
}

TEST(StreamBuffersTest, ASentBufferIsLentAgainOnlyOnceTheStreamAndThePixelBufferBothLetGo) {
  auto stream = std::make_shared<OneStream>(1);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  CVPixelBufferRef buffer = pool.createPixelBuffer(threshold(5)).value;
  void* const pages = buffer->baseAddress();
  const auto taken = stream->ledger->takeForSending(pages);
  ASSERT_EQ(taken.outcome, Outcome::taken);

  // The consumer still holds it: the pool draws from its own memory instead.
  buffer.reset();
  auto own = pool.createPixelBuffer(threshold(5)).value;
  ASSERT_TRUE(own);
  EXPECT_NE(own->baseAddress(), pages);
  EXPECT_EQ(send(*stream->ledger, own), Outcome::notLent);
  own.reset();

  // Handed back while a holder keeps the pixel buffer: still not lent.
  buffer = pool.createPixelBuffer(threshold(5)).value;
  EXPECT_NE(buffer->baseAddress(), pages);
  buffer.reset();
  stream->ledger->returnedByStream(taken.index);
  buffer = pool.createPixelBuffer(threshold(5)).value;
  EXPECT_EQ(buffer->baseAddress(), pages);

  // A loan released unsent is free again at once.
  buffer.reset();
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).value->baseAddress(), pages);
}

TEST(StreamBuffersTest, TheBufferFreeTheLongestIsUsedFirst) {
  // PipeWire hands a buffer back while a consumer may still read it: reusing it at once would
  // overwrite a frame being read.
  auto stream = std::make_shared<OneStream>(3);
  std::vector<StreamBufferLedger::FreeBuffer> sent;
  for (int i = 0; i < 3; ++i) sent.push_back(*stream->ledger->takeFreeForSending());
  for (const auto& buffer : sent) stream->ledger->returnedByStream(buffer.index);
  EXPECT_EQ(stream->ledger->takeFreeForSending()->index, sent[0].index);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).value->baseAddress(), sent[1].memory->data());
}

TEST(StreamBuffersTest, AFrameNotSentFreesItsBufferOnlyInItsOwnSet) {
  auto stream = std::make_shared<OneStream>(1);
  const auto taken = stream->ledger->takeFreeForSending();
  ASSERT_TRUE(taken);
  stream->ledger->unsent(taken->index, taken->generation);
  const auto again = stream->ledger->takeFreeForSending();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->index, taken->index);

  // Renegotiated before the frame went: its index names a buffer of the new set, which the
  // stream still has.
  stream->ledger->reset(smallLayout());
  stream->ledger->add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256)));
  stream->ledger->unsent(again->index, again->generation);
  EXPECT_FALSE(stream->ledger->takeFreeForSending());
}

// The tick's grey frame under a slow consumer: consumers that keep most of the stream's buffers
// must not leave the tick without a buffer while one is free. Only when none is free does the
// threshold apply to the pool's own memory.
TEST(StreamBuffersTest, AFreeStreamBufferIsLentHoweverManyTheConsumersHold) {
  auto stream = std::make_shared<OneStream>(8);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  std::vector<std::uint32_t> sent;
  for (int i = 0; i < 8; ++i) {
    auto buffer = pool.createPixelBuffer(threshold(5));
    ASSERT_EQ(buffer.status, noErr) << "with " << i << " of 8 buffers held by the stream";
    const auto taken = stream->ledger->takeForSending(buffer.value->baseAddress());
    ASSERT_EQ(taken.outcome, Outcome::taken) << "with " << i << " of 8 buffers held by the stream";
    sent.push_back(taken.index);
  }
  // Every pixel buffer is gone, but the stream holds all eight: none is free, and the pool's own
  // memory stays within the threshold.
  EXPECT_EQ(pool.buffersInUse(), 8U);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
  stream->ledger->returnedByStream(sent.front());
  auto next = pool.createPixelBuffer(threshold(5));
  ASSERT_EQ(next.status, noErr);
  EXPECT_EQ(send(*stream->ledger, next.value), Outcome::taken);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
}

TEST(StreamBuffersTest, LoansOfAnOlderSetAreNeverSentAndCountUntilReleased) {
  auto stream = std::make_shared<OneStream>(2);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  auto old = pool.createPixelBuffer(threshold(5)).value;
  ASSERT_EQ(CVPixelBufferLockBaseAddress(old, 0), noErr);

  // Renegotiated while the tick fills it: the pages stay, the buffer is not the stream's now.
  stream->ledger->reset(smallLayout());
  const auto index = stream->ledger->add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256)));
  stream->ledger->returnedByStream(index);
  static_cast<std::byte*>(old->baseAddress())[255] = std::byte{0x40};
  EXPECT_EQ(CVPixelBufferUnlockBaseAddress(old, 0), noErr);
  EXPECT_EQ(send(*stream->ledger, old), Outcome::notLent);
  EXPECT_EQ(pool.buffersInUse(), 1U);
  old.reset();
  EXPECT_EQ(pool.buffersInUse(), 0U);

  // A pool of another geometry gets none of them.
  LinuxPixelBufferPool wider(PixelBufferLayout{32, 4, 128, kCVPixelFormatType_32BGRA, true}, stream);
  auto own = wider.createPixelBuffer(threshold(5)).value;
  EXPECT_EQ(send(*stream->ledger, own), Outcome::notLent);
}

}  // namespace
}  // namespace kolv
