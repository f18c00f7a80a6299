// The caps kolvsink takes and the surface format each picture goes out in.
#include "video_formats.h"

#include <gtest/gtest.h>

#include "handoff/surface_layout.h"

namespace kolv::gst {
namespace {

TEST(VideoFormatsTest, EachFormatOfTheCapsMapsToTheSurfaceWithTheSameBytes) {
  gst_init(nullptr, nullptr);
  GstCaps* caps = gst_caps_from_string(sinkCapsString().c_str());
  ASSERT_NE(caps, nullptr) << sinkCapsString();
  ASSERT_EQ(gst_caps_get_size(caps), 1u);
  const GValue* formats = gst_structure_get_value(gst_caps_get_structure(caps, 0), "format");
  ASSERT_TRUE(GST_VALUE_HOLDS_LIST(formats));
  for (guint i = 0; i < gst_value_list_get_size(formats); ++i) {
    const gchar* name = g_value_get_string(gst_value_list_get_value(formats, i));
    EXPECT_TRUE(surfaceFormatFor(gst_video_format_from_string(name))) << name;
  }
  EXPECT_EQ(gst_value_list_get_size(formats), 12u);
  // The camera's own format comes first, so that upstream picks it when it can.
  EXPECT_STREQ(g_value_get_string(gst_value_list_get_value(formats, 0)), "BGRA");

  // The extremes of the surfaces' sizes are taken, one beyond is not.
  GstCaps* largest = gst_caps_from_string("video/x-raw,format=BGRA,width=16384,height=1,framerate=30/1");
  GstCaps* tooWide = gst_caps_from_string("video/x-raw,format=BGRA,width=16385,height=1,framerate=30/1");
  EXPECT_TRUE(gst_caps_can_intersect(caps, largest));
  EXPECT_FALSE(gst_caps_can_intersect(caps, tooWide));
  gst_caps_unref(largest);
  gst_caps_unref(tooWide);
  gst_caps_unref(caps);
}

TEST(VideoFormatsTest, FormatsGoOutInTheSurfaceFormatOfTheirBytes) {
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_BGRA), kSurfacePixelFormatBGRA);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_BGRx), kSurfacePixelFormatBGRA);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_RGBx), kSurfacePixelFormatRGBA);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_xRGB), kSurfacePixelFormatARGB);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_xBGR), kSurfacePixelFormatABGR);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_ABGR), kSurfacePixelFormatABGR);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_NV12), kSurfacePixelFormatNV12);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_I420), kSurfacePixelFormatI420);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_YUY2), kSurfacePixelFormatYUY2);
  EXPECT_EQ(surfaceFormatFor(GST_VIDEO_FORMAT_UYVY), kSurfacePixelFormatUYVY);
  // Neither byte order nor the planes may be guessed: these need videoconvert.
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_RGB));
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_GRAY8));
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_NV21));
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_YV12));
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_YVYU));
  EXPECT_FALSE(surfaceFormatFor(GST_VIDEO_FORMAT_UNKNOWN));
}

}  // namespace
}  // namespace kolv::gst
