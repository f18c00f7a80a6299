// The shared frame reader: choice of app group, the two hand-off files and the surface cache.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shared/shared_frame_reader.h"
#include "support/test_platform.h"

namespace kolv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

InfoValue str(std::string s) { return InfoValue{std::move(s)}; }
InfoValue arr(std::vector<InfoValue> v) { return InfoValue{std::move(v)}; }

class AppGroupTest : public ::testing::Test {
 protected:
  std::string resolve() { return SharedFrameReader::resolveAppGroupID(t.platform); }
  test::TestPlatform t;
  std::map<std::string, InfoValue, std::less<>>& info = t.bundles.bundle->info;
};

TEST_F(AppGroupTest, AppGroupIdentifierWinsWhenItIsAString) {
  info["AppGroupIdentifier"] = str("group.example.one");
  info["com.apple.security.application-groups"] = arr({str("group.example.two")});
  EXPECT_EQ(resolve(), "group.example.one");

  info["AppGroupIdentifier"] = str("");
  EXPECT_EQ(resolve(), "");
}

TEST_F(AppGroupTest, TheFirstListedGroupServesWhenTheIdentifierIsNotAString) {
  info["AppGroupIdentifier"] = InfoValue{std::int64_t{7}};
  info["com.apple.security.application-groups"] = arr({str("group.first"), str("group.second")});
  EXPECT_EQ(resolve(), "group.first");
  EXPECT_EQ(t.bundles.mainBundleCalls, 2);  // the bundle is asked anew for each key
}

TEST_F(AppGroupTest, TheFallbackServesWhenNeitherKeyGivesAGroup) {
  EXPECT_EQ(resolve(), "group.kolv.vcamera");
  EXPECT_EQ(std::string(kFallbackAppGroupID).size(), 18u);

  for (const InfoValue& groups : {arr({}), str("group.single"), arr({InfoValue{std::int64_t{1}}}),
                                  arr({InfoValue{std::int64_t{1}}, str("group.late")}), InfoValue{InfoValue::Other{}}}) {
    info["com.apple.security.application-groups"] = groups;
    EXPECT_EQ(resolve(), kFallbackAppGroupID);
  }
}

TEST_F(AppGroupTest, ANewReaderStartsEmptyAndKnowsItsFiles) {
  info["AppGroupIdentifier"] = str("group.test");
  SharedFrameReader reader(t.platform);
  EXPECT_EQ(reader.appGroupID(), "group.test");
  EXPECT_EQ(reader.surfaceIDFileName(), "kolvcamera_surface_id");
  EXPECT_EQ(reader.frameMetadataFileName(), "kolvcamera_frame_meta");
  EXPECT_EQ(reader.currentSurface(), nullptr);
  EXPECT_EQ(reader.lastSurfaceID(), 0u);
  EXPECT_EQ(reader.lastTimestamp(), 0.0);

  info["AppGroupIdentifier"] = str("group.changed");  // chosen once, at construction
  EXPECT_EQ(reader.appGroupID(), "group.test");
}

class SharedFrameReaderTest : public ::testing::Test {
 protected:
  void writeID(std::uint32_t id) { t.files.writeFile(group, kSurfaceIDFileName, test::surfaceIDBytes(id)); }
  void writeTimestamp(double timestamp) { t.setTimestamp(timestamp, group); }
  void writeRaw(const char* name, std::vector<std::byte> bytes) { t.files.writeFile(group, name, std::move(bytes)); }

  test::TestPlatform t;
  const std::string group = kFallbackAppGroupID;
  SharedFrameReader reader{t.platform};
};

TEST_F(SharedFrameReaderTest, ReadsBothFilesAsLittleEndian) {
  writeRaw(kSurfaceIDFileName, {std::byte{0x2A}, std::byte{0}, std::byte{0}, std::byte{0}});
  writeRaw(kFrameMetadataFileName, {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0},
                                    std::byte{0}, std::byte{0xF0}, std::byte{0x3F}});
  reader.refreshSurface();
  EXPECT_EQ(reader.lastSurfaceID(), 42u);
  EXPECT_THAT(t.media.lookups, ElementsAre(42u));
  EXPECT_EQ(reader.readFrameTimestamp(), 1.0);
}

TEST_F(SharedFrameReaderTest, EachNewTimestampIsHandedOutOnce) {
  auto surface = t.publish(5, 10.0, group);
  auto frame = reader.currentFrame();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(frame), surface->baseAddress());
  EXPECT_EQ(reader.lastTimestamp(), 10.0);

  EXPECT_EQ(reader.currentFrame(), nullptr);  // same timestamp
  writeTimestamp(9.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);  // older
  writeTimestamp(10.5);
  EXPECT_NE(reader.currentFrame(), nullptr);
  EXPECT_THAT(t.media.lookups, ElementsAre(5u));  // looked up once, then cached
}

TEST_F(SharedFrameReaderTest, NothingAtOrBelowZeroOrNaNIsEverHandedOut) {
  t.publish(5, 0.0, group);
  for (double timestamp : {0.0, -0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::infinity()}) {
    writeTimestamp(timestamp);
    EXPECT_EQ(reader.currentFrame(), nullptr) << timestamp;
  }
  EXPECT_EQ(reader.lastTimestamp(), 0.0);
}

TEST_F(SharedFrameReaderTest, InfinityIsNeverHandedOutAndDoesNotBlockLaterFrames) {
  t.publish(5, 10.0, group);
  ASSERT_NE(reader.currentFrame(), nullptr);
  writeTimestamp(std::numeric_limits<double>::infinity());
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.lastTimestamp(), 10.0);
  writeTimestamp(11.0);
  EXPECT_NE(reader.currentFrame(), nullptr);
}

TEST_F(SharedFrameReaderTest, AfterACompanionRestartNothingIsSentUntilTimestampsPassTheLargest) {
  t.publish(5, 1000.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  writeTimestamp(1.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  writeTimestamp(999.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  writeTimestamp(1000.5);
  EXPECT_NE(reader.currentFrame(), nullptr);
}

TEST_F(SharedFrameReaderTest, SurfaceIDZeroAtStartIsNeverLookedUp) {
  writeID(0);
  writeTimestamp(5.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_THAT(t.media.lookups, IsEmpty());
  // Without a surface the timestamp file is not even read.
  for (const auto& [path, max] : t.files.reads) EXPECT_EQ(path.filename(), kSurfaceIDFileName);
}

TEST_F(SharedFrameReaderTest, SurfaceIDFilesOfTheWrongLengthAreIgnored) {
  auto surface = t.publish(5, 1.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  t.media.publishSurface(6);
  for (std::size_t length : {0u, 3u, 5u, 1000u}) {
    writeRaw(kSurfaceIDFileName, std::vector<std::byte>(length, std::byte{6}));
    writeTimestamp(2.0 + static_cast<double>(length));
    auto frame = reader.currentFrame();
    ASSERT_NE(frame, nullptr) << length;
    EXPECT_EQ(CVPixelBufferGetBaseAddress(frame), surface->baseAddress());  // the cached surface
  }
  EXPECT_THAT(t.media.lookups, ElementsAre(5u));
}

TEST_F(SharedFrameReaderTest, FramesGoOnWhenTheSurfaceIDFileIsDeleted) {
  t.publish(5, 1.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  t.files.removeFile(group, kSurfaceIDFileName);
  writeTimestamp(2.0);
  EXPECT_NE(reader.currentFrame(), nullptr);
}

TEST_F(SharedFrameReaderTest, FramesStopWhenTheMetadataFileIsUnusable) {
  t.publish(5, 1.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  t.files.removeFile(group, kFrameMetadataFileName);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.readFrameTimestamp(), 0.0);
  for (std::size_t length : {7u, 9u}) {
    writeRaw(kFrameMetadataFileName, std::vector<std::byte>(length, std::byte{0x7F}));
    EXPECT_EQ(reader.readFrameTimestamp(), 0.0) << length;
  }
  writeTimestamp(3.0);
  t.files.unreadable.insert(test::FakeFileManager::containerOf(group) / kFrameMetadataFileName);
  EXPECT_EQ(reader.currentFrame(), nullptr);
}

TEST_F(SharedFrameReaderTest, HandOffFilesAreReadAtMostOneByteBeyondTheirFormat) {
  t.publish(5, 1.0, group);
  writeRaw(kFrameMetadataFileName, std::vector<std::byte>(64 << 20, std::byte{1}));  // a huge file
  EXPECT_EQ(reader.currentFrame(), nullptr);
  ASSERT_THAT(t.files.reads, ::testing::SizeIs(2));
  EXPECT_EQ(t.files.reads[0].second, 5u);
  EXPECT_EQ(t.files.reads[1].second, 9u);
}

TEST_F(SharedFrameReaderTest, ANewSurfaceAndANewerTimestampInOneTickGiveTheNewFrame) {
  t.publish(5, 1.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  auto second = t.publish(6, 2.0, group);
  auto frame = reader.currentFrame();
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(CVPixelBufferGetBaseAddress(frame), second->baseAddress());
  EXPECT_EQ(reader.currentSurface(), second);
}

TEST_F(SharedFrameReaderTest, AFailedLookupIsNotRetriedUntilTheIDChanges) {
  writeID(8);  // nothing published under 8 yet
  writeTimestamp(1.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.lastSurfaceID(), 8u);
  EXPECT_EQ(reader.currentSurface(), nullptr);

  t.media.publishSurface(8);  // valid now, but the ID is already spent
  writeTimestamp(2.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_THAT(t.media.lookups, ElementsAre(8u));

  t.publish(9, 3.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  EXPECT_THAT(t.media.lookups, ElementsAre(8u, 9u));
}

TEST_F(SharedFrameReaderTest, AFailedLookupReleasesTheSurfaceHeldBefore) {
  auto surface = t.publish(5, 1.0, group);
  EXPECT_NE(reader.currentFrame(), nullptr);
  writeID(77);
  writeTimestamp(2.0);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.currentSurface(), nullptr);
  EXPECT_EQ(surface.use_count(), 2);  // ours and the fake's registry; the reader let go
}

TEST_F(SharedFrameReaderTest, ARefusedPixelBufferStillSpendsTheTimestamp) {
  t.publish(5, 1.0, group);
  t.media.refusePixelBufferWithSurface = true;
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_EQ(reader.lastTimestamp(), 1.0);
  t.media.refusePixelBufferWithSurface = false;
  EXPECT_EQ(reader.currentFrame(), nullptr);
}

TEST_F(SharedFrameReaderTest, NoContainerMeansNoFrames) {
  t.publish(5, 1.0, group);
  t.files.groupsWithoutContainer.insert(group);
  EXPECT_EQ(reader.currentFrame(), nullptr);
  EXPECT_THAT(t.media.lookups, IsEmpty());
  EXPECT_EQ(reader.readFrameTimestamp(), 0.0);
}

TEST_F(SharedFrameReaderTest, TheContainerIsAskedForAnewOnEveryRead) {
  t.publish(5, 1.0, group);
  reader.currentFrame();
  reader.currentFrame();
  EXPECT_EQ(t.files.containerLookups, 4);
}

}  // namespace
}  // namespace kolv
