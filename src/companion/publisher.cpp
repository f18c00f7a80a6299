// Publisher: surfaces drawn in turn and the hand-off files written after each picture.
//
// Why a surface is safe to draw into again. The camera sends no copy of the surface list,
// only whatever surface the surface-ID file names when its frame timer ticks (30 times a
// second): on the tick it reads that file, then the timestamp, and if the timestamp is new it
// writes the named surface's pixels into each output's buffer (copied, or converted) before
// the tick ends; nothing reads the surface after that. So the camera may still be reading a
// surface for as long as one tick lasts after the surface-ID file stopped naming it: normally
// a millisecond or two, but a tick is a thread like any other, and on a loaded machine where
// the frame queue gets no real-time priority it can be preempted for tens of milliseconds in
// the middle of a copy (tests under AddressSanitizer on two busy cores tore pictures with a
// 40 ms rest, when the copy was made on another thread after the tick). The publisher
// therefore
//   - never draws into the surface the file names (the one last handed over);
//   - names a different surface with every new picture, going round the ring in order,
//     so the next one to draw into is always the one that has rested longest;
//   - draws into a surface only once `reuseDelay` has passed since the file stopped naming
//     it: 100 ms by default, three ticks, well above a tick's length even when it is
//     preempted, and still only five surfaces at 30 pictures a second;
//   - makes another surface when the next one in turn has not rested long enough, and
//     puts it in the ring right after the named one; beginFrame() says busy only when
//     maxSurfaceCount surfaces are all too recent.
// At 30 pictures a second the ring settles at 5 surfaces (each rests 4 frames, 133 ms); at
// 10 a second the 3 made at open() are enough.
//
// Timestamps are wall-clock seconds (CLOCK_REALTIME), and each one is at least 1 us above
// the previous one, starting from the value found in the frame file at open(). They keep
// growing across restarts of the companion, and across a clock set backwards while the
// file survives; the camera takes only a timestamp above the largest it has handed out.
//
// Keeping the picture live. The camera sends the named surface only on a tick that finds a
// timestamp above the last one it sent, and grey otherwise; a companion's own pace drifts
// against the camera's ticks, so pictures alone leave some ticks without one. A watcher
// thread therefore waits for the camera to finish reading the frame file and at once
// writes a new timestamp for the surface the ID file names, so the next tick finds one,
// until a new picture comes, the hold time has passed since the last one, or the publisher
// goes. A re-stamp writes only the frame file: it never names another surface, and the
// named surface is never drawn into. The rest before a surface is drawn into again counts
// from when the ID file stopped naming it, which comes after its last stamp because both
// happen under the one mutex.
//
// The watcher's thread runs real-time where the system permits, so that on a machine whose
// cores are all busy the re-stamp still lands well before the camera's next tick. The mutex
// it shares with the caller's thread (normal priority) inherits priority: a caller preempted
// while it writes a hand-off file under the lock runs at the watcher's priority until it lets
// go, rather than holding the re-stamp up behind every busy thread of the machine.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <utility>

#include "handoff/companion_lock.h"
#include "handoff/shared_surface.h"
#include "handoff/unique_fd.h"
#include "handoff_files.h"
#include "kolv/companion.h"
#include "read_cadence.h"
#include "read_watcher.h"
#include "realtime/priority_inheritance_mutex.h"

namespace kolv::companion {
namespace {

constexpr std::size_t kMaxSurfaceCount = 16;
constexpr double kTimestampStep = 1e-6;

}  // namespace

void Clock::sleepUntil(std::chrono::nanoseconds until) {
  const timespec at{static_cast<time_t>(until.count() / 1'000'000'000),
                    static_cast<long>(until.count() % 1'000'000'000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

namespace {

// CLOCK_REALTIME and CLOCK_MONOTONIC; stateless, safe from any thread.
class SystemClock final : public Clock {
 public:
  double wallSeconds() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }
  std::chrono::nanoseconds monotonic() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  }
};

std::chrono::nanoseconds frameInterval(double framesPerSecond) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / framesPerSecond));
}

bool isValidFrameRate(double framesPerSecond) { return framesPerSecond > 0 && framesPerSecond <= 1000; }

Error failure(Status status, std::string detail) { return Error{status, std::move(detail)}; }

// 'NV12' for 0x4e563132, or the number in hex when a letter is not printable.
std::string fourCC(std::uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto letter = static_cast<char>((code >> shift) & 0xFF);
    if (letter < 0x20 || letter > 0x7E) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08x", code);
      return hex;
    }
    text += letter;
  }
  return "'" + text + "'";
}

std::string systemReason(const std::filesystem::path& path, int error) {
  return path.string() + ": " + std::strerror(error);
}

// Creates `<runtime>/app-groups` and the container with mode 0700 when missing, and checks
// that the container is a folder of this user.
std::optional<Error> prepareContainer(const std::filesystem::path& container) {
  for (const auto& folder : {container.parent_path(), container}) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return failure(Status::containerUnavailable, "cannot create " + systemReason(folder, errno));
    }
  }
  struct stat status {};
  if (::lstat(container.c_str(), &status) != 0) {
    return failure(Status::containerUnavailable, systemReason(container, errno));
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
    return failure(Status::containerUnavailable, container.string() + " is not a folder of this user");
  }
  return std::nullopt;
}

// One publisher per group: two would name each other's surfaces and race on timestamps.
std::optional<Error> lockGroup(const std::filesystem::path& container, UniqueFD& lock) {
  const auto path = container / handoff::kCompanionLockFileName;
  lock = UniqueFD(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return failure(Status::containerUnavailable, "cannot open " + systemReason(path, errno));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return failure(Status::groupInUse, container.string());
    return failure(Status::containerUnavailable, "cannot lock " + systemReason(path, errno));
  }
  return std::nullopt;
}

double timestampInFile(const std::filesystem::path& path) {
  const auto content = readSmallFile(path, 8);
  if (!content) return 0;
  const auto value = decodeTimestamp(std::as_bytes(std::span(content->data(), content->size())));
  return value && std::isfinite(*value) && *value > 0 ? *value : 0;
}

}  // namespace

// The publisher's state. Made and destroyed on the caller's thread; `mutex` guards what the
// caller's thread shares with the watcher's (all but lastError, which only the caller's
// thread touches).
struct Publisher::Impl {
  struct Slot {
    SharedSurface surface;
    // When the surface-ID file stopped naming it; empty if it never did.
    std::optional<std::chrono::nanoseconds> releasedAt;
  };

  std::string group;
  std::filesystem::path container;
  std::filesystem::path registry;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t pixelFormat = kPixelFormatBGRA;
  std::size_t maxSurfaces = 0;
  std::shared_ptr<Clock> clock;
  std::chrono::nanoseconds reuseDelay{};
  UniqueFD lock;  // declared before the surfaces, so released after them
  Error lastError;

  mutable realtime::PriorityInheritanceMutex mutex;
  std::vector<Slot> slots;
  std::optional<std::size_t> named;
  std::optional<std::size_t> drawing;
  double lastTimestamp = 0;
  std::chrono::nanoseconds holdTime{};
  std::optional<std::chrono::nanoseconds> pictureAt;  // the last publish() or republish()
  std::optional<std::chrono::nanoseconds> lastReadAt;
  std::optional<double> readTimestamp;  // the frame file's timestamp at the camera's last read
  std::uint64_t reads = 0;
  ReadCadence cadence;
  std::chrono::nanoseconds frameInterval{};
  std::optional<Cue> lastCue;  // the last one taken
  // Declared last, so stopped first: its thread uses everything above.
  std::string keepAliveProblem;   // why there is no watcher, if there is none
  std::string keepAlivePriority;  // what the watcher's thread got
  std::unique_ptr<FrameReadWatcher> watcher;

  ~Impl() {
    // No re-stamp from here on. The thread ends before the pointer to the watcher goes, which
    // the thread reads while it stamps.
    if (watcher) watcher->stop();
    withdrawUnreadStamp();
  }

  Status fail(Status status, std::string detail = {}) {
    lastError = failure(status, std::move(detail));
    return status;
  }

  // The re-stamp after the camera's last read would hand the last picture to whoever opens
  // the camera next, after this publisher has gone: the frame file goes back to the timestamp
  // the camera last read, which it never sends again. The next companion continues from that
  // value, above every timestamp the camera has sent. A folder that has gone stays gone.
  void withdrawUnreadStamp() {
    if (!readTimestamp || !(lastTimestamp > *readTimestamp)) return;
    std::string reason;
    replaceFile(container, kFrameMetadataFileName, encodeTimestamp(*readTimestamp), reason);
  }

  // Replaces one hand-off file; when the container has gone (the runtime folder was
  // cleaned), makes it again once. With each new surface ID the container is watched again
  // (the same watch while the folder is the same), so a container that someone removed and
  // made anew is watched from the next picture on. Caller holds the mutex.
  bool write(const char* name, std::span<const std::byte> bytes, std::string& reason) {
    int error = replaceFile(container, name, bytes, reason);
    if (error == ENOENT && !prepareContainer(container)) error = replaceFile(container, name, bytes, reason);
    if (error == 0 && watcher && name == std::string_view(kSurfaceIDFileName) && !watcher->rewatch()) {
      keepAliveProblem = "cannot watch " + container.string() + " again for the camera's reads";
    }
    return error == 0;
  }

  std::optional<SharedSurface> makeSurface() {
    std::string reason;
    auto surface = SharedSurface::createIn(registry, width, height, pixelFormat, 0, &reason);
    if (!surface) fail(Status::surfaceUnavailable, reason);
    return surface;
  }

  bool rested(const Slot& slot) const {
    return !slot.releasedAt || clock->monotonic() - *slot.releasedAt >= reuseDelay;
  }

  // Writes a timestamp above the last one. Caller holds the mutex.
  bool stamp(std::string& reason) {
    double next = lastTimestamp + kTimestampStep;
    if (!(next > lastTimestamp)) next = std::nextafter(lastTimestamp, INFINITY);
    const double now = clock->wallSeconds();
    if (std::isfinite(now) && now > next) next = now;
    if (!write(kFrameMetadataFileName, encodeTimestamp(next), reason)) return false;
    lastTimestamp = next;
    return true;
  }

  // A new picture, or the last one again: stamps it and starts its hold time.
  Status stampPicture() {
    std::string reason;
    if (!stamp(reason)) return fail(Status::writeFailed, reason);
    pictureAt = clock->monotonic();
    lastError = {};
    return Status::ok;
  }

  // The cue after the last one taken. Caller holds the mutex.
  Cue cue(std::chrono::nanoseconds drawTime) const {
    const auto now = clock->monotonic();
    const auto lead = drawTime + kCueMargin;
    if (lastReadAt && now - *lastReadAt <= kWatchedWindow) {
      auto earliest = now + lead;
      // A later read than the last cue's, and at the frame rate: half a tick early is the
      // same tick.
      const auto period = cadence.predict()->period;
      if (lastCue && lastCue->read) {
        earliest = std::max(earliest, *lastCue->read + std::max(frameInterval - period / 2, period / 2));
      }
      // Never before the read that takes the last picture (one drawn late goes out a read
      // later than its cue): two pictures in one tick would lose the first.
      if (pictureAt) {
        if (const auto takenBy = cadence.nextReadAtOrAfter(*pictureAt))
          earliest = std::max(earliest, *takenBy + period / 2);
      }
      if (const auto read = cadence.nextReadAtOrAfter(earliest)) return Cue{*read - lead, read, Status::ok};
    }
    auto start = lastCue ? lastCue->start + frameInterval : now;
    if (start < now - frameInterval) start = now;
    return Cue{start, std::nullopt, Status::notWatched};
  }

  // On the watcher's thread: the camera has just read the frame file. A failed write is
  // left to the next read, or to the caller's next publish(), which reports it.
  void frameFileRead() {
    const std::lock_guard guard(mutex);
    const auto now = clock->monotonic();
    ++reads;
    readTimestamp = lastTimestamp;
    if (lastReadAt && now - *lastReadAt > kWatchedWindow) cadence.clear();
    cadence.noteRead(now);
    lastReadAt = now;
    if (!named || !pictureAt) return;
    if (holdTime.count() > 0 && now - *pictureAt >= holdTime) return;
    std::string reason;
    stamp(reason);
  }
};

bool isPublishablePixelFormat(std::uint32_t pixelFormat) {
  return std::find(kPixelFormats.begin(), kPixelFormats.end(), pixelFormat) != kPixelFormats.end();
}

std::optional<Publisher> Publisher::open(const Options& options, Error* error) {
  auto reject = [error](Status status, std::string detail) -> std::optional<Publisher> {
    if (error) *error = failure(status, std::move(detail));
    return std::nullopt;
  };
  if (!isPublishablePixelFormat(options.pixelFormat)) {
    return reject(Status::invalidArgument, "pixel format " + fourCC(options.pixelFormat) +
                                               " (the camera shows 'BGRA', 'RGBA', 'ARGB', 'ABGR', 'NV12', "
                                               "'I420', 'YUY2' and 'UYVY')");
  }
  if (!isValidSurfaceGeometry(options.width, options.height, options.pixelFormat,
                              packedBytesPerRow(options.width, options.pixelFormat))) {
    return reject(Status::invalidArgument, "picture size " + std::to_string(options.width) + "x" +
                                               std::to_string(options.height) + " (1 to 16384 each)");
  }
  if (options.maxSurfaceCount > kMaxSurfaceCount || options.surfaceCount < 2 ||
      options.surfaceCount > options.maxSurfaceCount) {
    return reject(Status::invalidArgument, "surface counts " + std::to_string(options.surfaceCount) + " to " +
                                               std::to_string(options.maxSurfaceCount) + " (2 to 16)");
  }
  if (options.reuseDelay.count() < 0) return reject(Status::invalidArgument, "negative reuse delay");
  if (options.holdTime.count() < 0) return reject(Status::invalidArgument, "negative hold time");
  if (!isValidFrameRate(options.frameRate)) {
    return reject(Status::invalidArgument,
                  "frame rate " + std::to_string(options.frameRate) + " (above 0, up to 1000)");
  }

  auto impl = std::make_unique<Impl>();
  if (!options.appGroupID.empty()) {
    impl->group = options.appGroupID;
  } else if (options.infoPlist) {
    std::string reason;
    if (!isUsableInfoPlist(*options.infoPlist, &reason)) return reject(Status::invalidInfoPlist, reason);
    impl->group = resolveAppGroupID(*options.infoPlist);
  } else {
    impl->group = kFallbackAppGroupID;
  }

  const auto runtime = options.runtimeDirectory ? options.runtimeDirectory : runtimeDirectory();
  if (!runtime) return reject(Status::noRuntimeDirectory, {});
  const auto container = appGroupContainer(*runtime, impl->group);
  if (!container) return reject(Status::invalidAppGroup, "'" + impl->group + "'");
  impl->container = *container;
  if (auto problem = prepareContainer(impl->container)) return reject(problem->status, problem->detail);
  if (auto problem = lockGroup(impl->container, impl->lock)) return reject(problem->status, problem->detail);

  impl->clock = options.clock ? options.clock : std::make_shared<SystemClock>();
  impl->reuseDelay = options.reuseDelay;
  impl->lastTimestamp = timestampInFile(impl->container / kFrameMetadataFileName);
  impl->registry = options.surfaceRegistry ? *options.surfaceRegistry : defaultSurfaceRegistry();
  impl->width = options.width;
  impl->height = options.height;
  impl->pixelFormat = options.pixelFormat;
  impl->maxSurfaces = options.maxSurfaceCount;
  impl->holdTime = options.holdTime;
  impl->frameInterval = frameInterval(options.frameRate);
  // Entries of companions that were killed stay behind; clear them before adding ours.
  if (const UniqueFD folder = openSurfaceRegistry(impl->registry, false)) sweepDeadSurfaces(folder.get());
  for (std::size_t i = 0; i < options.surfaceCount; ++i) {
    auto surface = impl->makeSurface();
    if (!surface) return reject(impl->lastError.status, impl->lastError.detail);
    impl->slots.push_back(Impl::Slot{std::move(*surface), std::nullopt});
  }
  // Without the watcher (inotify exhausted, say) pictures still go out, only not kept live.
  impl->watcher = FrameReadWatcher::start(
      impl->container, kFrameMetadataFileName, [self = impl.get()] { self->frameFileRead(); }, impl->keepAliveProblem);
  if (impl->watcher) {
    impl->keepAliveProblem.clear();
    impl->keepAlivePriority = impl->watcher->priority().describe();
  }
  return Publisher(std::move(impl));
}

Publisher::Publisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Publisher::Publisher(Publisher&&) noexcept = default;
Publisher& Publisher::operator=(Publisher&&) noexcept = default;
Publisher::~Publisher() = default;

std::optional<Canvas> Publisher::beginFrame() {
  Impl& self = *impl_;
  const std::lock_guard guard(self.mutex);
  if (!self.drawing) {
    // The ring holds the surfaces in the order they were last named, so the one after the
    // named one has rested longest.
    std::size_t next = self.named ? (*self.named + 1) % self.slots.size() : 0;
    if (!self.rested(self.slots[next])) {
      if (self.slots.size() >= self.maxSurfaces) {
        self.fail(Status::busy, std::to_string(self.slots.size()) + " surfaces, all handed over too recently");
        return std::nullopt;
      }
      auto surface = self.makeSurface();
      if (!surface) return std::nullopt;
      next = *self.named + 1;
      self.slots.insert(self.slots.begin() + static_cast<std::ptrdiff_t>(next),
                        Impl::Slot{std::move(*surface), std::nullopt});
    }
    self.drawing = next;
  }
  const SharedSurface& surface = self.slots[*self.drawing].surface;
  Canvas canvas{surface.pixels(), surface.width(), surface.height(), surface.bytesPerRow(), surface.id()};
  canvas.pixelFormat = surface.pixelFormat();
  // The same layout the camera reads the surface by.
  const SurfacePlanes layout =
      surfacePlanes(surface.width(), surface.height(), surface.pixelFormat(), surface.bytesPerRow());
  canvas.planeCount = layout.count;
  for (std::size_t i = 0; i < layout.count; ++i) {
    const SurfacePlane& plane = layout.planes[i];
    canvas.planes[i] = Plane{canvas.pixels.subspan(plane.offset, plane.bytesPerRow * plane.rows), plane.offset,
                             static_cast<std::uint32_t>(plane.bytesPerRow), static_cast<std::uint32_t>(plane.rows),
                             static_cast<std::uint32_t>(plane.rowBytes)};
  }
  return canvas;
}

Status Publisher::publish() {
  Impl& self = *impl_;
  const std::lock_guard guard(self.mutex);
  if (!self.drawing) return self.fail(Status::noFrame, "publish() without beginFrame()");
  // The surface first, then the timestamp: the camera reads the files in that order, so a
  // new timestamp never goes out with the surface it replaced.
  std::string reason;
  if (!self.write(kSurfaceIDFileName, encodeSurfaceID(self.slots[*self.drawing].surface.id()), reason)) {
    return self.fail(Status::writeFailed, reason);
  }
  if (self.named) self.slots[*self.named].releasedAt = self.clock->monotonic();
  self.named = std::exchange(self.drawing, std::nullopt);
  return self.stampPicture();
}

Status Publisher::republish() {
  Impl& self = *impl_;
  const std::lock_guard guard(self.mutex);
  if (!self.named) return self.fail(Status::noFrame, "republish() before the first publish()");
  return self.stampPicture();
}

Status Publisher::setHoldTime(std::chrono::nanoseconds holdTime) {
  if (holdTime.count() < 0) return impl_->fail(Status::invalidArgument, "negative hold time");
  const std::lock_guard guard(impl_->mutex);
  impl_->holdTime = holdTime;
  return Status::ok;
}

Publisher::Cue Publisher::nextCue(std::chrono::nanoseconds drawTime) {
  const std::lock_guard guard(impl_->mutex);
  impl_->lastCue = impl_->cue(std::max(drawTime, std::chrono::nanoseconds::zero()));
  return *impl_->lastCue;
}

Status Publisher::waitForCue(std::chrono::nanoseconds drawTime, std::chrono::nanoseconds timeout) {
  Impl& self = *impl_;
  std::optional<Cue> next;
  std::chrono::nanoseconds deadline{};
  {
    const std::lock_guard guard(self.mutex);
    deadline = self.clock->monotonic() + std::max(timeout, std::chrono::nanoseconds::zero());
    next = self.cue(std::max(drawTime, std::chrono::nanoseconds::zero()));
    if (next->start <= deadline) self.lastCue = next;
  }
  // Not under the lock: the watcher goes on seeing reads meanwhile.
  if (next->start > deadline) {
    self.clock->sleepUntil(deadline);
    return Status::timedOut;
  }
  self.clock->sleepUntil(next->start);
  return next->status;
}

Status Publisher::setFrameRate(double framesPerSecond) {
  if (!isValidFrameRate(framesPerSecond)) {
    return impl_->fail(Status::invalidArgument, "frame rate must be above 0 and at most 1000");
  }
  const std::lock_guard guard(impl_->mutex);
  impl_->frameInterval = frameInterval(framesPerSecond);
  return Status::ok;
}

const std::string& Publisher::keepAliveProblem() const { return impl_->keepAliveProblem; }
const std::string& Publisher::keepAlivePriority() const { return impl_->keepAlivePriority; }

bool Publisher::watched() const {
  const std::lock_guard guard(impl_->mutex);
  return impl_->lastReadAt && impl_->clock->monotonic() - *impl_->lastReadAt <= kWatchedWindow;
}

std::uint64_t Publisher::frameFileReads() const {
  const std::lock_guard guard(impl_->mutex);
  return impl_->reads;
}

const std::string& Publisher::appGroupID() const { return impl_->group; }
const std::filesystem::path& Publisher::container() const { return impl_->container; }
const Error& Publisher::lastError() const { return impl_->lastError; }

double Publisher::lastTimestamp() const {
  const std::lock_guard guard(impl_->mutex);
  return impl_->lastTimestamp;
}

std::uint32_t Publisher::publishedSurfaceID() const {
  const std::lock_guard guard(impl_->mutex);
  return impl_->named ? impl_->slots[*impl_->named].surface.id() : 0;
}

std::vector<std::uint32_t> Publisher::surfaceIDs() const {
  const std::lock_guard guard(impl_->mutex);
  std::vector<std::uint32_t> ids;
  for (const auto& slot : impl_->slots) ids.push_back(slot.surface.id());
  return ids;
}

}  // namespace kolv::companion
