// kolv_fill_floor: the least a PipeWire producer of the camera's grey stream can do, as the
// floor for bench/pipewire_bench.sh. One 1280x720 'BGRA' 30/1 driver node, negotiated with the
// camera's own parameters; a 30 Hz timer on PipeWire's own loop thread takes a free buffer,
// sets every byte to 0x40 with one memset, queues it and starts the graph cycle. No other
// thread, no file, no pool, no hand-over between threads: what is left of the camera's cost
// over this one is its own. Runs until SIGINT or SIGTERM.
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>

#include <pthread.h>
#include <array>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/pipewire/pw_handles.h"
#include "platform/pipewire/video_params.h"

namespace {

using namespace kolv::pipewire;

// Everything lives on the PipeWire loop thread once the loop runs.
struct Producer {
  pw_thread_loop* threadLoop = nullptr;
  pw_stream* stream = nullptr;
  std::optional<BufferLayout> layout;
  std::uint64_t sequence = 0;
  std::uint64_t sent = 0;
  std::uint64_t missed = 0;  // ticks that found no free buffer
  bool streaming = false;
};

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto& self = *static_cast<Producer*>(data);
  if (id != SPA_PARAM_Format || !param) return;
  spa_video_info_raw info{};
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || spa_format_video_raw_parse(param, &info) < 0) return;
  self.layout = bufferLayoutFor(info);
  if (!self.layout) return;
  std::array<std::uint8_t, 1024> memory{};
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, memory.data(), memory.size());
  std::array<const spa_pod*, 2> params{buildBuffersParam(builder, *self.layout), buildHeaderMetaParam(builder)};
  pw_stream_update_params(self.stream, params.data(), params.size());
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto& self = *static_cast<Producer*>(data);
  self.streaming = state == PW_STREAM_STATE_STREAMING;
  if (state == PW_STREAM_STATE_ERROR) std::fprintf(stderr, "kolv_fill_floor: %s\n", error ? error : "stream error");
}

void onTick(void* data, std::uint64_t) {
  auto& self = *static_cast<Producer*>(data);
  if (!self.streaming || !self.layout) return;
  pw_buffer* buffer = pw_stream_dequeue_buffer(self.stream);
  if (!buffer) {
    ++self.missed;
    return;
  }
  spa_data& plane = buffer->buffer->datas[0];
  if (plane.data) std::memset(plane.data, 0x40, self.layout->size);
  plane.chunk->offset = 0;
  plane.chunk->stride = static_cast<std::int32_t>(self.layout->stride);
  plane.chunk->size = self.layout->size;
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    header->flags = 0;
    header->pts = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
    header->seq = self.sequence++;
  }
  pw_stream_queue_buffer(self.stream, buffer);
  pw_stream_trigger_process(self.stream);
  ++self.sent;
}

const pw_stream_events kEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = &onStateChanged,
    .control_info = nullptr,
    .io_changed = nullptr,
    .param_changed = &onParamChanged,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = nullptr,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

int usage(const char* program, int status) {
  std::fprintf(status ? stderr : stdout,
               "usage: %s [--name NODE]\n"
               "Publishes a 1280x720 BGRA 30/1 PipeWire video source (node NODE, default kolv-fill-floor)\n"
               "whose every frame is one memset of 0x40 into a free PipeWire buffer, timed on PipeWire's\n"
               "own loop: the floor for the camera's grey frames in bench/pipewire_bench.sh. Runs until\n"
               "SIGINT or SIGTERM, then prints the frames sent.\n",
               program);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = "kolv-fill-floor";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") return usage(argv[0], 0);
    if (argument == "--name" && i + 1 < argc) {
      name = argv[++i];
      continue;
    }
    std::fprintf(stderr, "kolv_fill_floor: unknown argument '%s'\n", argv[i]);
    return usage(argv[0], 2);
  }

  // SIGINT and SIGTERM stay blocked in every thread; main waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Library library;
  Producer producer;
  ThreadLoop threadLoop{pw_thread_loop_new("kolv-fill-floor", nullptr)};
  if (!threadLoop) return std::perror("kolv_fill_floor: pw_thread_loop_new"), 1;
  producer.threadLoop = threadLoop.get();
  pw_loop* loop = pw_thread_loop_get_loop(threadLoop.get());
  // The same context configuration as the camera's: a real-time data thread where permitted.
  Context context{pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0)};
  if (!context) return std::perror("kolv_fill_floor: pw_context_new"), 1;
  LoopSource timer(loop, pw_loop_add_timer(loop, &onTick, &producer));
  if (pw_thread_loop_start(threadLoop.get()) < 0) return std::fputs("kolv_fill_floor: cannot start\n", stderr), 1;

  Core core;
  Stream stream;
  Listener listener;
  {
    ThreadLoopLock lock(threadLoop.get());
    core.reset(pw_context_connect(context.get(), nullptr, 0));
    if (!core) return std::perror("kolv_fill_floor: cannot connect to PipeWire"), 1;
    stream.reset(pw_stream_new(core.get(), name.c_str(),
                               pw_properties_new(PW_KEY_NODE_NAME, name.c_str(), PW_KEY_MEDIA_CLASS, "Video/Source",
                                                 PW_KEY_MEDIA_ROLE, "Camera", nullptr)));
    if (!stream) return std::perror("kolv_fill_floor: pw_stream_new"), 1;
    producer.stream = stream.get();
    pw_stream_add_listener(stream.get(), listener.prepare(), &kEvents, &producer);
    const VideoFormat format{
        *pixelFormatForVideoFormat(SPA_VIDEO_FORMAT_BGRA), 1280, 720, {30, 1}, {30, 1}, {30, 1}, {}};
    std::array<std::uint8_t, 1024> memory{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, memory.data(), memory.size());
    const spa_pod* params[] = {buildEnumFormat(builder, format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(stream.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
      return std::fputs("kolv_fill_floor: PipeWire refused the node\n", stderr), 1;
    }
    timespec interval{0, 1'000'000'000 / 30};
    pw_loop_update_timer(loop, timer.get(), &interval, &interval, false);
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);

  {
    ThreadLoopLock lock(threadLoop.get());
    std::printf("kolv_fill_floor: %llu frames sent, %llu ticks without a free buffer\n",
                static_cast<unsigned long long>(producer.sent), static_cast<unsigned long long>(producer.missed));
    listener.reset();
    stream.reset();
    core.reset();
    timer.reset();
  }
  pw_thread_loop_stop(threadLoop.get());
  return 0;
}
