// kolvsink: a GStreamer video sink that publishes each picture to Kolv Camera through the
// companion library. Its pool (surface_pool.h) lets upstream draw straight into the shared
// surfaces; pictures from elsewhere are copied once. At EOS, on an error and when the
// pipeline stops, the publisher is closed and the camera goes back to grey.
#include <gst/gst.h>
#include <gst/video/gstvideosink.h>
#include <gst/video/video.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "surface_pool.h"
#include "video_formats.h"

GST_DEBUG_CATEGORY_STATIC(kolv_sink_debug);
#define GST_CAT_DEFAULT kolv_sink_debug

namespace {

constexpr double kDefaultHoldSeconds = 1.0;

// The sink's settings and its current publisher. Thread: properties on the application's
// thread, the rest on the streaming thread and upstream's (propose_allocation), all under
// `mutex`.
struct SinkState {
  std::mutex mutex;
  std::string appGroup;
  double holdSeconds = kDefaultHoldSeconds;
  std::optional<GstVideoInfo> info;
  std::uint32_t pixelFormat = 0;
  std::shared_ptr<kolv::gst::SinkPublisher> current;
};

}  // namespace

// Thread: see SinkState.
struct KolvSink {
  GstVideoSink parent;
  SinkState* state;
};
struct KolvSinkClass {
  GstVideoSinkClass parent_class;
};

G_DEFINE_TYPE(KolvSink, kolv_sink, GST_TYPE_VIDEO_SINK)

namespace {

enum { PROP_0, PROP_APP_GROUP, PROP_HOLD_TIME };

KolvSink* asSink(gpointer object) { return reinterpret_cast<KolvSink*>(object); }

std::chrono::nanoseconds holdTime(double seconds) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(seconds * 1e9)));
}

// Ends the publisher's picture at once, even while buffers of its pool still hold it: with a
// hold time of 1 ns the publisher stops re-stamping, and the camera sends grey from its next
// tick on. Caller holds the state's mutex.
void closePublisher(KolvSink* sink, const char* why) {
  SinkState& state = *sink->state;
  if (!state.current) return;
  {
    const std::lock_guard guard(state.current->mutex);
    state.current->publisher.setHoldTime(std::chrono::nanoseconds(1));
    GST_INFO_OBJECT(sink,
                    "closed at %s: %" G_GUINT64_FORMAT " drawn in place, %" G_GUINT64_FORMAT
                    " copied, %" G_GUINT64_FORMAT " dropped",
                    why, state.current->inPlace, state.current->copied, state.current->dropped);
  }
  state.current.reset();
  // The last sample holds the last picture's buffer, and with a buffer of the pool the
  // publisher: let it go, so that the group is free for the next publisher at once.
  GstBaseSink* base = GST_BASE_SINK(sink);
  if (gst_base_sink_is_last_sample_enabled(base)) {
    gst_base_sink_set_last_sample_enabled(base, FALSE);
    gst_base_sink_set_last_sample_enabled(base, TRUE);
  }
}

// The Info.plist the installed camera reads its app group from, when there is one.
std::optional<std::filesystem::path> installedInfoPlist() {
  std::error_code error;
  const std::filesystem::path path(KOLV_INSTALLED_INFO_PLIST);
  if (std::filesystem::is_regular_file(path, error)) return path;
  return std::nullopt;
}

// Opens a publisher for the negotiated caps. Caller holds the state's mutex.
bool openPublisher(KolvSink* sink) {
  SinkState& state = *sink->state;
  if (state.current) return true;
  if (!state.info) return false;
  kolv::companion::Options options;
  options.appGroupID = state.appGroup;
  if (options.appGroupID.empty()) options.infoPlist = installedInfoPlist();
  options.width = static_cast<std::uint32_t>(state.info->width);
  options.height = static_cast<std::uint32_t>(state.info->height);
  options.holdTime = holdTime(state.holdSeconds);
  options.pixelFormat = state.pixelFormat;
  kolv::companion::Error error;
  auto publisher = kolv::companion::Publisher::open(options, &error);
  if (!publisher) {
    GST_ELEMENT_ERROR(sink, RESOURCE, OPEN_WRITE, ("cannot publish to Kolv Camera: %s", error.message().c_str()),
                      ("app group '%s', %dx%d", state.appGroup.c_str(), state.info->width, state.info->height));
    return false;
  }
  if (!publisher->keepAliveProblem().empty()) {
    GST_WARNING_OBJECT(sink, "pictures are not kept live: %s", publisher->keepAliveProblem().c_str());
  }
  GST_INFO_OBJECT(sink, "publishing %dx%d %s to app group %s", state.info->width, state.info->height,
                  gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&*state.info)), publisher->appGroupID().c_str());
  state.current = std::make_shared<kolv::gst::SinkPublisher>(std::move(*publisher), *state.info, state.pixelFormat);
  return true;
}

gboolean sinkSetInfo(GstVideoSink* videoSink, GstCaps*, const GstVideoInfo* info) {
  KolvSink* sink = asSink(videoSink);
  SinkState& state = *sink->state;
  const auto format = kolv::gst::surfaceFormatFor(GST_VIDEO_INFO_FORMAT(info));
  if (!format) return FALSE;
  const std::lock_guard guard(state.mutex);
  const bool same = state.info && GST_VIDEO_INFO_FORMAT(&*state.info) == GST_VIDEO_INFO_FORMAT(info) &&
                    state.info->width == info->width && state.info->height == info->height;
  state.info = *info;
  state.pixelFormat = *format;
  if (same && state.current) return TRUE;
  closePublisher(sink, "new caps");
  return openPublisher(sink) ? TRUE : FALSE;
}

gboolean sinkProposeAllocation(GstBaseSink* baseSink, GstQuery* query) {
  KolvSink* sink = asSink(baseSink);
  SinkState& state = *sink->state;
  GstCaps* caps = nullptr;
  gboolean needPool = FALSE;
  gst_query_parse_allocation(query, &caps, &needPool);
  gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
  GstVideoInfo info;
  if (!needPool || !caps || !gst_video_info_from_caps(&info, caps)) return TRUE;
  std::shared_ptr<kolv::gst::SinkPublisher> current;
  {
    const std::lock_guard guard(state.mutex);
    if (!state.current && state.info) openPublisher(sink);
    current = state.current;
  }
  // A pool only for the caps the publisher was opened for; upstream allocates others itself.
  if (!current || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_INFO_FORMAT(&current->info) ||
      info.width != current->info.width || info.height != current->info.height) {
    return TRUE;
  }
  GstBufferPool* pool = kolv::gst::surfacePoolNew(current);
  GstStructure* config = gst_buffer_pool_get_config(pool);
  gst_buffer_pool_config_set_params(config, caps, info.size, 0, 0);
  gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
  if (gst_buffer_pool_set_config(pool, config)) gst_query_add_allocation_pool(query, pool, info.size, 0, 0);
  gst_object_unref(pool);
  return TRUE;
}

GstFlowReturn sinkShowFrame(GstVideoSink* videoSink, GstBuffer* buffer) {
  KolvSink* sink = asSink(videoSink);
  SinkState& state = *sink->state;
  std::shared_ptr<kolv::gst::SinkPublisher> current;
  {
    const std::lock_guard guard(state.mutex);
    // After EOS the publisher is closed; a new picture (after a flush) opens it again.
    if (!openPublisher(sink)) return GST_FLOW_ERROR;
    current = state.current;
  }
  kolv::gst::SinkPublisher& shared = *current;
  const std::lock_guard guard(shared.mutex);
  const kolv::gst::BufferTicket ticket = kolv::gst::ticketOf(buffer);
  const auto action = shared.lending.render(ticket.owner == &shared ? ticket.id : 0);
  GST_LOG_OBJECT(sink, "picture of buffer %" G_GUINT64_FORMAT ": %s", ticket.id,
                 action == kolv::gst::CanvasLending::Action::publishInPlace ? "in place"
                 : action == kolv::gst::CanvasLending::Action::copy         ? "copy"
                 : action == kolv::gst::CanvasLending::Action::republish    ? "again"
                                                                            : "skip");
  switch (action) {
    case kolv::gst::CanvasLending::Action::publishInPlace:
      ++shared.inPlace;
      break;
    case kolv::gst::CanvasLending::Action::republish:
      if (shared.publisher.republish() != kolv::companion::Status::ok) {
        GST_WARNING_OBJECT(sink, "cannot hand the picture over again: %s",
                           shared.publisher.lastError().message().c_str());
      }
      return GST_FLOW_OK;
    case kolv::gst::CanvasLending::Action::drop:
      if (shared.dropped++ == 0) {
        GST_WARNING_OBJECT(sink, "a picture came while upstream drew a later one into the surface: skipped");
      }
      return GST_FLOW_OK;
    case kolv::gst::CanvasLending::Action::copy: {
      const auto canvas = shared.publisher.beginFrame();
      if (!canvas) {
        // Every surface was handed over too recently (pictures faster than the camera's
        // rest allows): the camera keeps the last picture.
        if (shared.dropped++ == 0) {
          GST_WARNING_OBJECT(sink, "no surface free: %s", shared.publisher.lastError().message().c_str());
        }
        return GST_FLOW_OK;
      }
      GstVideoFrame frame;
      if (!gst_video_frame_map(&frame, &shared.info, buffer, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(sink, STREAM, FAILED, ("cannot read a picture"), ("gst_video_frame_map failed"));
        return GST_FLOW_ERROR;
      }
      const bool copied = kolv::gst::copyIntoCanvas(frame, *canvas, shared.pixelFormat);
      gst_video_frame_unmap(&frame);
      if (!copied) {
        GST_ELEMENT_ERROR(sink, STREAM, FAILED, ("a picture does not fit the camera's surface"), (nullptr));
        return GST_FLOW_ERROR;
      }
      ++shared.copied;
      break;
    }
  }
  if (shared.publisher.publish() != kolv::companion::Status::ok) {
    GST_ELEMENT_ERROR(sink, RESOURCE, WRITE,
                      ("cannot hand a picture to Kolv Camera: %s", shared.publisher.lastError().message().c_str()),
                      (nullptr));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

gboolean sinkEvent(GstBaseSink* baseSink, GstEvent* event) {
  KolvSink* sink = asSink(baseSink);
  if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
    const std::lock_guard guard(sink->state->mutex);
    closePublisher(sink, "end of stream");
  }
  return GST_BASE_SINK_CLASS(kolv_sink_parent_class)->event(baseSink, event);
}

gboolean sinkStop(GstBaseSink* baseSink) {
  KolvSink* sink = asSink(baseSink);
  const std::lock_guard guard(sink->state->mutex);
  closePublisher(sink, "stop");
  sink->state->info.reset();
  return TRUE;
}

void sinkSetProperty(GObject* object, guint id, const GValue* value, GParamSpec* property) {
  SinkState& state = *asSink(object)->state;
  const std::lock_guard guard(state.mutex);
  switch (id) {
    case PROP_APP_GROUP: {
      const gchar* group = g_value_get_string(value);
      state.appGroup = group ? group : "";
      break;
    }
    case PROP_HOLD_TIME:
      state.holdSeconds = g_value_get_double(value);
      if (state.current) {
        const std::lock_guard publisherGuard(state.current->mutex);
        state.current->publisher.setHoldTime(holdTime(state.holdSeconds));
      }
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, property);
  }
}

void sinkGetProperty(GObject* object, guint id, GValue* value, GParamSpec* property) {
  SinkState& state = *asSink(object)->state;
  const std::lock_guard guard(state.mutex);
  switch (id) {
    case PROP_APP_GROUP:
      g_value_set_string(value, state.appGroup.empty() ? nullptr : state.appGroup.c_str());
      break;
    case PROP_HOLD_TIME:
      g_value_set_double(value, state.holdSeconds);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, property);
  }
}

}  // namespace

static void kolv_sink_init(KolvSink* sink) { sink->state = new SinkState(); }

static void kolv_sink_finalize(GObject* object) {
  delete asSink(object)->state;
  G_OBJECT_CLASS(kolv_sink_parent_class)->finalize(object);
}

static void kolv_sink_class_init(KolvSinkClass* klass) {
  GObjectClass* object = G_OBJECT_CLASS(klass);
  object->set_property = sinkSetProperty;
  object->get_property = sinkGetProperty;
  object->finalize = kolv_sink_finalize;
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      object, PROP_APP_GROUP,
      g_param_spec_string("app-group", "App group",
                          "The app group to publish to (the camera's: the one its installed Info.plist names, "
                          "else group.kolv.vcamera); taken when the next stream starts",
                          nullptr, flags));
  g_object_class_install_property(
      object, PROP_HOLD_TIME,
      g_param_spec_double("hold-time", "Hold time",
                          "Seconds the last picture stays on the camera without a new one (a paused or stalled "
                          "pipeline then shows grey); 0 holds it until the next picture or the end of the stream",
                          0.0, 9e9 - 1, kDefaultHoldSeconds, flags));

  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  gst_element_class_set_static_metadata(
      element, "Kolv Camera sink", "Sink/Video",
      "Shows the video on the Kolv Camera virtual camera, through shared-memory surfaces that upstream draws into",
      "Kolv Camera developers <kolv-camera@example.org>");
  GstCaps* caps = gst_caps_from_string(kolv::gst::sinkCapsString().c_str());
  gst_element_class_add_pad_template(element, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
  gst_caps_unref(caps);

  GstBaseSinkClass* base = GST_BASE_SINK_CLASS(klass);
  base->propose_allocation = sinkProposeAllocation;
  base->event = sinkEvent;
  base->stop = sinkStop;
  GstVideoSinkClass* video = GST_VIDEO_SINK_CLASS(klass);
  video->set_info = sinkSetInfo;
  video->show_frame = sinkShowFrame;
}

static gboolean plugin_init(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(kolv_sink_debug, "kolvsink", 0, "Kolv Camera sink");
  return gst_element_register(plugin, "kolvsink", GST_RANK_NONE, kolv_sink_get_type());
}

#define PACKAGE "kolv-camera"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kolv, "Kolv Camera: publish video to the virtual camera",
                  plugin_init, KOLV_VERSION, "unknown", "kolv-camera", "https://example.org/kolv-camera")
