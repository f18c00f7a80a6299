// printf-style lines for the host's log; safe on any thread (OSLog is).
#pragma once

#include "platform/foundation.h"

namespace kolv::pipewire {

// Formats and writes one line, only when `type` is enabled.
void logLine(OSLog& log, OSLogType type, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace kolv::pipewire
