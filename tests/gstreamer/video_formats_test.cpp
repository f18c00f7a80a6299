// The caps kolvsink takes and the surface format each picture goes out in.
#include "video_formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "handoff/surface_layout.h"
#include "kolv/companion.h"

namespace kolv::gst {
namespace {

std::string fourCCName(std::uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

// GStreamer's raw formats and the surfaces' formats both name their bytes in memory order, so a
// format goes out in the surface format of the same name, its padding byte 'x' as alpha; any
// other format (another byte order, other planes) needs videoconvert and is not in the caps.
TEST(VideoFormatsTest, CapsTakeExactlyTheFormatsWhoseBytesASurfaceHolds) {
  gst_init(nullptr, nullptr);
  GstCaps* caps = gst_caps_from_string(sinkCapsString().c_str());
  ASSERT_NE(caps, nullptr) << sinkCapsString();
  ASSERT_EQ(gst_caps_get_size(caps), 1u);
  const GValue* formats = gst_structure_get_value(gst_caps_get_structure(caps, 0), "format");
  ASSERT_TRUE(GST_VALUE_HOLDS_LIST(formats));
  std::set<std::string> inCaps;
  for (guint i = 0; i < gst_value_list_get_size(formats); ++i) {
    inCaps.insert(g_value_get_string(gst_value_list_get_value(formats, i)));
  }
  // The camera's own format comes first, so that upstream picks it when it can.
  EXPECT_STREQ(g_value_get_string(gst_value_list_get_value(formats, 0)), "BGRA");

  guint count = 0;
  const GstVideoFormat* all = gst_video_formats_raw(&count);
  std::set<std::string> taken;
  std::set<std::uint32_t> reached;
  for (guint i = 0; i < count; ++i) {
    const std::string name = gst_video_format_to_string(all[i]);
    std::string bytes = name;
    std::replace(bytes.begin(), bytes.end(), 'x', 'A');
    std::optional<std::uint32_t> expected;
    for (const std::uint32_t surface : companion::kPixelFormats) {
      if (fourCCName(surface) == bytes) expected = surface;
    }
    EXPECT_EQ(surfaceFormatFor(all[i]), expected) << name;
    if (!expected) continue;
    taken.insert(name);
    reached.insert(*expected);
  }
  EXPECT_EQ(inCaps, taken);
  // Every format the library publishes is reachable without videoconvert.
  EXPECT_EQ(reached, std::set<std::uint32_t>(companion::kPixelFormats.begin(), companion::kPixelFormats.end()));

  // The extremes of the surfaces' sizes are taken, one beyond is not.
  GstCaps* largest = gst_caps_from_string("video/x-raw,format=BGRA,width=16384,height=1,framerate=30/1");
  GstCaps* tooWide = gst_caps_from_string("video/x-raw,format=BGRA,width=16385,height=1,framerate=30/1");
  EXPECT_TRUE(gst_caps_can_intersect(caps, largest));
  EXPECT_FALSE(gst_caps_can_intersect(caps, tooWide));
  gst_caps_unref(largest);
  gst_caps_unref(tooWide);
  gst_caps_unref(caps);
}

}  // namespace
}  // namespace kolv::gst
