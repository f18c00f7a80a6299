#include "platform/linux/syslog_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace kolv {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// The stderr copy shows exactly what went to syslog: "<ident>[<pid>]: <message>\n".
class SyslogLogTest : public ::testing::Test {
 protected:
  static SyslogLog::Options echoing(bool verbose) {
    return {.ident = "kolv-test", .verbose = verbose, .echoToStderr = true};
  }
  static std::string line(const std::string& message) {
    return "kolv-test[" + std::to_string(::getpid()) + "]: " + message + "\n";
  }
};

TEST_F(SyslogLogTest, OneCallIsOneLineAndNeverAFormat) {
  SyslogLog log(echoing(false));
  CaptureStderr();
  log.write(OSLogType::error, "Failed to add device: %s%n%s");
  log.write(OSLogType::error, "first\nsecond\r\nthird");
  log.write(OSLogType::fault, std::string("cut\0here", 8));
  log.flush();
  EXPECT_EQ(GetCapturedStderr(), line("Failed to add device: %s%n%s") + line("first second  third") + line("cut here"));
}

TEST_F(SyslogLogTest, DebugAndInfoOnlyWhenVerbose) {
  {
    SyslogLog quiet(echoing(false));
    EXPECT_FALSE(quiet.isEnabled(OSLogType::debug));
    EXPECT_FALSE(quiet.isEnabled(OSLogType::info));
    EXPECT_TRUE(quiet.isEnabled(OSLogType::defaultType));
    EXPECT_TRUE(quiet.isEnabled(OSLogType::error));
    EXPECT_TRUE(quiet.isEnabled(OSLogType::fault));
    CaptureStderr();
    quiet.write(OSLogType::debug, "debug");
    quiet.write(OSLogType::info, "info");
    quiet.write(OSLogType::defaultType, "notice");
    quiet.flush();
    EXPECT_EQ(GetCapturedStderr(), line("notice"));
  }
  SyslogLog verbose(echoing(true));
  EXPECT_TRUE(verbose.isEnabled(OSLogType::debug));
  CaptureStderr();
  verbose.write(OSLogType::debug, "debug");
  verbose.flush();
  EXPECT_EQ(GetCapturedStderr(), line("debug"));
}

TEST_F(SyslogLogTest, EachTypeHasItsSyslogPriority) {
  SyslogLog log(echoing(true));
  struct Case {
    int priority;
    const char* expected;
  };
  for (const Case c : {Case{LOG_DEBUG, "debug"}, Case{LOG_INFO, "info"}, Case{LOG_NOTICE, "default"},
                       Case{LOG_ERR, "error"}, Case{LOG_CRIT, "fault"}}) {
    // The log mask drops every priority but one before anything is written.
    const int previous = ::setlogmask(LOG_MASK(c.priority));
    CaptureStderr();
    log.write(OSLogType::debug, "debug");
    log.write(OSLogType::info, "info");
    log.write(OSLogType::defaultType, "default");
    log.write(OSLogType::error, "error");
    log.write(OSLogType::fault, "fault");
    log.flush();
    const std::string written = GetCapturedStderr();
    ::setlogmask(previous);
    EXPECT_EQ(written, line(c.expected));
  }
}

// A system log that does not take lines until the test lets it: what a stalled journald does to
// syslog(3). Waits at most 60 s, so that a write() that waits for it fails the test instead of
// hanging it; the passing run never comes near that.
class StalledSystemLog {
 public:
  SyslogLog::LineWriter writer() {
    return [this](int priority, const std::string& line) {
      if (released_.wait_for(std::chrono::seconds(60)) != std::future_status::ready) timedOut_ = true;
      std::lock_guard lock(mutex_);
      lines_.push_back(std::to_string(priority) + " " + line);
    };
  }
  void release() { release_.set_value(); }
  bool timedOut() const { return timedOut_; }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<bool> timedOut_ = false;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(SyslogLogQueueTest, AWriterNeverWaitsForAStalledSystemLogAndTheDropsAreCounted) {
  StalledSystemLog system;
  SyslogLog log({.ident = "kolv-test", .verbose = true, .queueLength = 4, .writer = system.writer()});
  // The log's thread takes what is queued when it wakes (one line or a few) and stalls on the
  // first; four more fill the queue and the rest are dropped. Every write() returns meanwhile.
  for (int i = 0; i < 100; ++i) log.write(OSLogType::error, "line " + std::to_string(i));
  system.release();
  log.flush();
  EXPECT_FALSE(system.timedOut()) << "a write() waited for the stalled system log";

  // Every line either written, in order and the first one always, or counted in a report of
  // dropped lines; the log holds a batch (a queue's worth at most) and a full queue; the last
  // line written is a report.
  const std::vector<std::string> lines = system.lines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines.front(), std::to_string(LOG_ERR) + " line 0");
  const std::regex written(std::to_string(LOG_ERR) + " line ([0-9]+)");
  const std::regex report(std::to_string(LOG_WARNING) +
                          " ([0-9]+) log lines? (was|were) dropped: the system log did not take them fast enough");
  std::size_t writtenCount = 0;
  std::size_t droppedCount = 0;
  int previous = -1;
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_match(line, match, written)) {
      EXPECT_GT(std::stoi(match[1]), previous) << line;
      previous = std::stoi(match[1]);
      ++writtenCount;
    } else if (std::regex_match(line, match, report)) {
      droppedCount += std::stoul(match[1]);
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  EXPECT_EQ(writtenCount + droppedCount, 100U);
  EXPECT_LE(writtenCount, 8U);
  EXPECT_TRUE(std::regex_match(lines.back(), report)) << lines.back();

  // Once the system log keeps up again, nothing more is lost.
  log.write(OSLogType::defaultType, "after");
  log.flush();
  EXPECT_EQ(system.lines().back(), std::to_string(LOG_NOTICE) + " after");
}

TEST(SyslogLogQueueTest, LinesStillQueuedAreWrittenWhenTheLogGoes) {
  StalledSystemLog system;
  {
    SyslogLog log({.ident = "kolv-test", .queueLength = 16, .writer = system.writer()});
    for (int i = 0; i < 10; ++i) log.write(OSLogType::error, std::to_string(i));
    system.release();
  }  // no flush(): ~SyslogLog writes what is left
  const std::vector<std::string> lines = system.lines();
  ASSERT_EQ(lines.size(), 10U);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], std::to_string(LOG_ERR) + " " + std::to_string(i));
}

}  // namespace
}  // namespace kolv
