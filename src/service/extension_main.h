// The camera process's entry: builds the provider source, starts the host service and
// runs the main run loop. Runs on the main thread.
#pragma once

#include "platform/platform.h"

namespace kolv {

// Returns the process's exit status once the run loop returns (0).
int kolvCameraExtensionMain(const Platform& platform);

}  // namespace kolv
