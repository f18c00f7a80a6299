// The system log: one syslog(3) line per message, facility user, written by a thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/foundation.h"

namespace kolv {

// One per process (openlog is process-wide). write() is safe from any thread and never waits
// for the system log: syslog(3) blocks on /dev/log while journald or syslogd is slow, and on
// standard error while whoever reads it is, and the camera logs from its frame tick. The line
// goes to a bounded queue that the log's own thread ("kolvLog") writes out; when the queue is
// full the line is dropped, and the count of dropped lines is logged once the writer catches
// up.
class SyslogLog final : public OSLog {
 public:
  // Writes one line at a syslog priority; runs on the log's thread only.
  using LineWriter = std::function<void(int priority, const std::string& line)>;

  struct Options {
    std::string ident = "kolv-camera";
    bool verbose = false;           // also debug and info messages
    bool echoToStderr = false;      // copy every line to stderr, for runs from a terminal
    std::size_t queueLength = 256;  // lines waiting to be written, at most
    LineWriter writer = nullptr;              // syslog(3) when empty; tests hand in their own
  };

  SyslogLog();
  explicit SyslogLog(Options options);
  // Writes every line still queued, then stops the log's thread.
  ~SyslogLog() override;
  SyslogLog(const SyslogLog&) = delete;
  SyslogLog& operator=(const SyslogLog&) = delete;

  bool isEnabled(OSLogType type) const override;
  void write(OSLogType type, std::string_view message) override;
  // Waits until every line queued before the call has been written (or dropped). Not for the
  // frame tick: it waits for the system log.
  void flush();

 private:
  struct Line {
    int priority;
    std::string text;
  };
  void writeQueuedLines();

  std::string ident_;  // openlog keeps the pointer, so it lives as long as this object
  bool verbose_;
  const std::size_t queueLength_;
  const LineWriter writer_;

  std::mutex mutex_;  // held for no call out
  std::condition_variable changed_;
  std::deque<Line> queue_;     // guarded by mutex_
  std::uint64_t queued_ = 0;   // guarded by mutex_: lines accepted or dropped so far
  std::uint64_t done_ = 0;     // guarded by mutex_: of those, written or dropped
  std::uint64_t dropped_ = 0;  // guarded by mutex_: dropped since the last report
  bool stopping_ = false;      // guarded by mutex_
  std::jthread thread_;        // declared last: started once everything above is ready
};

}  // namespace kolv
