// The pool hands out a new buffer on every acquire (nothing is preallocated or reused): one
// that wraps the publisher's canvas when CanvasLending allows it, else plain memory of the
// caps' size. A returned buffer is freed, and its ticket given back to the lending.
#include "surface_pool.h"

#include <algorithm>
#include <cstring>

namespace kolv::gst {
namespace {

GQuark ticketQuark() {
  static const GQuark quark = g_quark_from_static_string("kolv-surface-pool-ticket");
  return quark;
}

}  // namespace
}  // namespace kolv::gst

// The GObject: a GstBufferPool with the publisher it lends canvases of. It does not keep the
// publisher open: upstream keeps its pool until it renegotiates, after the sink has closed
// the publisher for new caps, and the group must be free for the next one by then. Once the
// publisher has gone its buffers are plain memory. Thread: any (the pool's own calls are
// serialised by the publisher's mutex; `info` and `videoMeta` change only in set_config,
// while the pool is inactive).
struct KolvSurfacePool {
  GstBufferPool parent;
  std::weak_ptr<kolv::gst::SinkPublisher>* publisher;
  GstVideoInfo info;
  gboolean videoMeta;
};
struct KolvSurfacePoolClass {
  GstBufferPoolClass parent_class;
};

G_DEFINE_TYPE(KolvSurfacePool, kolv_surface_pool, GST_TYPE_BUFFER_POOL)

namespace kolv::gst {
namespace {

KolvSurfacePool* asSurfacePool(GstBufferPool* pool) { return reinterpret_cast<KolvSurfacePool*>(pool); }

const gchar** poolOptions(GstBufferPool*) {
  static const gchar* options[] = {GST_BUFFER_POOL_OPTION_VIDEO_META, nullptr};
  return options;
}

gboolean poolSetConfig(GstBufferPool* pool, GstStructure* config) {
  KolvSurfacePool* self = asSurfacePool(pool);
  GstCaps* caps = nullptr;
  guint size = 0, minBuffers = 0, maxBuffers = 0;
  if (!gst_buffer_pool_config_get_params(config, &caps, &size, &minBuffers, &maxBuffers) || !caps) return FALSE;
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) return FALSE;
  const GstVideoInfo& own = self->info;
  if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_INFO_FORMAT(&own) || info.width != own.width ||
      info.height != own.height) {
    return FALSE;
  }
  self->videoMeta = gst_buffer_pool_config_has_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
  // Buffers are made on demand, however many upstream holds: no limit, nothing preallocated.
  gst_buffer_pool_config_set_params(config, caps, std::max<guint>(size, own.size), 0, 0);
  return GST_BUFFER_POOL_CLASS(kolv_surface_pool_parent_class)->set_config(pool, config);
}

gboolean poolStartStop(GstBufferPool*) { return TRUE; }

void forgetPublisher(gpointer data) { delete static_cast<std::shared_ptr<SinkPublisher>*>(data); }

// A buffer over the canvas, with a video meta that says where its planes lie.
GstBuffer* wrapCanvas(KolvSurfacePool* self, const std::shared_ptr<SinkPublisher>& shared,
                      const companion::Canvas& canvas) {
  gsize offsets[GST_VIDEO_MAX_PLANES] = {};
  gint strides[GST_VIDEO_MAX_PLANES] = {};
  if (!canvasLayout(canvas, shared->pixelFormat, shared->info, offsets, strides)) return nullptr;
  if (!self->videoMeta) {
    for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&shared->info); ++p) {
      if (offsets[p] != shared->info.offset[p] || strides[p] != shared->info.stride[p]) return nullptr;
    }
  }
  GstBuffer* buffer =
      gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), canvas.pixels.data(), canvas.pixels.size(), 0,
                                  canvas.pixels.size(), new std::shared_ptr<SinkPublisher>(shared), forgetPublisher);
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&shared->info),
                                 shared->info.width, shared->info.height, GST_VIDEO_INFO_N_PLANES(&shared->info),
                                 offsets, strides);
  return buffer;
}

GstFlowReturn poolAcquire(GstBufferPool* pool, GstBuffer** out, GstBufferPoolAcquireParams*) {
  if (!gst_buffer_pool_is_active(pool)) return GST_FLOW_FLUSHING;
  KolvSurfacePool* self = asSurfacePool(pool);
  const std::shared_ptr<SinkPublisher> owner = self->publisher->lock();
  if (!owner) {
    *out = gst_buffer_new_allocate(nullptr, self->info.size, nullptr);
    return *out ? GST_FLOW_OK : GST_FLOW_ERROR;
  }
  SinkPublisher& shared = *owner;
  const std::lock_guard guard(shared.mutex);
  GstBuffer* buffer = nullptr;
  // Ask the publisher for its canvas only when the lending would lend it: beginFrame()
  // may make a new surface.
  const bool mayLend = !shared.lending.lent() && shared.lending.waiting() == 0;
  std::optional<companion::Canvas> canvas = mayLend ? shared.publisher.beginFrame() : std::nullopt;
  if (canvas) buffer = wrapCanvas(self, owner, *canvas);
  const auto ticket = shared.lending.acquire(buffer != nullptr);
  if (!ticket.lent) buffer = gst_buffer_new_allocate(nullptr, shared.info.size, nullptr);
  if (!buffer) {
    shared.lending.release(ticket.id);
    return GST_FLOW_ERROR;
  }
  gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(buffer), ticketQuark(), new BufferTicket{&shared, ticket.id},
                            [](gpointer data) { delete static_cast<BufferTicket*>(data); });
  *out = buffer;
  return GST_FLOW_OK;
}

void poolRelease(GstBufferPool* pool, GstBuffer* buffer) {
  KolvSurfacePool* self = asSurfacePool(pool);
  const BufferTicket ticket = ticketOf(buffer);
  if (const auto owner = self->publisher->lock(); owner && ticket.owner == owner.get()) {
    const std::lock_guard guard(owner->mutex);
    owner->lending.release(ticket.id);
  }
  gst_buffer_unref(buffer);
}

}  // namespace

BufferTicket ticketOf(GstBuffer* buffer) {
  const auto* ticket =
      static_cast<const BufferTicket*>(gst_mini_object_get_qdata(GST_MINI_OBJECT_CAST(buffer), ticketQuark()));
  return ticket ? *ticket : BufferTicket{};
}

GstBufferPool* surfacePoolNew(std::shared_ptr<SinkPublisher> publisher) {
  auto* pool = static_cast<KolvSurfacePool*>(g_object_new(kolv_surface_pool_get_type(), nullptr));
  pool->info = publisher->info;
  *pool->publisher = publisher;
  // Floating like every new GstObject; the caller owns the one reference.
  gst_object_ref_sink(pool);
  return GST_BUFFER_POOL(pool);
}

bool canvasLayout(const companion::Canvas& canvas, std::uint32_t pixelFormat, const GstVideoInfo& info,
                  gsize offsets[GST_VIDEO_MAX_PLANES], gint strides[GST_VIDEO_MAX_PLANES]) {
  if (canvas.pixelFormat != pixelFormat || canvas.width != static_cast<std::uint32_t>(info.width) ||
      canvas.height != static_cast<std::uint32_t>(info.height) || canvas.planeCount != GST_VIDEO_INFO_N_PLANES(&info)) {
    return false;
  }
  for (std::size_t p = 0; p < canvas.planeCount; ++p) {
    offsets[p] = canvas.planes[p].offset;
    strides[p] = static_cast<gint>(canvas.planes[p].bytesPerRow);
  }
  return true;
}

bool copyIntoCanvas(const GstVideoFrame& frame, const companion::Canvas& canvas, std::uint32_t pixelFormat) {
  gsize offsets[GST_VIDEO_MAX_PLANES] = {};
  gint strides[GST_VIDEO_MAX_PLANES] = {};
  if (!canvasLayout(canvas, pixelFormat, frame.info, offsets, strides)) return false;
  for (std::size_t p = 0; p < canvas.planeCount; ++p) {
    const companion::Plane& plane = canvas.planes[p];
    const auto* source = static_cast<const std::byte*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
    const auto sourceStride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p));
    if (sourceStride < plane.rowBytes) return false;
    for (std::uint32_t row = 0; row < plane.rows; ++row) {
      std::memcpy(plane.bytes.data() + std::size_t{row} * plane.bytesPerRow, source + row * sourceStride,
                  plane.rowBytes);
    }
  }
  return true;
}

}  // namespace kolv::gst

static void kolv_surface_pool_init(KolvSurfacePool* self) {
  self->publisher = new std::weak_ptr<kolv::gst::SinkPublisher>();
  gst_video_info_init(&self->info);
  self->videoMeta = FALSE;
}

static void kolv_surface_pool_finalize(GObject* object) {
  delete reinterpret_cast<KolvSurfacePool*>(object)->publisher;
  G_OBJECT_CLASS(kolv_surface_pool_parent_class)->finalize(object);
}

static void kolv_surface_pool_class_init(KolvSurfacePoolClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = kolv_surface_pool_finalize;
  GstBufferPoolClass* pool = GST_BUFFER_POOL_CLASS(klass);
  pool->get_options = kolv::gst::poolOptions;
  pool->set_config = kolv::gst::poolSetConfig;
  pool->start = kolv::gst::poolStartStop;
  pool->stop = kolv::gst::poolStartStop;
  pool->acquire_buffer = kolv::gst::poolAcquire;
  pool->release_buffer = kolv::gst::poolRelease;
}
