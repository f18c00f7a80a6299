#include "app/handoff_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "handoff/companion_lock.h"
#include "handoff/file_formats.h"
#include "handoff/surface_layout.h"

namespace kolv {
namespace {

using Status = CheckItem::Status;

constexpr const char* kStartCompanion = "start the companion application (for a test picture: kolv-publish --pattern)";
// Values above this are taken as seconds since the epoch (2001-09-09 and later).
constexpr double kEpochLike = 1e9;

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string fourCC(std::uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((code >> shift) & 0xff);
    text += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text;
}

double realtimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string fileFix(const HandOffFile& file, const HandOffProblem& problem) {
  if (problem.kind == HandOffProblem::Kind::missing) return kStartCompanion;
  return "the companion writes " + file.name + " wrongly: it must hold exactly " + std::to_string(file.length) +
         " bytes" + (file.timestamp ? " (a finite little-endian double)" : " (a little-endian surface ID)") +
         "; restart or fix the companion";
}

std::string refusalFix(SurfaceRefusal refusal, const std::filesystem::path& registry, IOSurfaceID id) {
  switch (refusal) {
    case SurfaceRefusal::danglingEntry:
      return "restart the companion; the stale link can go: rm " + (registry / std::to_string(id)).string();
    case SurfaceRefusal::noEntry:
    case SurfaceRefusal::zeroID:
      return "restart the companion: it names a surface it has not published";
    case SurfaceRefusal::noRegistry:
      return "chmod 700 " + registry.string() + ", or remove it and restart the companion";
    case SurfaceRefusal::otherUser:
      return "run the companion as the same user as the camera";
    default:
      return "the companion publishes a surface the camera cannot use: fix it (see docs/surface-format.md)";
  }
}

CheckItem registryItem(const std::filesystem::path& registry) {
  const std::string where = "surface registry " + registry.string();
  if (registry.empty()) {
    return {Status::failure, "surface registry: there is no runtime folder",
            "log in through a session that sets XDG_RUNTIME_DIR (systemd-logind)"};
  }
  struct stat status {};
  if (::lstat(registry.c_str(), &status) != 0) return {Status::failure, where + ": missing", kStartCompanion};
  if (!S_ISDIR(status.st_mode)) {
    return {Status::failure, where + ": not a folder (a link or a file)",
            "rm " + registry.string() + " and restart the companion"};
  }
  if (status.st_uid != ::geteuid()) {
    return {Status::failure, where + ": belongs to uid " + std::to_string(status.st_uid) + ", not to this user",
            "remove it (rm -r " + registry.string() + ") and restart the companion"};
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return {Status::failure, where + ": mode " + mode + ", others may write to it, so it is not used",
            "chmod 700 " + registry.string()};
  }
  if ((status.st_mode & 07777) != 0700) {
    return {Status::warning, where + ": mode " + mode + ", expected 0700", "chmod 700 " + registry.string()};
  }
  return {Status::ok, where + ": mode 0700, ours", {}};
}

}  // namespace

std::string formatCheckItem(const CheckItem& item) {
  static constexpr const char* kTags[] = {"[ok]   ", "[warn] ", "[FAIL] ", "[skip] "};
  std::string line = kTags[static_cast<int>(item.status)] + item.text;
  if (!item.fix.empty() && (item.status == Status::failure || item.status == Status::warning)) {
    line += ". Fix: " + item.fix;
  }
  return line;
}

CheckItem timestampItem(const HandOffFile& file, const std::filesystem::path& path,
                        const std::optional<std::vector<std::byte>>& bytes, double modifiedAt, double now,
                        bool companionRunning) {
  const HandOffProblem problem = handOffProblem(file, bytes);
  if (problem.kind != HandOffProblem::Kind::none) {
    return {Status::failure, describeHandOffProblem(file, path, problem), fileFix(file, problem)};
  }
  const double value = handoff::decodeTimestamp(*bytes).value_or(0);
  const bool epochLike = value > kEpochLike;
  const double age = epochLike ? now - value : now - modifiedAt;
  const std::string where = file.name + ": timestamp " + seconds(value);
  const std::string aged = epochLike ? "" : " (not seconds since the epoch: aged by the file's modification time)";
  if (age > kStaleTimestampSeconds && companionRunning) {
    // A companion keeps its picture live by re-stamping it after each read by the camera, and
    // the camera reads only while someone streams.
    return {Status::warning,
            where + ", " + seconds(age) + " s old" + aged +
                "; a companion is running and stamps anew while the "
                "camera is streamed",
            "open the camera in an application to see the companion's picture"};
  }
  if (age > kStaleTimestampSeconds) {
    return {Status::failure, where + ", " + seconds(age) + " s old, stale" + aged,
            "the companion has stopped publishing: " + std::string(kStartCompanion)};
  }
  if (age < -kStaleTimestampSeconds) {
    return {Status::warning, where + ", " + seconds(-age) + " s in the future" + aged,
            "check the clocks of the camera and the companion"};
  }
  return {Status::ok, where + ", " + seconds(std::max(age, 0.0)) + " s old" + aged, {}};
}

std::vector<CheckItem> checkHandOff(const std::string& group, const std::optional<std::filesystem::path>& container,
                                    const HandOffFile& idFile, const HandOffFile& timestampFile,
                                    const std::filesystem::path& registry, LinuxMediaServices& media) {
  std::vector<CheckItem> items;

  std::error_code error;
  const bool haveContainer = container && std::filesystem::is_directory(*container, error);
  if (!container) {
    items.push_back({Status::failure, "companion folder for app group \"" + group + "\": there is no runtime folder",
                     "log in through a session that sets XDG_RUNTIME_DIR (systemd-logind)"});
  } else if (!haveContainer) {
    items.push_back({Status::failure,
                     "companion folder " + container->string() + " (app group \"" + group + "\"): missing",
                     kStartCompanion});
  } else {
    items.push_back({Status::ok, "companion folder " + container->string() + " (app group \"" + group + "\")", {}});
  }

  std::optional<IOSurfaceID> surfaceID;
  if (!haveContainer) {
    items.push_back({Status::skipped, idFile.name + ": no companion folder", {}});
    items.push_back({Status::skipped, timestampFile.name + ": no companion folder", {}});
  } else {
    const std::filesystem::path idPath = *container / idFile.name;
    const auto idBytes = readRegularFile(idPath, idFile.length + 1);
    const HandOffProblem idProblem = handOffProblem(idFile, idBytes);
    if (idProblem.kind != HandOffProblem::Kind::none) {
      items.push_back({Status::failure, describeHandOffProblem(idFile, idPath, idProblem), fileFix(idFile, idProblem)});
    } else {
      const IOSurfaceID id = handoff::decodeSurfaceID(*idBytes).value_or(0);
      surfaceID = id;
      items.push_back({Status::ok, idFile.name + ": names surface " + std::to_string(id), {}});
    }

    const std::filesystem::path timestampPath = *container / timestampFile.name;
    const auto timestampBytes = readRegularFile(timestampPath, timestampFile.length + 1);
    struct stat status {};
    double modifiedAt = 0;
    if (::stat(timestampPath.c_str(), &status) == 0) {
      modifiedAt = static_cast<double>(status.st_mtim.tv_sec) + static_cast<double>(status.st_mtim.tv_nsec) / 1e9;
    }
    items.push_back(timestampItem(timestampFile, timestampPath, timestampBytes, modifiedAt, realtimeNow(),
                                  handoff::isCompanionPublishing(*container)));
  }

  items.push_back(registryItem(registry));

  if (!surfaceID) {
    items.push_back({Status::skipped, "surface: no surface ID to look up", {}});
    return items;
  }
  const SurfaceLookupResult found = media.lookupSurface(*surfaceID);
  if (!found.surface) {
    items.push_back({Status::failure, "surface " + std::to_string(*surfaceID) + " refused: " + found.reason,
                     refusalFix(found.refusal, registry, *surfaceID)});
    return items;
  }
  const IOSurface& surface = *found.surface;
  const std::string geometry = std::to_string(surface.width()) + "x" + std::to_string(surface.height()) + " '" +
                               fourCC(surface.pixelFormat()) + "', " + std::to_string(surface.bytesPerRow()) +
                               " bytes per row";
  if (surfaceFormatKind(surface.pixelFormat()) == SurfaceFormatKind::kOther) {
    items.push_back({Status::failure,
                     "surface " + std::to_string(*surfaceID) + ": " + geometry +
                         ": unknown pixel format, the camera sends grey frames instead of these pictures",
                     "make the companion draw 'BGRA' (or NV12, I420, YUY2, UYVY, RGBA, ARGB, ABGR) surfaces"});
  } else {
    items.push_back({Status::ok, "surface " + std::to_string(*surfaceID) + ": " + geometry, {}});
  }
  return items;
}

}  // namespace kolv
