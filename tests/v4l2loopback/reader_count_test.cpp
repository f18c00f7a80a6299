// Readers counted from inotify events on the device node, as a shell, ffmpeg or a browser
// opens, probes and closes it.
#include "platform/v4l2loopback/reader_count.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

namespace kolv::v4l2loopback {
namespace {

TEST(ReaderCountTest, OpensAndClosesOfBothKindsCountReaders) {
  ReaderCount count;
  EXPECT_EQ(count.apply(IN_OPEN), NodeChange::readers);
  EXPECT_EQ(count.apply(IN_OPEN), NodeChange::readers);
  EXPECT_EQ(count.readers(), 2u);
  EXPECT_EQ(count.apply(IN_CLOSE_NOWRITE), NodeChange::readers);  // a reader opened read-only
  EXPECT_EQ(count.readers(), 1u);
  EXPECT_EQ(count.apply(IN_CLOSE_WRITE), NodeChange::readers);  // one that opened read-write
  EXPECT_EQ(count.readers(), 0u);
  EXPECT_EQ(count.apply(IN_ACCESS), NodeChange::none);
}

TEST(ReaderCountTest, OpenersFromBeforeTheWatchCountUntilTheyCloseAndStrayClosesDoNotGoBelowZero) {
  ReaderCount count;
  count.reset(2);  // found in /proc
  EXPECT_EQ(count.readers(), 2u);
  count.apply(IN_CLOSE_NOWRITE);
  count.apply(IN_CLOSE_NOWRITE);
  EXPECT_EQ(count.readers(), 0u);
  // Another user's opener, not visible in /proc, closes: no reader to take away.
  count.apply(IN_CLOSE_NOWRITE);
  EXPECT_EQ(count.readers(), 0u);
  count.apply(IN_OPEN);
  EXPECT_EQ(count.readers(), 1u);
  count.reset();
  EXPECT_EQ(count.readers(), 0u);
}

TEST(ReaderCountTest, TheNodeGoingAwayIsReported) {
  ReaderCount count;
  count.apply(IN_OPEN);
  EXPECT_EQ(count.apply(IN_DELETE_SELF), NodeChange::gone);
  EXPECT_EQ(count.apply(IN_IGNORED), NodeChange::gone);
  EXPECT_EQ(count.apply(IN_ATTRIB, /*linked=*/false), NodeChange::gone);
  // A change of permissions (udev) is not a departure.
  EXPECT_EQ(count.apply(IN_ATTRIB, /*linked=*/true), NodeChange::none);
  EXPECT_EQ(count.readers(), 1u);
}

}  // namespace
}  // namespace kolv::v4l2loopback
