// kolv-camera: the camera process on Linux. Composes the platform (Linux services, and one
// camera host over the outputs: the PipeWire node) and hands it to the camera's entry. Runs on
// the main thread. A further output is built here and added to the host's list.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

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
#include "service/extension_main.h"

namespace {

constexpr const char* kUsage =
    "Usage: kolv-camera [--help | --version | --check]\n"
    "\n"
    "Publishes \"Kolv Camera\" as a PipeWire camera (1280x720 BGRA, 30 frames a second)\n"
    "until it receives SIGINT, SIGTERM or SIGHUP. Pictures come from the companion application\n"
    "through its hand-off files; without them the camera sends grey frames.\n"
    "Log lines go to the system log, and to standard error unless that is the journal.\n"
    "\n"
    "  --check    check PipeWire, WirePlumber, the camera node, the Camera portal and the\n"
    "             companion's hand-off, one line each with a fix for what fails; exits 1\n"
    "             when something fails\n";

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
  kolv::PipeWireOutput pipeWire(log);
  kolv::output::OutputsHost host(log, {pipeWire});
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
