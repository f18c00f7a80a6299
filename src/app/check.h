// `kolv-camera --check`: a checklist of everything the camera needs, one line per item.
#pragma once

#include <cstdio>
#include <vector>

#include "platform/linux/app_group_file_manager.h"

namespace kolv {

// The companion's two hand-off files with their lengths, as the camera reads them.
std::vector<HandOffFile> companionHandOffFiles();

// Prints the checklist to `out`; 0 when nothing failed, 1 otherwise. Main thread.
int runCheck(std::FILE* out);

}  // namespace kolv
