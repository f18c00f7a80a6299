#include "platform/foundation.h"

#include <cstdarg>
#include <cstdio>

namespace kolv {
namespace {

void writeFormatted(OSLog& log, OSLogType type, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
  log.write(type, message);
}

}  // namespace

void os_log_with_type(OSLog& log, OSLogType type, const char* format, ...) {
  if (!log.isEnabled(type)) return;
  va_list args;
  va_start(args, format);
  writeFormatted(log, type, format, args);
  va_end(args);
}

void os_log_error(OSLog& log, const char* format, ...) {
  if (!log.isEnabled(OSLogType::error)) return;
  va_list args;
  va_start(args, format);
  writeFormatted(log, OSLogType::error, format, args);
  va_end(args);
}

}  // namespace kolv
