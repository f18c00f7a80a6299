// The system log: one syslog(3) line per message, facility user.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation.h"

namespace kolv {

// One per process (openlog is process-wide); write() is safe from any thread.
class SyslogLog final : public OSLog {
 public:
  struct Options {
    std::string ident = "kolv-camera";
    bool verbose = false;       // also debug and info messages
    bool echoToStderr = false;  // copy every line to stderr, for runs from a terminal
  };

  SyslogLog();
  explicit SyslogLog(Options options);
  ~SyslogLog() override;
  SyslogLog(const SyslogLog&) = delete;
  SyslogLog& operator=(const SyslogLog&) = delete;

  bool isEnabled(OSLogType type) const override;
  void write(OSLogType type, std::string_view message) override;

 private:
  std::string ident_;  // openlog keeps the pointer, so it lives as long as this object
  bool verbose_;
};

}  // namespace kolv
