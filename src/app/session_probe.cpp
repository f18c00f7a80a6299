#include "app/session_probe.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/pipewire/pw_handles.h"

namespace kolv {

using namespace pipewire;
namespace {

using MainLoop = std::unique_ptr<pw_main_loop, HandleDeleter<&pw_main_loop_destroy>>;
void destroyProxy(pw_registry* registry) { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry)); }
void destroyProxy(pw_node* node) { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node)); }
using Registry = std::unique_ptr<pw_registry, HandleDeleter<static_cast<void (*)(pw_registry*)>(&destroyProxy)>>;
using NodeProxy = std::unique_ptr<pw_node, HandleDeleter<static_cast<void (*)(pw_node*)>(&destroyProxy)>>;

// One probe: the loop, what has been seen so far, and the sync that ends each round. Lives on
// the calling thread, inside probeSession.
struct Probe {
  std::string nodeName;
  pw_main_loop* loop = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  NodeProxy node;
  Listener nodeListener;
  int pendingSync = 0;
  bool waitingForNode = false;
  SessionReport report;

  void quit() { pw_main_loop_quit(loop); }

  static void onCoreInfo(void* data, const pw_core_info* info) {
    auto* probe = static_cast<Probe*>(data);
    if (info->version) probe->report.serverVersion = info->version;
  }

  static void onCoreDone(void* data, uint32_t id, int seq) {
    auto* probe = static_cast<Probe*>(data);
    if (id != PW_ID_CORE || seq != probe->pendingSync) return;
    // The first round lists the globals and binds the node; the second brings its info.
    if (probe->waitingForNode) {
      probe->waitingForNode = false;
      probe->pendingSync = pw_core_sync(probe->core, PW_ID_CORE, 0);
      return;
    }
    probe->report.complete = true;
    probe->quit();
  }

  static void onCoreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
    auto* probe = static_cast<Probe*>(data);
    if (id != PW_ID_CORE) return;
    probe->report.error = std::string(spa_strerror(res)) + (message ? std::string(": ") + message : "");
    if (res == -EPIPE) probe->report.reachable = false;
    probe->quit();
  }

  static void onGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t /*version*/,
                       const spa_dict* props) {
    auto* probe = static_cast<Probe*>(data);
    if (props == nullptr) return;
    const std::string_view kind(type);
    if (kind == PW_TYPE_INTERFACE_Client) {
      const char* name = spa_dict_lookup(props, PW_KEY_APP_NAME);
      if (name && std::string_view(name) == "WirePlumber") probe->report.wirePlumberClient = true;
    } else if (kind == PW_TYPE_INTERFACE_Metadata) {
      const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
      if (name && std::string_view(name) == "default") probe->report.defaultMetadata = true;
    } else if (kind == PW_TYPE_INTERFACE_Node) {
      const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
      if (!name || name != probe->nodeName || probe->node) return;
      probe->report.nodePresent = true;
      probe->node.reset(
          static_cast<pw_node*>(pw_registry_bind(probe->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0)));
      if (!probe->node) return;
      static const pw_node_events nodeEvents = {
          .version = PW_VERSION_NODE_EVENTS,
          .info = &Probe::onNodeInfo,
          .param = nullptr,
      };
      pw_node_add_listener(probe->node.get(), probe->nodeListener.prepare(), &nodeEvents, probe);
      probe->waitingForNode = true;
    }
  }

  static void onNodeInfo(void* data, const pw_node_info* info) {
    auto* probe = static_cast<Probe*>(data);
    probe->report.nodeState = pw_node_state_as_string(info->state);
  }

  static void onTimeout(void* data, uint64_t /*expirations*/) {
    auto* probe = static_cast<Probe*>(data);
    if (probe->report.error.empty()) probe->report.error = "no answer in time";
    probe->quit();
  }
};

}  // namespace

SessionReport probeSession(const std::string& nodeName, std::chrono::milliseconds timeout) {
  const Library library;
  Probe probe;
  probe.nodeName = nodeName;
  MainLoop loop{pw_main_loop_new(nullptr)};
  if (!loop) {
    probe.report.error = std::string("cannot create a loop: ") + std::strerror(errno);
    return probe.report;
  }
  probe.loop = loop.get();
  pw_loop* innerLoop = pw_main_loop_get_loop(loop.get());
  Context context{pw_context_new(innerLoop, nullptr, 0)};
  if (!context) {
    probe.report.error = std::string("cannot create a context: ") + std::strerror(errno);
    return probe.report;
  }
  LoopSource timer(innerLoop, pw_loop_add_timer(innerLoop, &Probe::onTimeout, &probe));
  if (!timer) {
    probe.report.error = std::string("cannot create a timer: ") + std::strerror(errno);
    return probe.report;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec expiry{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
  pw_loop_update_timer(innerLoop, timer.get(), &expiry, nullptr, false);

  Core core{pw_context_connect(context.get(), nullptr, 0)};
  if (!core) {
    probe.report.error = std::strerror(errno);
    return probe.report;
  }
  probe.report.reachable = true;
  probe.core = core.get();
  Listener coreListener;
  static const pw_core_events coreEvents = {
      .version = PW_VERSION_CORE_EVENTS,
      .info = &Probe::onCoreInfo,
      .done = &Probe::onCoreDone,
      .ping = nullptr,
      .error = &Probe::onCoreError,
      .remove_id = nullptr,
      .bound_id = nullptr,
      .add_mem = nullptr,
      .remove_mem = nullptr,
  };
  pw_core_add_listener(core.get(), coreListener.prepare(), &coreEvents, &probe);

  Registry registry{pw_core_get_registry(core.get(), PW_VERSION_REGISTRY, 0)};
  if (!registry) {
    probe.report.error = std::string("cannot list objects: ") + std::strerror(errno);
    return probe.report;
  }
  probe.registry = registry.get();
  Listener registryListener;
  static const pw_registry_events registryEvents = {
      .version = PW_VERSION_REGISTRY_EVENTS,
      .global = &Probe::onGlobal,
      .global_remove = nullptr,
  };
  pw_registry_add_listener(registry.get(), registryListener.prepare(), &registryEvents, &probe);
  probe.pendingSync = pw_core_sync(core.get(), PW_ID_CORE, 0);

  pw_main_loop_run(loop.get());

  // Listeners go before the proxies they listen to, the proxies before the core.
  probe.nodeListener.reset();
  probe.node.reset();
  registryListener.reset();
  registry.reset();
  coreListener.reset();
  core.reset();
  timer.reset();
  return probe.report;
}

}  // namespace kolv
