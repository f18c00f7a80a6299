// kolv-publish: a command-line companion that publishes pictures to Kolv Camera: a test
// pattern, a still image or raw frames from a pipe. Runs on the main thread only.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "handoff/unique_fd.h"
#include "image_picture.h"
#include "kolv/companion.h"
#include "test_pattern.h"

namespace {

namespace companion = kolv::companion;
using kolv::UniqueFD;

constexpr std::uint32_t kWidth = companion::kDefaultWidth;
constexpr std::uint32_t kHeight = companion::kDefaultHeight;
constexpr std::size_t kRawFrameBytes = std::size_t{kWidth} * kHeight * 4;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// How long a generated or piped picture stays live without the next one: a source that
// hangs then shows grey rather than a frozen picture. A still image is held until the end.
constexpr std::chrono::seconds kHoldTime{1};

enum ExitCode { kExitOK = 0, kExitFailure = 1, kExitUsage = 2 };

struct Arguments {
  bool pattern = false;
  std::string image;
  std::string raw;
  int fps = 30;
  std::string group;
  std::string infoPlist;
  std::uint64_t frames = 0;  // 0: no limit
  double seconds = 0;        // 0: no limit
  bool quiet = false;
  bool freeRunning = false;
};

// One line on standard error, prefixed with the program's name.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("kolv-publish: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}

std::int64_t monotonicNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * kNanosecondsPerSecond + now.tv_nsec;
}

// SIGINT and SIGTERM as a readable descriptor, so that waits for the next frame or for
// input end as soon as one arrives. Lives on the main thread.
class StopSignals {
 public:
  StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    fd_ = UniqueFD(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  }
  bool valid() const { return fd_.isValid(); }
  bool stopped() const { return stopped_; }

  // Waits until `deadline` (monotonic ns) or, with `input` >= 0, until it is readable.
  // False when a stop signal came first.
  bool wait(std::int64_t deadline, int input = -1) {
    for (;;) {
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {input, POLLIN, 0}};
      timespec timeout{};
      timespec* timeoutPointer = nullptr;
      if (deadline >= 0) {
        const std::int64_t left = deadline - monotonicNow();
        if (left <= 0 && input < 0) return !checkSignal();
        timeout = {static_cast<time_t>(std::max<std::int64_t>(left, 0) / kNanosecondsPerSecond),
                   static_cast<long>(std::max<std::int64_t>(left, 0) % kNanosecondsPerSecond)};
        timeoutPointer = &timeout;
      }
      const int ready = ::ppoll(fds, input >= 0 ? 2 : 1, timeoutPointer, nullptr);
      if (ready < 0 && errno == EINTR) continue;
      if (checkSignal()) return false;
      if (ready <= 0 || input < 0 || fds[1].revents != 0) return true;
    }
  }

 private:
  bool checkSignal() {
    signalfd_siginfo info{};
    if (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stopped_ = true;
    return stopped_;
  }

  UniqueFD fd_;
  bool stopped_ = false;
};

// Where the pictures come from; opened and read on the main thread.
struct Source {
  std::optional<std::vector<std::byte>> image;
  UniqueFD raw;
};

enum class ReadResult { frame, end, stopped, failed };

// One whole frame from `fd` into `into`. A frame cut short by the end of input is an error.
ReadResult readRawFrame(int fd, std::span<std::byte> into, StopSignals& signals) {
  std::size_t filled = 0;
  while (filled < into.size()) {
    if (!signals.wait(-1, fd)) return ReadResult::stopped;
    const ssize_t count = ::read(fd, into.data() + filled, into.size() - filled);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count < 0) {
      say("cannot read raw frames: %s", std::strerror(errno));
      return ReadResult::failed;
    }
    if (count == 0) {
      if (filled == 0) return ReadResult::end;
      say("short frame on input: %zu of %zu bytes (frames are 1280x720 BGRA)", filled, into.size());
      return ReadResult::failed;
    }
    filled += static_cast<std::size_t>(count);
  }
  return ReadResult::frame;
}

// The camera's Info.plist when this program is installed beside it
// (<prefix>/share/kolv-camera/Info.plist) or built beside a copy of it.
std::optional<std::filesystem::path> infoPlistBesideProgram() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  const auto folder = executable.parent_path();
  for (const auto& candidate : {folder / ".." / "share" / "kolv-camera" / "Info.plist", folder / "Info.plist"}) {
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

// Parses the command line; an exit code when the program is to end at once.
std::optional<int> parseArguments(int argc, char** argv, Arguments& arguments) {
  CLI::App app{
      "Publishes pictures to Kolv Camera: an animated test pattern, a PNG or JPEG image, or raw\n"
      "1280x720 BGRA frames, at a steady rate, until stopped (Ctrl-C) or a limit is reached.",
      "kolv-publish"};
  app.add_flag("--pattern", arguments.pattern, "Animated test pattern: frame number and time, also machine-readable");
  app.add_option("--image", arguments.image, "PNG or JPEG image, scaled to fit 1280x720")->option_text("FILE");
  app.add_option("--raw", arguments.raw, "Raw BGRA 1280x720 frames from FILE, or - for standard input")
      ->option_text("FILE");
  app.add_option("--fps", arguments.fps, "Pictures per second, 1 to 120 (default 30)")
      ->check(CLI::Range(1, 120))
      ->option_text("N");
  const auto* group =
      app.add_option("--group", arguments.group,
                     std::string("App group (default: the camera's, else ") + companion::kFallbackAppGroupID + ")")
          ->option_text("ID");
  app.add_option("--info-plist", arguments.infoPlist, "Take the app group from this Info.plist")
      ->option_text("PATH")
      ->excludes("--group");
  const CLI::Validator positive(
      [](std::string& value) {
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        return end != value.c_str() && *end == '\0' && number > 0 ? std::string() : "must be a number above 0";
      },
      "", "positive");
  app.add_option("--frames", arguments.frames, "Stop after N pictures")->check(positive)->option_text("N");
  app.add_option("--seconds", arguments.seconds, "Stop after S seconds")->check(positive)->option_text("S");
  app.add_flag("--quiet", arguments.quiet, "No status line");
  app.add_flag("--free-running", arguments.freeRunning,
               "Draw on kolv-publish's own clock, not just before each of the camera's reads");
  app.footer("Example: ffmpeg -i talk.mp4 -f rawvideo -pix_fmt bgra -s 1280x720 - | kolv-publish --raw -\n");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    say("%s (see --help)", error.what());
    return kExitUsage;
  }
  if (group->count() > 0 && arguments.group.empty()) {
    say("--group: the app group must not be empty (see --help)");
    return kExitUsage;
  }
  const int sources = (arguments.pattern ? 1 : 0) + (arguments.image.empty() ? 0 : 1) + (arguments.raw.empty() ? 0 : 1);
  if (sources != 1) {
    say("choose one of --pattern, --image FILE or --raw FILE (see --help)");
    return kExitUsage;
  }
  return std::nullopt;
}

// Opens the picture source before anything is published, so that bad input changes nothing.
std::optional<Source> openSource(const Arguments& arguments) {
  Source source;
  if (!arguments.image.empty()) {
    std::string error;
    source.image = kolv::tools::loadFittedPicture(arguments.image, kWidth, kHeight, error);
    if (!source.image) {
      say("%s", error.c_str());
      return std::nullopt;
    }
  } else if (!arguments.raw.empty()) {
    if (arguments.raw == "-") {
      if (::isatty(STDIN_FILENO)) {
        say("standard input is a terminal; pipe raw frames in (see --help)");
        return std::nullopt;
      }
      source.raw = UniqueFD(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    } else {
      source.raw = UniqueFD(::open(arguments.raw.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (!source.raw) {
      say("cannot open '%s': %s", arguments.raw.c_str(), std::strerror(errno));
      return std::nullopt;
    }
  }
  return source;
}

std::optional<companion::Publisher> openPublisher(const Arguments& arguments) {
  companion::Options options;
  options.holdTime = arguments.image.empty() ? kHoldTime : std::chrono::nanoseconds(0);
  options.frameRate = arguments.fps;
  if (!arguments.group.empty()) {
    options.appGroupID = arguments.group;
  } else if (!arguments.infoPlist.empty()) {
    options.infoPlist = arguments.infoPlist;
  } else if (auto besideUs = infoPlistBesideProgram()) {
    // Read like the camera reads its own: an unusable file means the fallback group.
    options.appGroupID = companion::resolveAppGroupID(*besideUs);
  }
  companion::Error error;
  auto publisher = companion::Publisher::open(options, &error);
  if (!publisher) {
    say("%s", error.message().c_str());
  } else if (!publisher->keepAliveProblem().empty()) {
    say("warning: grey frames may come between pictures: %s", publisher->keepAliveProblem().c_str());
  } else if (!arguments.quiet) {
    say("keeping pictures live on a thread at %s", publisher->keepAlivePriority().c_str());
  }
  return publisher;
}

// Pictures published and dropped, and the status line. Lives on the main thread.
class Counters {
 public:
  explicit Counters(bool quiet, std::int64_t start) : quiet_(quiet), nextReport_(start + kNanosecondsPerSecond) {}
  void published() { ++published_; }
  void dropped(std::uint64_t count = 1) { dropped_ += count; }
  std::uint64_t publishedCount() const { return published_; }
  std::int64_t nextReport() const { return nextReport_; }

  // The status line, once a second; "watched" while the camera streams the picture.
  void report(std::int64_t now, bool watched) {
    if (now < nextReport_) return;
    nextReport_ += ((now - nextReport_) / kNanosecondsPerSecond + 1) * kNanosecondsPerSecond;
    if (!quiet_)
      say("%llu published, %llu dropped, %s", count(published_), count(dropped_), watched ? "watched" : "idle");
  }
  void final(const char* why) const {
    say("%s: %llu published, %llu dropped", why, count(published_), count(dropped_));
  }

 private:
  static unsigned long long count(std::uint64_t value) { return static_cast<unsigned long long>(value); }

  bool quiet_;
  std::int64_t nextReport_;
  std::uint64_t published_ = 0;
  std::uint64_t dropped_ = 0;
};

// --image after its one publish(): the library keeps the picture live, so this only wakes
// for the status line until a stop signal or the end of --seconds (or of --frames frame
// intervals).
void holdImage(const Arguments& arguments, std::int64_t start, companion::Publisher& publisher, Counters& counters,
               StopSignals& signals) {
  std::int64_t end = arguments.seconds > 0 ? start + static_cast<std::int64_t>(arguments.seconds * 1e9) : -1;
  if (arguments.frames > 0) {
    const auto byFrames = start + static_cast<std::int64_t>(arguments.frames) * kNanosecondsPerSecond / arguments.fps;
    end = end < 0 ? byFrames : std::min(end, byFrames);
  }
  for (;;) {
    const std::int64_t wake = end >= 0 ? std::min(end, counters.nextReport()) : counters.nextReport();
    if (!signals.wait(wake)) return;
    const std::int64_t now = monotonicNow();
    if (end >= 0 && now >= end) return;
    counters.report(now, publisher.watched());
  }
}

// How long drawing (or reading) a picture takes: the third longest of the last 30 and 1 ms
// (on a busy machine the longest are outliers that would make every picture early), within 1
// to 20 ms, so that a cued picture is ready before the camera's read. Main thread.
class DrawTime {
 public:
  void add(std::int64_t nanoseconds) { recent_[next_++ % recent_.size()] = nanoseconds; }
  std::chrono::nanoseconds estimate() const {
    std::array<std::int64_t, 30> sorted = recent_;
    std::nth_element(sorted.begin(), sorted.begin() + 2, sorted.end(), std::greater<>());
    const std::int64_t longest = sorted[2] + 1'000'000;
    return std::chrono::nanoseconds(std::clamp<std::int64_t>(longest, 1'000'000, 20'000'000));
  }

 private:
  std::array<std::int64_t, 30> recent_{5'000'000};
  std::size_t next_ = 0;
};

int publish(const Arguments& arguments, Source& source, companion::Publisher& publisher, StopSignals& signals) {
  const std::int64_t start = monotonicNow();
  const std::int64_t stopAt = arguments.seconds > 0 ? start + static_cast<std::int64_t>(arguments.seconds * 1e9) : -1;
  auto deadline = [&](std::int64_t tick) { return start + tick * kNanosecondsPerSecond / arguments.fps; };
  Counters counters(arguments.quiet, start);
  const bool fromRaw = source.raw.isValid();
  DrawTime drawTime;

  for (std::int64_t tick = 0;; ++tick) {
    if (arguments.frames > 0 && counters.publishedCount() >= arguments.frames) break;
    if (stopAt >= 0 && deadline(tick) >= stopAt) break;
    std::int64_t due = deadline(tick);
    // While the camera reads, on its cue: drawn just before its next read rather than up
    // to a tick before. The tick is then the one of the schedule nearest that read.
    if (!arguments.freeRunning && !source.image && publisher.watched()) {
      const auto cue = publisher.nextCue(drawTime.estimate());
      due = cue.start.count();
      if (cue.read) {
        const std::int64_t atRead =
            ((cue.read->count() - start) * arguments.fps + kNanosecondsPerSecond / 2) / kNanosecondsPerSecond;
        if (atRead > tick) {
          if (!fromRaw) counters.dropped(static_cast<std::uint64_t>(atRead - tick - 1));
          tick = atRead;
        }
      }
    }
    if (stopAt >= 0 && due >= stopAt) break;
    if (!signals.wait(due)) break;
    const std::int64_t now = monotonicNow();
    counters.report(now, publisher.watched());
    // Behind by whole frames: skip them. Generated pictures count those as dropped; raw
    // input was just slow to come.
    if (const std::int64_t behind = (now - std::max(due, deadline(tick))) * arguments.fps / kNanosecondsPerSecond;
        behind > 0) {
      if (!fromRaw) counters.dropped(static_cast<std::uint64_t>(behind));
      tick += behind;
    }

    const std::int64_t drawStart = monotonicNow();
    const auto canvas = publisher.beginFrame();
    if (!canvas) {
      counters.dropped();
      continue;
    }
    const kolv::pattern::Picture picture{canvas->pixels, canvas->width, canvas->height, canvas->bytesPerRow};
    if (fromRaw) {
      const ReadResult result = readRawFrame(source.raw.get(), canvas->pixels.first(kRawFrameBytes), signals);
      if (result == ReadResult::failed) return kExitFailure;
      if (result != ReadResult::frame) break;
    } else if (source.image) {
      std::memcpy(canvas->pixels.data(), source.image->data(), kRawFrameBytes);
    } else {
      const auto frameNumber = static_cast<std::uint32_t>(tick);
      kolv::pattern::drawBody(picture, frameNumber, std::chrono::milliseconds((now - start) / 1'000'000));
      kolv::pattern::drawStamps(picture, {frameNumber, static_cast<std::uint64_t>(monotonicNow())});
    }
    if (publisher.publish() != companion::Status::ok) {
      say("%s", publisher.lastError().message().c_str());
      return kExitFailure;
    }
    counters.published();
    drawTime.add(monotonicNow() - drawStart);
    if (source.image) {
      holdImage(arguments, start, publisher, counters, signals);
      break;
    }
  }
  counters.final(signals.stopped() ? "stopped" : "done");
  return kExitOK;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (auto exitCode = parseArguments(argc, argv, arguments)) return *exitCode;
  StopSignals signals;
  if (!signals.valid()) {
    say("cannot watch for signals: %s", std::strerror(errno));
    return kExitFailure;
  }
  auto source = openSource(arguments);
  if (!source) return kExitFailure;
  auto publisher = openPublisher(arguments);
  if (!publisher) return kExitFailure;
  if (!arguments.quiet) {
    if (source->image) {
      say("publishing an image, held until stopped, to app group %s (%s)", publisher->appGroupID().c_str(),
          publisher->container().c_str());
    } else {
      say("publishing %s at %d frames a second to app group %s (%s)",
          arguments.pattern ? "the test pattern" : "raw frames", arguments.fps, publisher->appGroupID().c_str(),
          publisher->container().c_str());
    }
  }
  // The publisher goes out of scope on return: its surfaces are released and the camera
  // falls back to its grey frame.
  return publish(arguments, *source, *publisher, signals);
}
