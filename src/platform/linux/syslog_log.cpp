#include "platform/linux/syslog_log.h"

#include <pthread.h>
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

void writeToSyslog(int priority, const std::string& line) { ::syslog(priority, "%s", line.c_str()); }

}  // namespace

SyslogLog::SyslogLog() : SyslogLog(Options{}) {}

SyslogLog::SyslogLog(Options options)
    : ident_(std::move(options.ident)),
      verbose_(options.verbose),
      queueLength_(std::max<std::size_t>(options.queueLength, 1)),
      writer_(options.writer ? std::move(options.writer) : LineWriter(writeToSyslog)),
      thread_([this] {
        pthread_setname_np(pthread_self(), "kolvLog");
        writeQueuedLines();
      }) {
  ::openlog(ident_.c_str(), LOG_PID | (options.echoToStderr ? LOG_PERROR : 0), LOG_USER);
}

SyslogLog::~SyslogLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  ::closelog();
}

bool SyslogLog::isEnabled(OSLogType type) const {
  return verbose_ || (type != OSLogType::debug && type != OSLogType::info);
}

void SyslogLog::write(OSLogType type, std::string_view message) {
  if (!isEnabled(type)) return;
  // One call, one line: a line break or NUL inside the message would split or cut it.
  std::string line(message);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; }, ' ');
  {
    std::lock_guard lock(mutex_);
    ++queued_;
    if (queue_.size() >= queueLength_) {
      ++dropped_;
      ++done_;
      return;
    }
    queue_.push_back(Line{priorityOf(type), std::move(line)});
  }
  changed_.notify_all();
}

void SyslogLog::flush() {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = queued_;
  changed_.wait(lock, [&] { return done_ >= target; });
}

void SyslogLog::writeQueuedLines() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // and stopping
    std::deque<Line> lines;
    lines.swap(queue_);
    const std::uint64_t dropped = std::exchange(dropped_, 0);
    lock.unlock();
    for (const Line& line : lines) writer_(line.priority, line.text);
    if (dropped > 0) {
      writer_(LOG_WARNING, std::to_string(dropped) + (dropped == 1 ? " log line was" : " log lines were") +
                               " dropped: the system log did not take them fast enough");
    }
    lock.lock();
    done_ += lines.size();
    changed_.notify_all();
  }
}

}  // namespace kolv
