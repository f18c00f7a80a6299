// Which buffer draws into the publisher's canvas, and what the sink does with each.
#include "canvas_lending.h"

#include <gtest/gtest.h>

namespace kolv::gst {
namespace {

using Action = CanvasLending::Action;

TEST(CanvasLendingTest, LendsTheCanvasToOneBufferAndCopiesTheOthersInOrder) {
  CanvasLending lending;
  const auto first = lending.acquire(true);
  EXPECT_TRUE(first.lent);
  // Upstream runs ahead (a queue): the canvas is taken, so the next ones are plain.
  const auto second = lending.acquire(true);
  const auto third = lending.acquire(true);
  EXPECT_FALSE(second.lent);
  EXPECT_FALSE(third.lent);
  EXPECT_EQ(lending.render(first.id), Action::publishInPlace);
  // Not lent while older plain buffers wait: it would be drawn before they are copied.
  const auto fourth = lending.acquire(true);
  EXPECT_FALSE(fourth.lent);
  EXPECT_EQ(lending.render(second.id), Action::copy);
  EXPECT_EQ(lending.render(third.id), Action::copy);
  EXPECT_EQ(lending.render(fourth.id), Action::copy);
  // Nothing waits any more: lent again.
  EXPECT_TRUE(lending.acquire(true).lent);
}

TEST(CanvasLendingTest, APictureRenderedWhileANewerOneDrawsIntoTheCanvasIsSkipped) {
  CanvasLending lending;
  // A decoder made `later` (lent the canvas) and then `earlier`, and outputs earlier first.
  const auto later = lending.acquire(true);
  const auto earlier = lending.acquire(true);
  ASSERT_TRUE(later.lent);
  EXPECT_EQ(lending.render(earlier.id), Action::drop);
  EXPECT_EQ(lending.render(later.id), Action::publishInPlace);
  // A buffer from elsewhere is copied, except while the canvas is lent.
  EXPECT_EQ(lending.render(0), Action::copy);
  const auto lent = lending.acquire(true);
  ASSERT_TRUE(lent.lent);
  EXPECT_EQ(lending.render(0), Action::drop);
}

TEST(CanvasLendingTest, ACanvasGivenBackUnrenderedIsLentAgain) {
  CanvasLending lending;
  const auto dropped = lending.acquire(true);
  ASSERT_TRUE(dropped.lent);
  lending.release(dropped.id);  // upstream dropped it (a flush, a QoS skip)
  EXPECT_FALSE(lending.lent());
  EXPECT_TRUE(lending.acquire(true).lent);

  // A plain buffer given back unrendered no longer holds the lending up.
  CanvasLending other;
  const auto lent = other.acquire(true);
  const auto plain = other.acquire(true);
  EXPECT_EQ(other.render(lent.id), Action::publishInPlace);
  other.release(plain.id);
  EXPECT_EQ(other.waiting(), 0u);
  EXPECT_TRUE(other.acquire(true).lent);
}

TEST(CanvasLendingTest, NoCanvasFreeGivesPlainBuffers) {
  CanvasLending lending;
  const auto busy = lending.acquire(false);
  EXPECT_FALSE(busy.lent);
  EXPECT_FALSE(lending.lent());
  EXPECT_EQ(lending.render(busy.id), Action::copy);
}

TEST(CanvasLendingTest, TheSameBufferRenderedTwiceIsHandedOverAgainNotCopied) {
  CanvasLending lending;
  const auto shown = lending.acquire(true);
  EXPECT_EQ(lending.render(shown.id), Action::publishInPlace);  // the preroll
  EXPECT_EQ(lending.render(shown.id), Action::republish);       // played
  const auto plain = lending.acquire(false);
  EXPECT_EQ(lending.render(plain.id), Action::copy);
  EXPECT_EQ(lending.render(plain.id), Action::republish);
  // An older picture shown again after a newer one is copied: its surface is not named now.
  EXPECT_EQ(lending.render(shown.id), Action::copy);
}

}  // namespace
}  // namespace kolv::gst
