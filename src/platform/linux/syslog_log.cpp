#include "platform/linux/syslog_log.h"

#include <syslog.h>

#include <algorithm>
#include <utility>

namespace kolv {
namespace {

int priorityOf(OSLogType type) {
  switch (type) {
    case OSLogType::debug:
      return LOG_DEBUG;
    case OSLogType::info:
      return LOG_INFO;
    case OSLogType::defaultType:
      return LOG_NOTICE;
    case OSLogType::error:
      return LOG_ERR;
    case OSLogType::fault:
      return LOG_CRIT;
  }
  return LOG_NOTICE;
}

}  // namespace

SyslogLog::SyslogLog() : SyslogLog(Options{}) {}

SyslogLog::SyslogLog(Options options) : ident_(std::move(options.ident)), verbose_(options.verbose) {
  ::openlog(ident_.c_str(), LOG_PID | (options.echoToStderr ? LOG_PERROR : 0), LOG_USER);
}

SyslogLog::~SyslogLog() { ::closelog(); }

bool SyslogLog::isEnabled(OSLogType type) const {
  return verbose_ || (type != OSLogType::debug && type != OSLogType::info);
}

void SyslogLog::write(OSLogType type, std::string_view message) {
  if (!isEnabled(type)) return;
  // One call, one line: a line break or NUL inside the message would split or cut it.
  std::string line(message);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; }, ' ');
  ::syslog(priorityOf(type), "%s", line.c_str());
}

}  // namespace kolv
