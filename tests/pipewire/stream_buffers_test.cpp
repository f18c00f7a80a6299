// A pool that lends a stream's buffers: which buffer may be lent, sent or counted, as the host
// sees them through the ledger (the stream's side played by the test).
#include "platform/pipewire/stream_buffers.h"

#include "platform/linux/pixel_buffer_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/linux/pixel_buffer_pool.h"

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
      ledger->returnedByStream(*ledger->add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256))),
                               ledger->generation());
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
  stream->ledger->returnedByStream(taken.index, taken.generation);
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
  for (const auto& buffer : sent) stream->ledger->returnedByStream(buffer.index, buffer.generation);
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
  stream->ledger->returnedByStream(sent.front(), stream->ledger->generation());
  auto next = pool.createPixelBuffer(threshold(5));
  ASSERT_EQ(next.status, noErr);
  EXPECT_EQ(send(*stream->ledger, next.value), Outcome::taken);
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
}

// What the host takes back at the end of a streaming period: the buffers sent and not handed
// back (a killed consumer's among them), never one lent to the pool or free, nor one of an older set.
TEST(StreamBuffersTest, WithStreamNamesTheBuffersSentAndNotHandedBack) {
  auto stream = std::make_shared<OneStream>(7);
  LinuxPixelBufferPool pool(smallLayout(), stream);
  std::vector<std::uint32_t> sent;
  for (int i = 0; i < 5; ++i) {
    auto buffer = pool.createPixelBuffer(threshold(5));
    ASSERT_EQ(buffer.status, noErr);
    sent.push_back(stream->ledger->takeForSending(buffer.value->baseAddress()).index);
  }
  const auto copiedInto = stream->ledger->takeFreeForSending();
  ASSERT_TRUE(copiedInto);
  auto lent = pool.createPixelBuffer(nullptr);  // no threshold: the last one, lent
  ASSERT_EQ(lent.status, noErr);

  auto expected = sent;
  expected.push_back(copiedInto->index);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(stream->ledger->withStream(), expected);
  // Never handed back, they keep every frame out.
  EXPECT_EQ(pool.createPixelBuffer(threshold(5)).status, kCVReturnWouldExceedAllocationThreshold);
  const auto generation = stream->ledger->generation();
  for (const auto index : stream->ledger->withStream()) stream->ledger->returnedByStream(index, generation);
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
  ASSERT_TRUE(index);
  stream->ledger->returnedByStream(*index, stream->ledger->generation());
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

TEST(StreamBuffersTest, HandBacksOfASetThatIsGoneAndRepeatedOnesChangeNothing) {
  auto stream = std::make_shared<OneStream>(2);
  auto& ledger = *stream->ledger;
  const std::uint64_t old = ledger.generation();
  const auto first = ledger.takeFreeForSending();
  const auto second = ledger.takeFreeForSending();
  ASSERT_TRUE(first && second);
  ledger.returnedByStream(first->index, old);
  ledger.returnedByStream(first->index, old);  // twice: still one free buffer, not two
  EXPECT_EQ(ledger.inUse(), 1U);
  ASSERT_TRUE(ledger.takeFreeForSending());
  EXPECT_FALSE(ledger.takeFreeForSending());

  // Renegotiated: the old set's hand-back, arriving late, frees nothing of the new one.
  ledger.reset(smallLayout());
  const auto index = ledger.add(std::make_shared<SharedMemory>(SharedMemory::create("test", 256)));
  ASSERT_EQ(index, std::optional<std::uint32_t>(0));
  ledger.returnedByStream(*index, old);
  EXPECT_FALSE(ledger.takeFreeForSending());
  EXPECT_EQ(ledger.inUse(), 1U);
  ledger.returnedByStream(*index, ledger.generation());
  EXPECT_TRUE(ledger.takeFreeForSending());
}

TEST(StreamBuffersTest, ASetHoldsAtMostItsCapacityAndEveryBufferComesBack) {
  StreamBufferLedger ledger;
  ledger.reset(smallLayout());
  const auto memory = std::make_shared<SharedMemory>(SharedMemory::create("test", 256));
  for (std::uint32_t i = 0; i < StreamBufferLedger::kCapacity; ++i) {
    ASSERT_EQ(ledger.add(memory), std::optional<std::uint32_t>(i));
  }
  EXPECT_FALSE(ledger.add(memory));
  // Handed back in an order of their own: each is free once, the highest index included.
  for (std::uint32_t i = StreamBufferLedger::kCapacity; i-- > 0;) ledger.returnedByStream(i, ledger.generation());
  EXPECT_EQ(ledger.inUse(), 0U);
  std::vector<bool> seen(StreamBufferLedger::kCapacity, false);
  while (const auto taken = ledger.takeFreeForSending()) {
    ASSERT_FALSE(seen.at(taken->index)) << taken->index;
    seen[taken->index] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), StreamBufferLedger::kCapacity);
}

TEST(LatestValueTest, TheReaderGetsTheLatestValueAndTheWriterWhatItReplaced) {
  LatestValue<int> slot;
  EXPECT_FALSE(slot.take());
  EXPECT_FALSE(slot.put(1));
  EXPECT_EQ(slot.put(2), std::optional<int>(1));
  EXPECT_EQ(slot.take(), std::optional<int>(2));
  EXPECT_FALSE(slot.take());
  // Round the three records several times: no value comes back twice or stale.
  for (int i = 10; i < 20; ++i) {
    EXPECT_FALSE(slot.put(i));
    if (i % 2 == 0) {
      EXPECT_EQ(slot.take(), std::optional<int>(i));
    } else {
      EXPECT_EQ(slot.put(i + 100), std::optional<int>(i));
      EXPECT_EQ(slot.take(), std::optional<int>(i + 100));
    }
  }
}

// The tick and the data thread at full speed: every value put is either taken by the reader or
// handed back to the writer as replaced, exactly once, and the reader sees them in order.
TEST(LatestValueTest, BetweenTwoThreadsEveryValueEndsUpExactlyOnce) {
  struct Frame {
    std::uint64_t sequence;
    std::uint64_t check;
  };
  constexpr std::uint64_t kCount = 200'000;
  LatestValue<Frame> slot;
  std::atomic<bool> done{false};
  std::vector<std::uint64_t> taken;
  std::thread reader([&] {
    for (;;) {
      const bool last = done.load();
      while (const auto frame = slot.take()) {
        EXPECT_EQ(frame->check, ~frame->sequence);  // never a record torn by the writer
        taken.push_back(frame->sequence);
      }
      if (last) return;
    }
  });
  std::vector<std::uint64_t> replaced;
  for (std::uint64_t i = 1; i <= kCount; ++i) {
    if (const auto old = slot.put(Frame{i, ~i})) replaced.push_back(old->sequence);
  }
  done = true;
  reader.join();
  EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
  EXPECT_TRUE(std::adjacent_find(taken.begin(), taken.end()) == taken.end());
  std::vector<std::uint64_t> all = taken;
  all.insert(all.end(), replaced.begin(), replaced.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kCount);
  for (std::uint64_t i = 0; i < kCount; ++i) ASSERT_EQ(all[i], i + 1);
}

// The sender takes buffers and the data thread hands them back, concurrently, as in a stream:
// a buffer is never taken while it is still out, and none is lost.
TEST(StreamBuffersTest, BuffersHandedBackByAnotherThreadAreTakenAgainNeverTwice) {
  constexpr std::size_t kBuffers = 4;
  constexpr int kFrames = 50'000;
  auto stream = std::make_shared<OneStream>(kBuffers);
  auto& ledger = *stream->ledger;
  LatestValue<StreamBufferLedger::Taken> toDataThread;
  std::array<std::atomic<bool>, kBuffers> out{};
  std::atomic<bool> done{false};
  std::thread dataThread([&] {
    for (;;) {
      const bool last = done.load();
      while (const auto frame = toDataThread.take()) {
        out.at(frame->index) = false;
        ledger.returnedByStream(frame->index, frame->generation);
      }
      if (last) return;
    }
  });
  int sent = 0;
  int twice = 0;
  for (int i = 0; i < kFrames; ++i) {
    const auto buffer = ledger.takeFreeForSending();
    if (!buffer) continue;
    if (out.at(buffer->index).exchange(true)) ++twice;
    ++sent;
    if (const auto replaced =
            toDataThread.put({StreamBufferLedger::Taken::Outcome::taken, buffer->index, buffer->generation})) {
      out.at(replaced->index) = false;
      ledger.unsent(replaced->index, replaced->generation);
    }
  }
  done = true;
  dataThread.join();
  if (const auto last = toDataThread.take()) ledger.returnedByStream(last->index, last->generation);
  EXPECT_EQ(twice, 0);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(ledger.inUse(), 0U);
}

}  // namespace
}  // namespace kolv
