// The pool over the publisher's surfaces, with a real publisher in a private runtime folder:
// where its buffers' pixels lie, and how long they keep the surfaces.
#include "surface_pool.h"

#include <gtest/gtest.h>

#include <cstring>

#include "companion/companion_fixture.h"
#include "handoff/surface_layout.h"

namespace kolv::gst {
namespace {

using companion::Canvas;
using companion::Publisher;

class SurfacePoolTest : public companion::test::CompanionTest {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void TearDown() override { closePool(); }
  void closePool() {
    if (pool_) {
      gst_buffer_pool_set_active(pool_, FALSE);
      gst_object_unref(std::exchange(pool_, nullptr));
    }
    shared_.reset();
  }

  // A publisher for pictures of `width` x `height` in `format` (BGRA, or I420 with `i420`), and
  // an active pool over it.
  void openPool(int width, int height, bool videoMeta = true, bool i420 = false) {
    auto settings = options();
    settings.width = static_cast<std::uint32_t>(width);
    settings.height = static_cast<std::uint32_t>(height);
    settings.pixelFormat = i420 ? kSurfacePixelFormatI420 : kSurfacePixelFormatBGRA;
    caps_ = std::string("video/x-raw,format=") + (i420 ? "I420" : "BGRA") + ",width=" + std::to_string(width) +
            ",height=" + std::to_string(height) + ",framerate=30/1";
    GstCaps* caps = gst_caps_from_string(caps_.c_str());
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
    shared_ = std::make_shared<SinkPublisher>(open(settings), info, settings.pixelFormat);
    pool_ = surfacePoolNew(shared_);
    GstStructure* config = gst_buffer_pool_get_config(pool_);
    gst_buffer_pool_config_set_params(config, caps, info.size, 0, 0);
    if (videoMeta) gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    gst_caps_unref(caps);
    ASSERT_TRUE(gst_buffer_pool_set_config(pool_, config));
    ASSERT_TRUE(gst_buffer_pool_set_active(pool_, TRUE));
  }

  GstBuffer* acquire() {
    GstBuffer* buffer = nullptr;
    EXPECT_EQ(gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr), GST_FLOW_OK);
    return buffer;
  }

  // The canvas the publisher hands out now (the one lent, while one is).
  Canvas canvas() {
    const std::lock_guard guard(shared_->mutex);
    auto next = shared_->publisher.beginFrame();
    EXPECT_TRUE(next);
    return next.value_or(Canvas{});
  }

  // Whether the buffer's pixels are the canvas's memory.
  static bool wraps(GstBuffer* buffer, const Canvas& canvas) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
    const bool same = map.data == reinterpret_cast<guint8*>(canvas.pixels.data());
    gst_buffer_unmap(buffer, &map);
    return same;
  }

  std::string caps_;
  std::shared_ptr<SinkPublisher> shared_;
  GstBufferPool* pool_ = nullptr;
};

// Upstream draws through the video meta, each plane at its own stride, into the canvas. Odd
// widths: GStreamer's own layout pads I420's rows to 36 and 20 bytes where the surface packs
// them (33 and 17), so without the meta the canvas is not lent.
TEST_F(SurfacePoolTest, UpstreamDrawsWhereTheVideoMetaSaysOrTheCanvasIsNotLent) {
  struct Case {
    bool i420, videoMeta, lent;
  };
  for (const Case c : {Case{false, true, true}, Case{true, true, true}, Case{true, false, false}}) {
    SCOPED_TRACE(::testing::Message() << (c.i420 ? "I420" : "BGRA") << (c.videoMeta ? " with" : " without") << " meta");
    closePool();
    openPool(33, 7, c.videoMeta, c.i420);
    GstBuffer* buffer = acquire();
    const Canvas lent = canvas();
    EXPECT_EQ(wraps(buffer, lent), c.lent);
    EXPECT_EQ(shared_->lending.lent(), c.lent);
    if (c.lent) {
      ASSERT_EQ(lent.planeCount, c.i420 ? 3u : 1u);
      // The last byte of each plane's last row, as upstream writes it.
      GstVideoFrame frame;
      ASSERT_TRUE(gst_video_frame_map(&frame, &shared_->info, buffer, GST_MAP_WRITE));
      for (guint p = 0; p < lent.planeCount; ++p) {
        auto* last = static_cast<guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p)) +
                     (GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p) - 1) * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
        last[GST_VIDEO_FRAME_COMP_WIDTH(&frame, p) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, p) - 1] =
            static_cast<guint8>(0xA0 + p);
      }
      gst_video_frame_unmap(&frame);
      for (std::size_t p = 0; p < lent.planeCount; ++p) {
        const auto& plane = lent.planes[p];
        EXPECT_EQ(static_cast<int>(plane.bytes[(plane.rows - 1) * plane.bytesPerRow + plane.rowBytes - 1]),
                  0xA0 + int(p))
            << "plane " << p;
      }
    }
    gst_buffer_unref(buffer);
  }
}

TEST_F(SurfacePoolTest, TheSurfaceDrawnInGoesOutAndTheNextBufferDrawsIntoAnother) {
  openPool(64, 36);
  GstBuffer* buffer = acquire();
  const Canvas lent = canvas();
  EXPECT_TRUE(wraps(buffer, lent));
  EXPECT_EQ(ticketOf(buffer).owner, shared_.get());
  {
    const std::lock_guard guard(shared_->mutex);
    ASSERT_EQ(shared_->lending.render(ticketOf(buffer).id), CanvasLending::Action::publishInPlace);
    ASSERT_EQ(shared_->publisher.publish(), companion::Status::ok);
    EXPECT_EQ(shared_->publisher.publishedSurfaceID(), lent.surfaceID);
  }
  gst_buffer_unref(buffer);
  // The published surface is the camera's now.
  GstBuffer* next = acquire();
  const Canvas nextCanvas = canvas();
  EXPECT_NE(nextCanvas.surfaceID, lent.surfaceID);
  EXPECT_TRUE(wraps(next, nextCanvas));
  gst_buffer_unref(next);
}

TEST_F(SurfacePoolTest, ASecondBufferWhileTheCanvasIsLentIsPlainMemoryOfTheFullSize) {
  openPool(64, 36);
  GstBuffer* lent = acquire();
  GstBuffer* plain = acquire();
  const Canvas current = canvas();
  EXPECT_TRUE(wraps(lent, current));
  EXPECT_FALSE(wraps(plain, current));
  EXPECT_GE(gst_buffer_get_size(plain), shared_->info.size);
  // Given back unrendered, the canvas is lent again, to the next buffer.
  gst_buffer_unref(lent);
  gst_buffer_unref(plain);
  GstBuffer* again = acquire();
  EXPECT_TRUE(wraps(again, current));
  gst_buffer_unref(again);
}

TEST_F(SurfacePoolTest, ABufferKeepsTheSurfacesAndTheGroupUntilItGoes) {
  openPool(64, 36);
  GstBuffer* buffer = acquire();
  // The sink lets go of the publisher and the pool (new caps, EOS) while upstream still
  // holds the buffer.
  closePool();
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_WRITE));
  std::memset(map.data, 0x7f, map.size);  // still mapped: no crash, no report under ASan
  gst_buffer_unmap(buffer, &map);

  companion::Error error;
  EXPECT_FALSE(Publisher::open(options(), &error));
  EXPECT_EQ(error.status, companion::Status::groupInUse);
  gst_buffer_unref(buffer);
  EXPECT_TRUE(Publisher::open(options(), &error)) << error.message();
}

TEST_F(SurfacePoolTest, ThePoolAloneDoesNotKeepTheGroup) {
  // New caps: the sink closes its publisher while upstream still has the old pool.
  openPool(64, 36);
  shared_.reset();
  companion::Error error;
  auto next = Publisher::open(options(), &error);
  EXPECT_TRUE(next) << error.message();
  // The old pool's buffers are plain memory now.
  GstBuffer* buffer = acquire();
  ASSERT_NE(buffer, nullptr);
  EXPECT_GE(gst_buffer_get_size(buffer), 64u * 36 * 4);
  EXPECT_EQ(ticketOf(buffer).owner, nullptr);
  gst_buffer_unref(buffer);
}

TEST_F(SurfacePoolTest, ConfigsForOtherPicturesAreRefused) {
  openPool(64, 36);
  ASSERT_TRUE(gst_buffer_pool_set_active(pool_, FALSE));
  for (const char* other : {"video/x-raw,format=BGRA,width=64,height=37", "video/x-raw,format=BGRx,width=64,height=36",
                            "video/x-raw,format=BGRA,width=1280,height=720"}) {
    GstCaps* caps = gst_caps_from_string(other);
    GstStructure* config = gst_buffer_pool_get_config(pool_);
    gst_buffer_pool_config_set_params(config, caps, 64 * 36 * 4, 0, 0);
    EXPECT_FALSE(gst_buffer_pool_set_config(pool_, config)) << other;
    gst_caps_unref(caps);
  }
}

TEST_F(SurfacePoolTest, APictureFromElsewhereIsCopiedRowByRow) {
  openPool(33, 7);
  GstVideoInfo info = shared_->info;
  // Rows with padding beyond GStreamer's default, as some upstream elements make them.
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, 7 * 160, nullptr);
  gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
  gint strides[GST_VIDEO_MAX_PLANES] = {160};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA, 33, 7, 1, offsets, strides);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_WRITE));
  for (gsize i = 0; i < map.size; ++i) map.data[i] = static_cast<guint8>(i % 160 < 132 ? (i / 160) * 16 + 1 : 0xEE);
  gst_buffer_unmap(buffer, &map);

  GstVideoFrame frame;
  ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
  const Canvas target = canvas();
  EXPECT_TRUE(copyIntoCanvas(frame, target, kSurfacePixelFormatBGRA));
  gst_video_frame_unmap(&frame);
  for (std::uint32_t y = 0; y < 7; ++y) {
    for (std::uint32_t x = 0; x < 33 * 4; ++x) {
      ASSERT_EQ(static_cast<int>(target.pixels[y * target.bytesPerRow + x]), static_cast<int>(y * 16 + 1))
          << "row " << y << " byte " << x;
    }
  }
  gst_buffer_unref(buffer);
}

}  // namespace
}  // namespace kolv::gst
