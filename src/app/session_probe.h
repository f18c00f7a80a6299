// A look at the PipeWire session from outside, for `kolv-camera --check`: whether the daemon
// answers, whether a session manager runs, and the state of a node by name.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kolv {

struct SessionReport {
  bool reachable = false;
  std::string error;               // why the daemon could not be asked, when not reachable
  std::string serverVersion;       // of the daemon, when reachable
  bool wirePlumberClient = false;  // a client whose application.name is "WirePlumber"
  bool defaultMetadata = false;    // the "default" metadata that a session manager keeps
  bool nodePresent = false;
  std::string nodeState;  // "running", "idle", "suspended", ...; empty when unknown
  bool complete = false;  // every answer came within the time allowed
};

// Connects to the PipeWire daemon of this user (PIPEWIRE_REMOTE, XDG_RUNTIME_DIR), lists its
// objects and, when a node named `nodeName` is there, reads its state. Gives up after
// `timeout`. Runs its own loop on the calling thread; call from one thread at a time.
SessionReport probeSession(const std::string& nodeName, std::chrono::milliseconds timeout);

}  // namespace kolv
