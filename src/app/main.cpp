// kolv-camera: the camera process on Linux. Composes the platform (Linux services, and one
// camera host over the outputs: the PipeWire node and the V4L2 loopback device) and hands it to
// the camera's entry. Runs on the main thread. A further output is built here and added to the
// host's list.
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/check.h"
#include "handoff/app_group.h"
#include "handoff/companion_lock.h"
#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/dispatch_linux.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/info_plist_bundle.h"
#include "platform/linux/media_linux.h"
#include "platform/linux/signal_run_loop.h"
#include "platform/linux/syslog_log.h"
#include "platform/output/outputs_host.h"
#include "platform/pipewire/pipewire_output.h"
#include "platform/v4l2loopback/loopback_output.h"
#include "service/extension_main.h"

namespace {

constexpr const char* kUsage =
    "Usage: kolv-camera [--help | --version | --check]\n"
    "\n"
    "Publishes \"Kolv Camera\" as a PipeWire camera (1280x720 BGRA, 30 frames a second;\n"
    "also YUY2, NV12 and I420 for consumers that ask for them)\n"
    "until it receives SIGINT, SIGTERM or SIGHUP. Pictures come from the companion application\n"
    "through its hand-off files; without them the camera sends grey frames.\n"
    "It also writes the camera into the v4l2loopback device labelled \"Kolv Camera\" when\n"
    "there is one, for V4L2 applications.\n"
    "Log lines go to the system log, and to standard error unless that is the journal.\n"
    "\n"
    "  --check    check PipeWire, WirePlumber, the camera node, the Camera portal and the\n"
    "             companion's hand-off, one line each with a fix for what fails; exits 1\n"
    "             when something fails\n"
    "\n"
    "Environment:\n"
    "  KOLV_V4L2_DEVICE       the v4l2loopback device to write: a node (/dev/video10) or a\n"
    "                         card label (default \"Kolv Camera\"); \"off\": no V4L2 output\n"
    "  KOLV_V4L2_FORMAT       YUYV (default), I420, NV12 or BGRA\n"
    "  KOLV_PIPEWIRE_FORMATS  all (default) or BGRA: PipeWire consumers share the format the\n"
    "                         first one chose; one that takes only another cannot join it\n";

// True when standard error is the journal stream systemd gave this process, which already
// receives the system log's lines.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat info {};
  if (!stream || fstat(STDERR_FILENO, &info) != 0) return false;
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) == stream;
}

// The main run loop, followed by the host shutting its outputs down: when the camera is
// released after the loop, no consumer can still be streaming from it and its last stop request
// has been made. Main thread.
class ServiceRunLoop final : public kolv::RunLoop {
 public:
  ServiceRunLoop(kolv::SignalRunLoop& loop, kolv::output::OutputsHost& host) : loop_(loop), host_(host) {}
  void run() override {
    loop_.run();
    host_.shutdown();
  }

 private:
  kolv::SignalRunLoop& loop_;
  kolv::output::OutputsHost& host_;
};

// The V4L2 output's settings from the environment; nothing when it is turned off. A setting
// that makes no sense is one line on standard error, and the output keeps its default.
std::optional<kolv::v4l2loopback::LoopbackOutputOptions> v4l2Options(kolv::OSLog& log) {
  kolv::v4l2loopback::LoopbackOutputOptions options;
  if (const char* device = std::getenv("KOLV_V4L2_DEVICE"); device && *device) {
    if (std::strcmp(device, "off") == 0) return std::nullopt;
    options.writer.device = device;
  }
  if (const char* format = std::getenv("KOLV_V4L2_FORMAT"); format && *format) {
    if (auto parsed = kolv::v4l2loopback::parseLoopbackFormat(format)) {
      options.writer.format = *parsed;
    } else {
      kolv::os_log_with_type(log, kolv::OSLogType::error,
                             "KOLV_V4L2_FORMAT=%s is not one of YUYV, I420, NV12 and BGRA; writing YUYV", format);
    }
  }
  return options;
}

// The PipeWire output's settings from the environment, like v4l2Options().
kolv::PipeWireOutputOptions pipeWireOptions(kolv::OSLog& log) {
  kolv::PipeWireOutputOptions options;
  if (const char* formats = std::getenv("KOLV_PIPEWIRE_FORMATS"); formats && *formats) {
    if (strcasecmp(formats, "BGRA") == 0) {
      options.yuvFormats = false;
    } else if (strcasecmp(formats, "all") != 0) {
      kolv::os_log_with_type(log, kolv::OSLogType::error,
                             "KOLV_PIPEWIRE_FORMATS=%s is not one of all and BGRA; offering all", formats);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  // --help, --version and --check leave SIGINT, SIGTERM and SIGHUP as they came, so that they
  // stop a check at once; the service blocks them below, for the run loop's signalfd.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--check") == 0) return kolv::runCheck(stdout);
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("kolv-camera %s\n", KOLV_VERSION);
      return 0;
    }
    std::fprintf(stderr, "kolv-camera: unknown argument '%s'\n%s", argv[i], kUsage);
    return 2;
  }
  // Before any thread starts, so that every thread inherits the mask.
  kolv::SignalRunLoop::blockTerminationSignals();

  kolv::SyslogLog log({.ident = "kolv-camera", .verbose = true, .echoToStderr = !stderrIsJournal()});
  auto clock = std::make_shared<kolv::MonotonicHostClock>();
  kolv::LinuxDispatch dispatch(&log);
  kolv::PipeWireOutput pipeWire(log, pipeWireOptions(log));
  std::vector<std::reference_wrapper<kolv::output::CameraOutput>> outputs{pipeWire};
  std::optional<kolv::v4l2loopback::LoopbackOutput> v4l2;
  if (auto options = v4l2Options(log)) outputs.emplace_back(v4l2.emplace(log, std::move(*options)));
  kolv::output::OutputsHost host(log, std::move(outputs));
  // Whether a companion publishes now, in the camera's app group (the same rules as --check):
  // a surface whose entry is gone then is a companion that stopped, not a fault.
  const std::optional<std::filesystem::path> container =
      kolv::AppGroupFileManager().containerURLForSecurityApplicationGroupIdentifier(
          kolv::handoff::resolveAppGroupID(kolv::InfoPlistBundleServices::ownInfoPlist()));
  kolv::LinuxMediaServices media(clock, log, kolv::defaultSurfaceRegistry(),
                                 [container] { return container && kolv::handoff::isCompanionPublishing(*container); });
  // The camera draws its frames straight into the PipeWire buffers that consumers map.
  media.supplyStreamBuffers(pipeWire.streamBuffers());
  kolv::InfoPlistBundleServices bundles(&log);
  kolv::AppGroupFileManager fileManager(log, kolv::companionHandOffFiles());
  kolv::SignalRunLoop signalRunLoop;
  ServiceRunLoop runLoop(signalRunLoop, host);

  kolv::Platform platform{host, media, dispatch, bundles, fileManager, log, runLoop};
  return kolv::kolvCameraExtensionMain(platform);
}
