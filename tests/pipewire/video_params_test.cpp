#include "platform/pipewire/video_params.h"

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/iter.h>

#include <array>
#include <vector>

namespace kolv::pipewire {
namespace {

struct PodMemory {
  std::array<std::uint8_t, 1024> bytes{};
  spa_pod_builder builder{};
  PodMemory() { spa_pod_builder_init(&builder, bytes.data(), bytes.size()); }
};

VideoFormat bgra720p() {
  VideoFormat format;
  format.pixelFormat = *pixelFormatForCode(kCVPixelFormatType_32BGRA);
  format.width = 1280;
  format.height = 720;
  format.frameRate = format.minFrameRate = format.maxFrameRate = {30, 1};
  return format;
}

// The frame rate property's values and choice type.
struct Rates {
  std::uint32_t choice;
  std::vector<spa_fraction> values;
};

Rates frameRatesOf(const spa_pod* format) {
  const spa_pod_prop* prop = spa_pod_find_prop(format, nullptr, SPA_FORMAT_VIDEO_framerate);
  EXPECT_NE(prop, nullptr);
  if (!prop) return {};
  std::uint32_t count = 0;
  std::uint32_t choice = 0;
  const spa_pod* values = spa_pod_get_values(&prop->value, &count, &choice);
  EXPECT_EQ(SPA_POD_TYPE(values), SPA_TYPE_Fraction);
  const auto* fractions = static_cast<const spa_fraction*>(SPA_POD_BODY_CONST(values));
  return {choice, std::vector<spa_fraction>(fractions, fractions + count)};
}

TEST(PixelFormats, CameraCodesMapToPipeWireFormatsAndBack) {
  const auto bgra = pixelFormatForCode(kCVPixelFormatType_32BGRA);
  ASSERT_TRUE(bgra);
  EXPECT_EQ(bgra->videoFormat, SPA_VIDEO_FORMAT_BGRA);
  EXPECT_EQ(pixelFormatForVideoFormat(SPA_VIDEO_FORMAT_BGRA), bgra);

  const auto yuyv = pixelFormatForCode(fourCC("yuvs"));
  ASSERT_TRUE(yuyv);
  EXPECT_EQ(yuyv->videoFormat, SPA_VIDEO_FORMAT_YUY2);
  EXPECT_EQ(pixelFormatForVideoFormat(SPA_VIDEO_FORMAT_NV12)->code, fourCC("420v"));
  EXPECT_EQ(pixelFormatForVideoFormat(SPA_VIDEO_FORMAT_I420)->code, fourCC("y420"));
  EXPECT_FALSE(pixelFormatForVideoFormat(SPA_VIDEO_FORMAT_RGB));
}

TEST(FrameRates, ComeFromFrameDurationsReduced) {
  EXPECT_EQ(frameRateForDuration(CMTimeMake(1, 30)), (FrameRate{30, 1}));
  EXPECT_EQ(frameRateForDuration(CMTimeMake(2, 60)), (FrameRate{30, 1}));
  EXPECT_EQ(frameRateForDuration(CMTimeMake(1001, 30000)), (FrameRate{30000, 1001}));
  EXPECT_FALSE(frameRateForDuration(kCMTimeInvalid));
  EXPECT_FALSE(frameRateForDuration(CMTimeMake(0, 30)));
  EXPECT_FALSE(frameRateForDuration(CMTimeMake(-1, 30)));
  EXPECT_FALSE(frameRateForDuration(CMTimeMake(1, 0)));
}

TEST(EnumFormat, FixedFormatParsesAsTheCameraFormat) {
  PodMemory memory;
  const spa_pod* pod = buildEnumFormat(memory.builder, bgra720p());
  ASSERT_NE(pod, nullptr);
  EXPECT_TRUE(spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_Format));
  EXPECT_EQ(reinterpret_cast<const spa_pod_object*>(pod)->body.id, SPA_PARAM_EnumFormat);

  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  ASSERT_GE(spa_format_parse(pod, &mediaType, &mediaSubtype), 0);
  EXPECT_EQ(mediaType, SPA_MEDIA_TYPE_video);
  EXPECT_EQ(mediaSubtype, SPA_MEDIA_SUBTYPE_raw);
  spa_video_info_raw info{};
  ASSERT_GE(spa_format_video_raw_parse(pod, &info), 0);
  EXPECT_EQ(info.format, SPA_VIDEO_FORMAT_BGRA);
  EXPECT_EQ(info.size.width, 1280u);
  EXPECT_EQ(info.size.height, 720u);
  EXPECT_EQ(info.framerate.num, 30u);
  EXPECT_EQ(info.framerate.denom, 1u);

  // Consumers that keep only fixed sizes and rates (WebRTC) must see no choice here.
  const spa_pod_prop* size = spa_pod_find_prop(pod, nullptr, SPA_FORMAT_VIDEO_size);
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(SPA_POD_TYPE(&size->value), SPA_TYPE_Rectangle);
  EXPECT_EQ(frameRatesOf(pod).choice, SPA_CHOICE_None);
}

TEST(EnumFormat, RateRangeIsOfferedWithThePreferredRateFirst) {
  auto format = bgra720p();
  format.frameRate = {25, 1};
  format.minFrameRate = {15, 1};
  format.maxFrameRate = {30, 1};
  PodMemory memory;
  const spa_pod* pod = buildEnumFormat(memory.builder, format);
  ASSERT_NE(pod, nullptr);
  const auto rates = frameRatesOf(pod);
  EXPECT_EQ(rates.choice, SPA_CHOICE_Range);
  ASSERT_EQ(rates.values.size(), 3u);
  EXPECT_EQ(rates.values[0].num, 25u);
  EXPECT_EQ(rates.values[1].num, 15u);
  EXPECT_EQ(rates.values[2].num, 30u);
}

TEST(EnumFormat, ListedRatesAreAnEnumeration) {
  auto format = bgra720p();
  format.frameRates = {{30, 1}, {15, 1}};
  PodMemory memory;
  const auto rates = frameRatesOf(buildEnumFormat(memory.builder, format));
  EXPECT_EQ(rates.choice, SPA_CHOICE_Enum);
  ASSERT_EQ(rates.values.size(), 3u);  // the default, then each alternative
  EXPECT_EQ(rates.values[0].num, 30u);
  EXPECT_EQ(rates.values[2].num, 15u);
}

TEST(EnumFormat, FullBuilderYieldsNothing) {
  std::array<std::uint8_t, 48> small{};
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, small.data(), small.size());
  EXPECT_EQ(buildEnumFormat(builder, bgra720p()), nullptr);
}

TEST(BufferLayout, RowsAreAsShortAsTheWidthAllows) {
  spa_video_info_raw info{};
  info.format = SPA_VIDEO_FORMAT_BGRA;
  info.size = {1280, 720};
  const auto layout = bufferLayoutFor(info);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->stride, 5120u);
  EXPECT_EQ(layout->size, 3686400u);
  EXPECT_EQ(layout->pixelFormat.code, kCVPixelFormatType_32BGRA);

  info.format = SPA_VIDEO_FORMAT_YUY2;
  info.size = {640, 480};
  EXPECT_EQ(bufferLayoutFor(info)->stride, 1280u);

  // 4:2:0: the Y plane, then a quarter of its bytes twice, as GStreamer lays them out.
  for (const auto format : {SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420}) {
    info.format = format;
    info.size = {1280, 720};
    ASSERT_TRUE(bufferLayoutFor(info));
    EXPECT_EQ(bufferLayoutFor(info)->stride, 1280u);
    EXPECT_EQ(bufferLayoutFor(info)->size, 1280u * 720u * 3 / 2);
  }
}

TEST(BufferLayout, UnpublishedEmptyOrHugeFormatsHaveNone) {
  spa_video_info_raw info{};
  info.format = SPA_VIDEO_FORMAT_RGB;
  info.size = {1280, 720};
  EXPECT_FALSE(bufferLayoutFor(info));
  info.format = SPA_VIDEO_FORMAT_BGRA;
  info.size = {0, 720};
  EXPECT_FALSE(bufferLayoutFor(info));
  info.size = {65536, 65536};
  EXPECT_FALSE(bufferLayoutFor(info));
}

TEST(BufferParams, AskForFewSharedMemoryBuffersOfTheLayout) {
  spa_video_info_raw info{};
  info.format = SPA_VIDEO_FORMAT_BGRA;
  info.size = {1280, 720};
  PodMemory memory;
  const spa_pod* pod = buildBuffersParam(memory.builder, *bufferLayoutFor(info));
  ASSERT_NE(pod, nullptr);
  std::int32_t blocks = 0;
  std::int32_t size = 0;
  std::int32_t stride = 0;
  const spa_pod* buffers = nullptr;
  const spa_pod* dataType = nullptr;
  ASSERT_EQ(spa_pod_parse_object(pod, SPA_TYPE_OBJECT_ParamBuffers, nullptr,  //
                                 SPA_PARAM_BUFFERS_buffers, SPA_POD_PodChoice(&buffers), SPA_PARAM_BUFFERS_blocks,
                                 SPA_POD_Int(&blocks),                            //
                                 SPA_PARAM_BUFFERS_size, SPA_POD_Int(&size),      //
                                 SPA_PARAM_BUFFERS_stride, SPA_POD_Int(&stride),  //
                                 SPA_PARAM_BUFFERS_dataType, SPA_POD_PodChoice(&dataType)),
            5);
  EXPECT_EQ(blocks, 1);
  EXPECT_EQ(size, 3686400);
  EXPECT_EQ(stride, 5120);

  std::uint32_t count = 0;
  std::uint32_t choice = 0;
  const spa_pod* values = spa_pod_get_values(buffers, &count, &choice);
  ASSERT_EQ(choice, SPA_CHOICE_Range);
  ASSERT_EQ(count, 3u);
  const auto* range = static_cast<const std::int32_t*>(SPA_POD_BODY_CONST(values));
  EXPECT_EQ(range[0], 4);
  EXPECT_EQ(range[1], 2);
  EXPECT_EQ(range[2], 8);

  values = spa_pod_get_values(dataType, &count, &choice);
  EXPECT_EQ(choice, SPA_CHOICE_Flags);
  EXPECT_EQ(*static_cast<const std::int32_t*>(SPA_POD_BODY_CONST(values)),
            (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
}

TEST(MetaParams, AskForAHeaderWithPtsAndSeq) {
  PodMemory memory;
  const spa_pod* pod = buildHeaderMetaParam(memory.builder);
  std::uint32_t type = 0;
  std::int32_t size = 0;
  ASSERT_EQ(spa_pod_parse_object(pod, SPA_TYPE_OBJECT_ParamMeta, nullptr,  //
                                 SPA_PARAM_META_type, SPA_POD_Id(&type),   //
                                 SPA_PARAM_META_size, SPA_POD_Int(&size)),
            2);
  EXPECT_EQ(type, SPA_META_Header);
  EXPECT_EQ(size, static_cast<std::int32_t>(sizeof(spa_meta_header)));
}

}  // namespace
}  // namespace kolv::pipewire
