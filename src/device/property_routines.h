// The two routines that the device and stream sources share for their property calls.
// Thread: any; they touch no state.
#pragma once

#include <memory>
#include <utility>

#include "platform/cmio.h"

namespace kolv {

// A new set holding both keys.
inline CMIOExtensionPropertySet availablePropertiesWithKeys(const CMIOExtensionProperty& first,
                                                           const CMIOExtensionProperty& second) {
  return CMIOExtensionPropertySet{first, second};
}

// Turns the host's request into a set of keys and lets the role's filler answer it.
template <class Filler>
auto propertiesForProperties(const CMIOExtensionPropertySet& requested, Filler&& filler) {
  const CMIOExtensionPropertySet keys(requested.begin(), requested.end());
  return std::forward<Filler>(filler)(keys);
}

}  // namespace kolv
