#include "platform/pipewire/log_line.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kolv::pipewire {

void logLine(OSLog& log, OSLogType type, const char* format, ...) {
  if (!log.isEnabled(type)) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);
  log.write(type, message);
}

}  // namespace kolv::pipewire
