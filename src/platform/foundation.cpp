#include "platform/foundation.h"

#include <cstdarg>
#include <cstdio>

namespace kolv {

void os_log_error(OSLog& log, const char* format, ...) {
  if (!log.isEnabled(OSLogType::error)) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);
  log.write(OSLogType::error, message);
}

}  // namespace kolv
