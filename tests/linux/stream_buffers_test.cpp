// A pool that lends a stream's buffers: which buffer may be lent, sent or counted, as the host
// sees them through the ledger (the stream's side played by the test).
#include "platform/linux/stream_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(StreamBuffersTest, TheThresholdCountsBuffersTheStreamOrItsConsumersHold) {
  auto stream = std::make_shared<OneStream>(8);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  std::vector<std::uint32_t> sent;
  for (int i = 0; i < 5; ++i) {
    auto buffer = pool.createPixelBuffer(threshold(5));
    ASSERT_EQ(buffer.status, noErr);
    const auto taken = stream->ledger->takeForSending(buffer.value->baseAddress());
    ASSERT_EQ(taken.outcome, Outcome::taken);
    sent.push_back(taken.index);
  }
  // Every pixel buffer is gone, but the stream holds five.
  EXPECT_EQ(pool.buffersInUse(), 5U);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
  stream->ledger->returnedByStream(sent.front());
  auto next = pool.createPixelBuffer(threshold(5));
  EXPECT_EQ(next.status, noErr);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
}

// What the host takes back at the end of a streaming period: the buffers sent and not handed
// back (a killed consumer's among them), never one lent to the pool or free, nor one of an older set.
TEST(StreamBuffersTest, WithStreamNamesTheBuffersSentAndNotHandedBack) {
  auto stream = std::make_shared<OneStream>(8);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  std::vector<std::uint32_t> sent;
  for (int i = 0; i < 5; ++i) {
    auto buffer = pool.createPixelBuffer(threshold(5));
    ASSERT_EQ(buffer.status, noErr);
    sent.push_back(stream->ledger->takeForSending(buffer.value->baseAddress()).index);
  }
  const auto copiedInto = stream->ledger->takeFreeForSending();
  ASSERT_TRUE(copiedInto);
  auto lent = pool.createPixelBuffer(nullptr);  // no threshold: one more, lent
  ASSERT_EQ(lent.status, noErr);
  stream->ledger->returnedByStream(sent[1]);

  auto expected = std::vector<std::uint32_t>{sent[0], sent[2], sent[3], sent[4], copiedInto->index};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(stream->ledger->withStream(), expected);
  // Never handed back, they keep every frame out.
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
  for (const auto index : stream->ledger->withStream()) stream->ledger->returnedByStream(index);
  EXPECT_TRUE(stream->ledger->withStream().empty());
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, noErr);

  stream->ledger->reset(smallLayout());
  stream->ledger->add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256)));
  EXPECT_EQ(stream->ledger->withStream(), std::vector<std::uint32_t>{0});  // new: not handed back yet
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
