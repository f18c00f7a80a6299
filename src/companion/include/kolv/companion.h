// Kolv Camera companion library, C++ interface: publishes pictures to the camera through
// shared-memory surfaces and the two hand-off files in the app group's container.
// docs/companion.md describes the protocol; kolv_companion.h is the same in C.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kolv/handoff_names.h"
#include "kolv/pixel_formats.h"

namespace kolv::companion {

// The app group the camera uses when its Info dictionary names none, and the two hand-off
// files' names (kolv/handoff_names.h, which the camera reads them from too).
using ::kolv::kFallbackAppGroupID;
using ::kolv::kFrameMetadataFileName;
using ::kolv::kSurfaceIDFileName;
// The pixel formats a publisher draws in and the camera shows (kolv/pixel_formats.h): the
// camera's own 'BGRA', and the others, which it converts to 'BGRA' as it sends them.
inline constexpr std::uint32_t kPixelFormatBGRA = KOLV_PIXEL_FORMAT_BGRA;
inline constexpr std::uint32_t kPixelFormatRGBA = KOLV_PIXEL_FORMAT_RGBA;
inline constexpr std::uint32_t kPixelFormatARGB = KOLV_PIXEL_FORMAT_ARGB;
inline constexpr std::uint32_t kPixelFormatABGR = KOLV_PIXEL_FORMAT_ABGR;
inline constexpr std::uint32_t kPixelFormatNV12 = KOLV_PIXEL_FORMAT_NV12;
inline constexpr std::uint32_t kPixelFormatI420 = KOLV_PIXEL_FORMAT_I420;
inline constexpr std::uint32_t kPixelFormatYUY2 = KOLV_PIXEL_FORMAT_YUY2;
inline constexpr std::uint32_t kPixelFormatUYVY = KOLV_PIXEL_FORMAT_UYVY;
inline constexpr std::array<std::uint32_t, 8> kPixelFormats = {kPixelFormatBGRA, kPixelFormatRGBA, kPixelFormatARGB,
                                                               kPixelFormatABGR, kPixelFormatNV12, kPixelFormatI420,
                                                               kPixelFormatYUY2, kPixelFormatUYVY};
// The most planes a picture has ('I420': Y, U, V).
inline constexpr std::size_t kMaxPlanes = 3;
inline constexpr std::uint32_t kDefaultWidth = 1280;
inline constexpr std::uint32_t kDefaultHeight = 720;
// How long a surface stays untouched after the surface-ID file stopped naming it: the
// camera may have read its ID just before, and copies it within about one 1/30 s tick on
// a machine that keeps up; three ticks leave room for one that does not.
inline constexpr std::chrono::milliseconds kDefaultReuseDelay{100};
// How recent the camera's last read of the frame file must be for Publisher::watched():
// it reads it every 1/30 s while it streams, so six ticks without one mean it stopped.
inline constexpr std::chrono::milliseconds kWatchedWindow{200};
// How long before the camera's predicted read a cued picture is to be published: the read
// is seen a little after the camera's timer fires, and the hand-off files take a moment.
inline constexpr std::chrono::milliseconds kCueMargin{3};

enum class Status {
  ok,
  busy,  // no surface is free to draw into yet; try again later
  noFrame,
  invalidArgument,
  invalidInfoPlist,
  invalidAppGroup,
  noRuntimeDirectory,
  containerUnavailable,
  groupInUse,
  surfaceUnavailable,
  writeFailed,
  // From Publisher::waitForCue(): the timeout came before the cue.
  timedOut,
  // From Publisher::waitForCue(): the camera is not reading, so the cue came from the frame
  // rate alone.
  notWatched,
};
// A short English description, e.g. "no surface is free yet".
const char* describe(Status status);

struct Error {
  Status status = Status::ok;
  std::string detail;  // what failed, with the path or the system's reason
  // describe(status), then ": " and the detail when there is one.
  std::string message() const;
};

// The app group the camera picks from the Info.plist at `infoPlist`: "AppGroupIdentifier"
// when it is a string (even empty), else the first element of
// "com.apple.security.application-groups" when that is a non-empty array of strings, else
// kFallbackAppGroupID. A missing or unreadable file gives the fallback, as in the camera.
std::string resolveAppGroupID(const std::filesystem::path& infoPlist);
// Whether `infoPlist` is a readable Info.plist (XML or binary, at most 64 KiB) whose root is a
// dictionary; when not, `reason` says why.
bool isUsableInfoPlist(const std::filesystem::path& infoPlist, std::string* reason = nullptr);

// $XDG_RUNTIME_DIR when it is an absolute path, else /run/user/<euid> when that folder exists.
std::optional<std::filesystem::path> runtimeDirectory();
// `<runtime dir>/app-groups/<group>`, or empty when the group is not one plain file name.
std::optional<std::filesystem::path> appGroupContainer(const std::filesystem::path& runtimeDir,
                                                       const std::string& group);

// Time sources; tests pass their own. Called on the caller's thread and on the publisher's
// watcher thread, so an implementation must be safe to call from both.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since the epoch (CLOCK_REALTIME): the timestamps written to the frame file.
  virtual double wallSeconds() = 0;
  // A monotonic time (CLOCK_MONOTONIC): when surfaces may be drawn into again.
  virtual std::chrono::nanoseconds monotonic() = 0;
  // Returns at monotonic() time `until` (at once when that has passed): CLOCK_MONOTONIC by
  // default. Called on the caller's thread by Publisher::waitForCue().
  virtual void sleepUntil(std::chrono::nanoseconds until);
};

struct Options {
  // The app group; when empty, the one `infoPlist` names, else kFallbackAppGroupID.
  std::string appGroupID;
  std::optional<std::filesystem::path> infoPlist;
  std::uint32_t width = kDefaultWidth;
  std::uint32_t height = kDefaultHeight;
  // What the pictures are drawn in: one of kPixelFormats. Rows are packed (Canvas says how).
  std::uint32_t pixelFormat = kPixelFormatBGRA;
  // Surfaces made at open(), 2 to maxSurfaceCount. When a picture comes before the next
  // surface has rested for reuseDelay, another one is made, up to maxSurfaceCount (at most 16).
  std::size_t surfaceCount = 3;
  std::size_t maxSurfaceCount = 16;
  std::chrono::nanoseconds reuseDelay = kDefaultReuseDelay;
  // How long the last picture stays live without a new publish() or republish(); after
  // that the camera sends grey until the next one. 0: until the next picture or the end of
  // the publisher. A bound lets a drawing thread that hangs show as grey, not as a still.
  std::chrono::nanoseconds holdTime{0};
  // Pictures a second the producer means to draw, above 0 and at most 1000: the pace of
  // Publisher::waitForCue() while the camera does not read (and, below the camera's 30, how
  // many of its reads a cue skips).
  double frameRate = 30;
  // Where containers live; runtimeDirectory() when empty.
  std::optional<std::filesystem::path> runtimeDirectory;
  // Where surfaces are registered; the camera's default registry when empty.
  std::optional<std::filesystem::path> surfaceRegistry;
  // The system clocks when null.
  std::shared_ptr<Clock> clock;
};

// One plane of a canvas: `rows` rows, bytesPerRow apart, row 0 first; the first rowBytes
// bytes of each row are the picture's, the rest padding.
struct Plane {
  std::span<std::byte> bytes;  // the whole plane: rows * bytesPerRow bytes
  std::size_t offset = 0;      // from the first plane's first byte
  std::uint32_t bytesPerRow = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowBytes = 0;
};

// Where to draw the next picture, in Options::pixelFormat: `pixels` holds every plane, one
// right after the other (docs/surface-format.md); bytesPerRow is the first plane's. One plane
// for 'BGRA', 'RGBA', 'ARGB', 'ABGR', 'YUY2' and 'UYVY'; Y then interleaved U, V for 'NV12';
// Y, U, V for 'I420', whose chroma rows are half as long as the Y rows, rounded up.
struct Canvas {
  std::span<std::byte> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t bytesPerRow = 0;
  std::uint32_t surfaceID = 0;
  std::uint32_t pixelFormat = kPixelFormatBGRA;
  std::size_t planeCount = 0;
  std::array<Plane, kMaxPlanes> planes{};
};

// Whether `pixelFormat` is one of kPixelFormats.
bool isPublishablePixelFormat(std::uint32_t pixelFormat);

// Publishes pictures for one app group: draw into beginFrame()'s canvas, then publish().
// Surfaces are drawn in turn, so the camera never sends a picture while it is being drawn.
// The last picture stays live: each time the camera has read the frame file, a thread of
// the publisher writes a new timestamp for it, so the camera sends it on every tick until
// the next picture (or until the hold time runs out), and never grey in between.
// Thread: use it from one thread at a time; its own watcher thread shares its state under
// a lock and ends before the destructor returns.
class Publisher {
 public:
  // Resolves the group, creates its container (mode 0700) if missing, takes the group's
  // lock (one publisher per group), removes registry entries left by companions that were
  // killed, creates the surfaces and starts watching for the camera's reads. Empty on
  // failure, with the reason in `error` when given.
  static std::optional<Publisher> open(const Options& options, Error* error = nullptr);

  Publisher(Publisher&&) noexcept;
  Publisher& operator=(Publisher&&) noexcept;
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;
  // Stops the watcher thread and releases the surfaces; the camera then sends the last
  // picture at most once more, then grey. The files stay.
  ~Publisher();

  // The surface to draw the next picture into, which the camera is not sending: the one
  // handed over longest ago, or a new one when that has not rested for reuseDelay yet.
  // Empty (busy) when maxSurfaceCount surfaces are all too recent, or a new surface cannot
  // be made (lastError() says why). Calling it again before publish() gives the same canvas.
  std::optional<Canvas> beginFrame();
  // Hands the drawn picture over: names its surface in the surface-ID file, then writes a
  // new timestamp. noFrame without beginFrame(); writeFailed when a file cannot be replaced.
  Status publish();
  // Hands the last picture over again with a new timestamp, drawing nothing, and starts its
  // hold time again. A still picture needs no republish() with the hold time at 0.
  Status republish();
  // Changes Options::holdTime; counted from the last publish() or republish(). Any
  // non-negative value is taken, up to the largest nanoseconds (about 292 years); the C
  // interface's kolv_companion_set_hold_time takes seconds below 9e9 (about 285 years).
  Status setHoldTime(std::chrono::nanoseconds holdTime);

  // When to start drawing the next picture: `start`, so that with `drawTime` for drawing it
  // is published kCueMargin before the camera's next read (`read`), predicted from the
  // camera's reads seen so far (their period and phase). While the camera reads, the status
  // is ok and each cue is a later read than the last one taken, at least 1/frameRate later
  // (half a tick allowed); a cue whose start has passed gives way to the next read. While it
  // does not (watched() is false), the status is notWatched and cues come 1/frameRate after
  // the last one (or now, when that is more than a frame ago), with `read` empty. Takes the
  // cue: the next call gives the one after. Waits for nothing.
  struct Cue {
    std::chrono::nanoseconds start{};  // on the Clock's monotonic() time
    std::optional<std::chrono::nanoseconds> read;
    Status status = Status::ok;
  };
  Cue nextCue(std::chrono::nanoseconds drawTime);
  // Sleeps until the next cue's start (nextCue()) and returns its status, ok or notWatched;
  // or, when that start is more than `timeout` away, sleeps `timeout` and returns timedOut,
  // leaving the cue to the next call. A negative drawTime or timeout counts as 0.
  Status waitForCue(std::chrono::nanoseconds drawTime, std::chrono::nanoseconds timeout);
  // Changes Options::frameRate; invalidArgument outside (0, 1000].
  Status setFrameRate(double framesPerSecond);

  // Empty while the latest picture is kept live; otherwise why not (the frame file cannot be
  // watched, e.g. inotify's limits are reached): pictures then still go out, but the camera
  // may send grey between them.
  const std::string& keepAliveProblem() const;
  // The scheduling the re-stamping thread got, for one log line: "real-time (SCHED_FIFO,
  // priority 9)", "real-time (SCHED_RR through RTKit, priority 9)", "nice -20 (real-time
  // refused: ...)" or "normal priority (...)". Below real-time, the re-stamp may lose the race
  // with the camera's next tick on a machine whose every core is busy, and a grey frame comes
  // between pictures. Empty without the watcher (see keepAliveProblem()).
  const std::string& keepAlivePriority() const;
  // Whether the camera is streaming this group's picture: it read the frame file within
  // kWatchedWindow. It reads it only while a surface is named, so false before the first
  // publish(). A companion may stop drawing while nobody watches.
  bool watched() const;
  // How many times the frame file was read (by the camera) since open().
  std::uint64_t frameFileReads() const;

  const std::string& appGroupID() const;
  const std::filesystem::path& container() const;
  // The last timestamp written, or the one found in the frame file at open(); 0 for none.
  double lastTimestamp() const;
  // The surface the surface-ID file names; 0 before the first publish().
  std::uint32_t publishedSurfaceID() const;
  std::vector<std::uint32_t> surfaceIDs() const;
  // Why the last publish() or republish() failed.
  const Error& lastError() const;

 private:
  struct Impl;
  explicit Publisher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kolv::companion
