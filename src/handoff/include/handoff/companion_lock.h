// The lock a publishing companion holds on its app group's container: one publisher per group,
// and a way for anyone to tell that a companion is running there. Thread-safety: plain functions.
#pragma once

#include <filesystem>

namespace kolv::handoff {

// In the container; the publishing companion holds an exclusive flock() on it while it lives.
inline constexpr char kCompanionLockFileName[] = ".kolvcamera_companion.lock";

// Whether a companion holds the lock of `container` now.
bool isCompanionPublishing(const std::filesystem::path& container);

}  // namespace kolv::handoff
