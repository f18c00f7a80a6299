// The C interface over Publisher. No exception leaves these functions.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "kolv/companion.h"
#include "kolv_companion.h"

using kolv::companion::Status;

// A publisher and the strings handed out to C callers; used from one thread at a time (the
// publisher's watcher thread touches none of these fields directly).
struct kolv_companion {
  kolv::companion::Publisher publisher;
  std::string group;
  std::string container;
  std::string lastError;
  uint32_t pixelFormat = KOLV_PIXEL_FORMAT_BGRA;
};

namespace {

int code(Status status) {
  switch (status) {
    case Status::ok:
      return KOLV_COMPANION_OK;
    case Status::busy:
      return KOLV_COMPANION_BUSY;
    case Status::noFrame:
      return KOLV_COMPANION_NO_FRAME;
    case Status::invalidArgument:
      return KOLV_COMPANION_INVALID_ARGUMENT;
    case Status::invalidInfoPlist:
      return KOLV_COMPANION_INVALID_INFO_PLIST;
    case Status::invalidAppGroup:
      return KOLV_COMPANION_INVALID_APP_GROUP;
    case Status::noRuntimeDirectory:
      return KOLV_COMPANION_NO_RUNTIME_DIRECTORY;
    case Status::containerUnavailable:
      return KOLV_COMPANION_CONTAINER_UNAVAILABLE;
    case Status::groupInUse:
      return KOLV_COMPANION_GROUP_IN_USE;
    case Status::surfaceUnavailable:
      return KOLV_COMPANION_SURFACE_UNAVAILABLE;
    case Status::writeFailed:
      return KOLV_COMPANION_WRITE_FAILED;
    case Status::timedOut:
      return KOLV_COMPANION_TIMED_OUT;
    case Status::notWatched:
      return KOLV_COMPANION_NOT_WATCHED;
  }
  return KOLV_COMPANION_INVALID_ARGUMENT;
}

// Keeps the publisher's last failure where kolv_companion_last_error() finds it.
int finish(kolv_companion* companion, Status status) {
  if (status != Status::ok) companion->lastError = companion->publisher.lastError().message();
  return code(status);
}

// Runs `body`; the only exception the library throws is bad_alloc, and C callers get a code.
template <typename Body>
int guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return KOLV_COMPANION_OUT_OF_MEMORY;
  }
}

// Why beginFrame() gave no canvas: busy when every surface was handed over too recently (try
// again), or surfaceUnavailable when a new surface could not be made at all.
Status whyNoCanvas(const kolv_companion* companion) {
  const Status status = companion->publisher.lastError().status;
  return status == Status::ok ? Status::busy : status;
}

int beginFrame(kolv_companion* companion, kolv_companion_frame* frame) {
  const auto canvas = companion->publisher.beginFrame();
  if (!canvas) return finish(companion, whyNoCanvas(companion));
  frame->pixels = reinterpret_cast<uint8_t*>(canvas->pixels.data());
  frame->width = canvas->width;
  frame->height = canvas->height;
  frame->bytes_per_row = canvas->bytesPerRow;
  frame->surface_id = canvas->surfaceID;
  return KOLV_COMPANION_OK;
}

int beginFramePlanes(kolv_companion* companion, kolv_companion_planes* frame) {
  const auto canvas = companion->publisher.beginFrame();
  if (!canvas) return finish(companion, whyNoCanvas(companion));
  *frame = kolv_companion_planes{};
  frame->pixels = reinterpret_cast<uint8_t*>(canvas->pixels.data());
  frame->size = canvas->pixels.size();
  frame->width = canvas->width;
  frame->height = canvas->height;
  frame->pixel_format = canvas->pixelFormat;
  frame->surface_id = canvas->surfaceID;
  frame->plane_count = static_cast<uint32_t>(canvas->planeCount);
  for (std::size_t i = 0; i < canvas->planeCount && i < KOLV_COMPANION_MAX_PLANES; ++i) {
    const kolv::companion::Plane& plane = canvas->planes[i];
    frame->planes[i] = kolv_companion_plane{reinterpret_cast<uint8_t*>(plane.bytes.data()), plane.offset,
                                            plane.bytesPerRow, plane.rows, plane.rowBytes};
  }
  return KOLV_COMPANION_OK;
}

int publishCopy(kolv_companion* companion, const std::byte* pixels, std::size_t size, std::size_t bytesPerRow) {
  if (companion->pixelFormat != KOLV_PIXEL_FORMAT_BGRA) {
    companion->lastError =
        "kolv_companion_publish_bgra copies 'BGRA' pictures; this publisher draws in another pixel format "
        "(draw through kolv_companion_begin_frame_planes)";
    return KOLV_COMPANION_INVALID_ARGUMENT;
  }
  const auto canvas = companion->publisher.beginFrame();
  if (!canvas) return finish(companion, whyNoCanvas(companion));
  const std::size_t rowBytes = std::size_t{canvas->width} * 4;
  const std::size_t height = canvas->height;
  if (bytesPerRow < rowBytes || size < (height - 1) * bytesPerRow + rowBytes) {
    companion->lastError = "a picture of " + std::to_string(size) + " bytes with " + std::to_string(bytesPerRow) +
                           " bytes per row is too small for " + std::to_string(canvas->width) + "x" +
                           std::to_string(height);
    return KOLV_COMPANION_INVALID_ARGUMENT;
  }
  for (std::size_t row = 0; row < height; ++row) {
    std::memcpy(canvas->pixels.data() + row * canvas->bytesPerRow, pixels + row * bytesPerRow, rowBytes);
  }
  return finish(companion, companion->publisher.publish());
}

}  // namespace

extern "C" {

kolv_companion* kolv_companion_open(const char* app_group, const char* info_plist, uint32_t width, uint32_t height,
                                    int* status) {
  return kolv_companion_open_format(app_group, info_plist, width, height, KOLV_PIXEL_FORMAT_BGRA, status);
}

kolv_companion* kolv_companion_open_format(const char* app_group, const char* info_plist, uint32_t width,
                                           uint32_t height, uint32_t pixel_format, int* status) try {
  kolv::companion::Options options;
  if (pixel_format != 0) options.pixelFormat = pixel_format;
  if (app_group != nullptr) {
    options.appGroupID = app_group;
    // An empty name is a mistake, not a request for the default.
    if (options.appGroupID.empty()) {
      if (status) *status = KOLV_COMPANION_INVALID_APP_GROUP;
      return nullptr;
    }
  }
  if (info_plist != nullptr) options.infoPlist = info_plist;
  if (width != 0 || height != 0) {
    options.width = width;
    options.height = height;
  }
  kolv::companion::Error error;
  auto publisher = kolv::companion::Publisher::open(options, &error);
  if (!publisher) {
    if (status) *status = code(error.status);
    return nullptr;
  }
  auto* companion = new kolv_companion{std::move(*publisher), {}, {}, {}, options.pixelFormat};
  companion->group = companion->publisher.appGroupID();
  companion->container = companion->publisher.container().string();
  if (status) *status = KOLV_COMPANION_OK;
  return companion;
} catch (...) {
  if (status) *status = KOLV_COMPANION_OUT_OF_MEMORY;
  return nullptr;
}

void kolv_companion_close(kolv_companion* companion) { delete companion; }

int kolv_companion_begin_frame(kolv_companion* companion, kolv_companion_frame* frame) {
  if (companion == nullptr || frame == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return beginFrame(companion, frame); });
}

int kolv_companion_begin_frame_planes(kolv_companion* companion, kolv_companion_planes* frame) {
  if (companion == nullptr || frame == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return beginFramePlanes(companion, frame); });
}

int kolv_companion_publish(kolv_companion* companion) {
  if (companion == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return finish(companion, companion->publisher.publish()); });
}

int kolv_companion_publish_bgra(kolv_companion* companion, const void* pixels, size_t size, size_t bytes_per_row) {
  if (companion == nullptr || pixels == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return publishCopy(companion, static_cast<const std::byte*>(pixels), size, bytes_per_row); });
}

int kolv_companion_republish(kolv_companion* companion) {
  if (companion == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return finish(companion, companion->publisher.republish()); });
}

int kolv_companion_set_hold_time(kolv_companion* companion, double seconds) {
  if (companion == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  // The limit keeps the time within what 64-bit nanoseconds hold (about 292 years).
  if (!(seconds >= 0 && seconds < KOLV_COMPANION_MAX_HOLD_SECONDS)) {
    return guarded([&] {
      char shown[32];
      std::snprintf(shown, sizeof shown, "%g", seconds);
      companion->lastError = std::string("hold time ") + shown +
                             " s refused: it must be at least 0 and below 9e9 s (about 285 years); 0 holds the "
                             "picture until the next one";
      return KOLV_COMPANION_INVALID_ARGUMENT;
    });
  }
  // A positive time below a nanosecond is the shortest hold, not 0 (hold until the next picture).
  const auto holdTime = std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
  return guarded([&] { return finish(companion, companion->publisher.setHoldTime(holdTime)); });
}

int kolv_companion_wait_for_cue(kolv_companion* companion, double draw_seconds, double timeout_seconds) {
  if (companion == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  constexpr double kLongest = 3600;
  if (!(draw_seconds >= 0 && draw_seconds < kLongest && timeout_seconds >= 0 && timeout_seconds < kLongest)) {
    return guarded([&] {
      char shown[64];
      std::snprintf(shown, sizeof shown, "%g s to draw, %g s timeout", draw_seconds, timeout_seconds);
      companion->lastError = std::string(shown) + " refused: each must be at least 0 and below an hour";
      return KOLV_COMPANION_INVALID_ARGUMENT;
    });
  }
  const auto nanoseconds = [](double seconds) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(seconds * 1e9)));
  };
  return guarded(
      [&] { return code(companion->publisher.waitForCue(nanoseconds(draw_seconds), nanoseconds(timeout_seconds))); });
}

int kolv_companion_set_frame_rate(kolv_companion* companion, double frames_per_second) {
  if (companion == nullptr) return KOLV_COMPANION_INVALID_ARGUMENT;
  return guarded([&] { return finish(companion, companion->publisher.setFrameRate(frames_per_second)); });
}

int kolv_companion_watched(const kolv_companion* companion) {
  return companion != nullptr && companion->publisher.watched() ? 1 : 0;
}

uint32_t kolv_companion_pixel_format(const kolv_companion* companion) { return companion ? companion->pixelFormat : 0; }

double kolv_companion_last_timestamp(const kolv_companion* companion) {
  return companion ? companion->publisher.lastTimestamp() : 0;
}

const char* kolv_companion_app_group(const kolv_companion* companion) {
  return companion ? companion->group.c_str() : "";
}

const char* kolv_companion_container(const kolv_companion* companion) {
  return companion ? companion->container.c_str() : "";
}

const char* kolv_companion_last_error(const kolv_companion* companion) {
  return companion ? companion->lastError.c_str() : "";
}

const char* kolv_companion_status_string(int status) {
  switch (status) {
    case KOLV_COMPANION_OK:
      return describe(Status::ok);
    case KOLV_COMPANION_BUSY:
      return describe(Status::busy);
    case KOLV_COMPANION_NO_FRAME:
      return describe(Status::noFrame);
    case KOLV_COMPANION_INVALID_ARGUMENT:
      return describe(Status::invalidArgument);
    case KOLV_COMPANION_INVALID_INFO_PLIST:
      return describe(Status::invalidInfoPlist);
    case KOLV_COMPANION_INVALID_APP_GROUP:
      return describe(Status::invalidAppGroup);
    case KOLV_COMPANION_NO_RUNTIME_DIRECTORY:
      return describe(Status::noRuntimeDirectory);
    case KOLV_COMPANION_CONTAINER_UNAVAILABLE:
      return describe(Status::containerUnavailable);
    case KOLV_COMPANION_GROUP_IN_USE:
      return describe(Status::groupInUse);
    case KOLV_COMPANION_SURFACE_UNAVAILABLE:
      return describe(Status::surfaceUnavailable);
    case KOLV_COMPANION_WRITE_FAILED:
      return describe(Status::writeFailed);
    case KOLV_COMPANION_TIMED_OUT:
      return describe(Status::timedOut);
    case KOLV_COMPANION_NOT_WATCHED:
      return describe(Status::notWatched);
    case KOLV_COMPANION_OUT_OF_MEMORY:
      return "out of memory";
  }
  return "unknown status";
}

}  // extern "C"
