#include "platform/linux/syslog_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

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
    EXPECT_EQ(GetCapturedStderr(), line("notice"));
  }
  SyslogLog verbose(echoing(true));
  EXPECT_TRUE(verbose.isEnabled(OSLogType::debug));
  CaptureStderr();
  verbose.write(OSLogType::debug, "debug");
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
    const std::string written = GetCapturedStderr();
    ::setlogmask(previous);
    EXPECT_EQ(written, line(c.expected));
  }
}

}  // namespace
}  // namespace kolv
