// kolvsink's publisher and the buffer pool over its surfaces. Buffers of the pool wrap the
// publisher's canvas when CanvasLending lends it, so upstream draws the picture straight into
// the shared surface; otherwise they are plain memory that the sink copies into the canvas.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "canvas_lending.h"
#include "kolv/companion.h"

namespace kolv::gst {

// One open publisher with the video layout it publishes, shared by the sink and by every
// buffer that wraps one of its canvases (so its surfaces stay mapped while such a buffer
// lives). Thread: the sink's streaming thread and upstream's (which acquires buffers), all
// under `mutex`.
struct SinkPublisher {
  SinkPublisher(companion::Publisher opened, const GstVideoInfo& videoInfo, std::uint32_t format)
      : publisher(std::move(opened)), info(videoInfo), pixelFormat(format) {}

  std::mutex mutex;
  companion::Publisher publisher;
  CanvasLending lending;
  const GstVideoInfo info;
  const std::uint32_t pixelFormat;
  // Pictures published straight from a pool buffer, copied into a canvas, and skipped.
  std::uint64_t inPlace = 0;
  std::uint64_t copied = 0;
  std::uint64_t dropped = 0;
};

// Where a buffer came from: the pool's ticket of the publisher it was made for, or none.
struct BufferTicket {
  const SinkPublisher* owner = nullptr;
  std::uint64_t id = 0;
};
BufferTicket ticketOf(GstBuffer* buffer);

// A pool for buffers of `publisher`'s video layout; it does not keep the publisher open, the
// buffers that wrap its canvases do. Its config needs the caps set; it takes
// GST_BUFFER_POOL_OPTION_VIDEO_META, without which it lends a canvas only when the canvas
// has GStreamer's default layout for those caps.
GstBufferPool* surfacePoolNew(std::shared_ptr<SinkPublisher> publisher);

// The canvas's planes as GStreamer's offsets and strides; false when the canvas does not hold
// a picture of `info`.
bool canvasLayout(const companion::Canvas& canvas, std::uint32_t pixelFormat, const GstVideoInfo& info,
                  gsize offsets[GST_VIDEO_MAX_PLANES], gint strides[GST_VIDEO_MAX_PLANES]);

// Copies the picture in `frame` into `canvas` plane by plane; false when their layouts differ.
bool copyIntoCanvas(const GstVideoFrame& frame, const companion::Canvas& canvas, std::uint32_t pixelFormat);

}  // namespace kolv::gst
