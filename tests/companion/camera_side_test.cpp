// The companion library against the camera's own reader: the same group and
// container, pictures that arrive whole, and timestamps the camera accepts after a restart.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "companion_fixture.h"
#include "platform/linux/app_group_file_manager.h"
#include "platform/linux/info_plist_bundle.h"
#include "platform/linux/media_linux.h"
#include "platform/output/picture_conversion.h"
#include "shared/shared_frame_reader.h"
#include "support/binary_plist.h"
#include "support/test_platform.h"

namespace kolv::companion::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The camera's reader on the Linux file manager and surface lookup, as kolv-camera builds
// it; the rest of the platform is the test doubles, which the reader does not use.
struct Camera {
  Camera(const fs::path& runtime, const fs::path& registry, BundleServices& bundleServices)
      : files(runtime), media(nullptr, registry), bundles(bundleServices) {}

  kolv::test::TestPlatform unused;
  AppGroupFileManager files;
  LinuxMediaServices media;
  BundleServices& bundles;
  Platform platform{unused.host, media, unused.dispatch, bundles, files, unused.log, unused.runLoop};
};

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body + "</dict></plist>\n";
}

class CameraSideTest : public CompanionTest {};

TEST_F(CameraSideTest, ChoosesTheSameGroupAsTheCamera) {
  const std::vector<std::string> bodies = {
      "<key>AppGroupIdentifier</key><string>group.one</string>"
      "<key>com.apple.security.application-groups</key><array><string>group.two</string></array>",
      "<key>AppGroupIdentifier</key><string></string>",
      "<key>AppGroupIdentifier</key><integer>7</integer>"
      "<key>com.apple.security.application-groups</key><array><string>group.a</string><string>group.b</string></array>",
      "<key>com.apple.security.application-groups</key><array/>",
      "<key>com.apple.security.application-groups</key><string>group.single</string>",
      "<key>com.apple.security.application-groups</key><array><integer>1</integer><string>group.x</string></array>",
      "<key>CFBundleName</key><string>Kolv Camera</string>",
  };
  std::vector<fs::path> files;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    files.push_back(root_ / ("Info" + std::to_string(i) + ".plist"));
    std::ofstream(files.back()) << plist(bodies[i]);
  }
  files.push_back(root_ / "missing.plist");
  files.push_back(root_ / "garbage.plist");
  std::ofstream(files.back()) << "not a property list";
  files.push_back(fs::path(KOLV_SHIPPED_INFO_PLIST));
  // A binary Info.plist that names its group twice: both sides must take the same one.
  const std::string key = std::string("\x5F\x10\x12", 3) + "AppGroupIdentifier";
  files.push_back(root_ / "repeated.bplist");
  std::ofstream(files.back()) << kolv::test::binaryDictionary(
      {{key, kolv::test::asciiObject("group.first")}, {key, kolv::test::asciiObject("group.second")}});
  // And one with a key libplist cannot walk (UTF-16, U+0000).
  files.push_back(root_ / "nul-key.bplist");
  std::ofstream(files.back()) << kolv::test::binaryDictionary(
      {{std::string("\x61\x00\x00", 3), kolv::test::asciiObject("x")}, {key, kolv::test::asciiObject("group.nul")}});

  for (const auto& file : files) {
    InfoPlistBundleServices bundles(file);
    Camera camera(runtime(), registry(), bundles);
    EXPECT_EQ(resolveAppGroupID(file), SharedFrameReader::resolveAppGroupID(camera.platform)) << file;
  }
  EXPECT_EQ(resolveAppGroupID(files[0]), "group.one");
  EXPECT_EQ(resolveAppGroupID(files[2]), "group.a");
  EXPECT_EQ(resolveAppGroupID(fs::path(KOLV_SHIPPED_INFO_PLIST)), "group.kolv.vcamera");
  EXPECT_EQ(resolveAppGroupID(root_ / "nul-key.bplist"), "group.nul");
}

TEST_F(CameraSideTest, FindsTheSameContainerAsTheCamera) {
  const AppGroupFileManager files(runtime());
  for (const std::string group : {"group.kolv.vcamera", "group.other", "", ".", "..", "a/b"}) {
    EXPECT_EQ(appGroupContainer(runtime(), group), files.containerURLForSecurityApplicationGroupIdentifier(group))
        << "'" << group << "'";
  }
}

class CameraReadsCompanionTest : public CompanionTest {
 protected:
  kolv::test::FakeBundleServices bundles_;  // no keys: both sides use the fallback group
  Camera camera_{runtime(), registry(), bundles_};
  SharedFrameReader reader_{camera_.platform};

  Publisher open() {
    Error error;
    auto publisher = Publisher::open(options(), &error);
    EXPECT_TRUE(publisher) << error.message();
    return std::move(*publisher);
  }
  // One tick of the camera: the frame it sends (null for grey). Once `publisher` names a
  // surface the camera holds it and reads the frame file; then this waits until the
  // publisher's watcher has answered that read.
  static CVPixelBufferRef cameraTick(SharedFrameReader& reader, const Publisher& publisher) {
    const auto before = publisher.frameFileReads();
    auto frame = reader.currentFrame();
    if (publisher.publishedSurfaceID() != 0) {
      EXPECT_TRUE(eventually([&] { return publisher.frameFileReads() > before; })) << "the watcher saw no read";
    }
    return frame;
  }
  CVPixelBufferRef cameraTick(const Publisher& publisher) { return cameraTick(reader_, publisher); }
  static std::uint32_t firstWord(const CVPixelBufferRef& frame) {
    std::uint32_t word = 0;
    std::memcpy(&word, CVPixelBufferGetBaseAddress(frame), sizeof word);
    return word;
  }
  static void draw(Publisher& publisher, std::uint32_t word) {
    auto canvas = publisher.beginFrame();
    ASSERT_TRUE(canvas);
    for (std::size_t i = 0; i + 4 <= canvas->pixels.size(); i += 4) std::memcpy(&canvas->pixels[i], &word, 4);
    ASSERT_EQ(publisher.publish(), Status::ok);
  }
};

TEST_F(CameraReadsCompanionTest, TheCameraSendsTheLastPictureOnEveryTickUntilTheNext) {
  auto publisher = open();
  EXPECT_FALSE(cameraTick(publisher));
  draw(publisher, 0x11223344);
  for (int i = 0; i < 10; ++i) {
    const auto frame = cameraTick(publisher);
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(CVPixelBufferGetWidth(frame), 64u);
    EXPECT_EQ(CVPixelBufferGetHeight(frame), 36u);
    EXPECT_EQ(firstWord(frame), 0x11223344u);
  }
  draw(publisher, 0x55667788);
  for (int i = 0; i < 10; ++i) {
    const auto frame = cameraTick(publisher);
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(firstWord(frame), 0x55667788u);
  }
}

// A companion that goes takes back the timestamp it wrote after the camera's last read: a
// consumer that opens the camera afterwards gets grey at once, not a frame of the old picture.
TEST_F(CameraReadsCompanionTest, TheCameraSendsGreyAtOnceWhenTheCompanionHasGone) {
  auto publisher = std::make_unique<Publisher>(open());
  draw(*publisher, 3);
  ASSERT_TRUE(cameraTick(*publisher));
  ASSERT_TRUE(cameraTick(*publisher));
  publisher.reset();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(reader_.currentFrame()) << i;
}

TEST_F(CameraReadsCompanionTest, TheCameraTakesPicturesFromARestartedCompanion) {
  clock_->wall = 50'000.0;
  {
    auto publisher = open();
    draw(publisher, 1);
    ASSERT_TRUE(cameraTick(publisher));
  }
  EXPECT_FALSE(reader_.currentFrame());
  clock_->wall = 20.0;  // a clock far behind the last timestamp
  auto publisher = open();
  draw(publisher, 2);
  const auto frame = cameraTick(publisher);
  ASSERT_TRUE(frame);
  EXPECT_EQ(firstWord(frame), 2u);
}

// Turn-taking, simulated in 1 ms steps on the test's clock. The camera ticks every 1/30 s,
// takes the surface the file names if its timestamp is new, and copies it out up to 32 ms
// later (its PipeWire thread wakes before the next tick). The companion draws each picture
// in four strips, a few milliseconds apart, and publishes it at once or soon after.
// Every pixel of picture n holds n, so a copy with more than one value is torn.
struct TurnTaking {
  int sent = 0;
  int torn = 0;
  int busy = 0;
  int drawnWhileNamed = 0;
  int published = 0;
  bool increasing = true;
  std::size_t surfaces = 0;
};

class TurnTakingTest : public CameraReadsCompanionTest {
 protected:
  TurnTaking simulate(std::size_t surfaceCount, std::size_t maxSurfaceCount, std::chrono::milliseconds reuseDelay,
                      std::uint32_t seed) {
    // Each run starts afresh: no files, and a camera that has sent nothing yet.
    std::filesystem::remove_all(container());
    SharedFrameReader reader(camera_.platform);
    Options settings = options();
    settings.surfaceCount = surfaceCount;
    settings.maxSurfaceCount = maxSurfaceCount;
    settings.reuseDelay = reuseDelay;
    Error error;
    auto publisher = Publisher::open(settings, &error);
    EXPECT_TRUE(publisher) << error.message();
    if (!publisher) return {};

    std::mt19937 random(seed);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    TurnTaking result;
    CVPixelBufferRef waiting;  // the camera's sample waiting to be copied
    int copyAt = -1;
    int tick = 0;
    std::optional<Canvas> canvas;
    int strips = 0;
    int nextStep = 0;
    std::int64_t lastSent = -1;

    for (int ms = 0; ms < 10'000; ++ms) {
      clock_->now = std::chrono::seconds(100) + std::chrono::milliseconds(ms);
      clock_->wall = 1000.0 + ms / 1000.0;
      if (ms == tick * 100 / 3) {
        ++tick;
        if (auto frame = cameraTick(reader, *publisher)) {
          waiting = std::move(frame);  // replaces a sample not yet copied, as the host does
          copyAt = ms + between(0, 32);
        }
      }
      if (waiting && ms == copyAt) {
        const auto* words = static_cast<const std::uint32_t*>(CVPixelBufferGetBaseAddress(waiting));
        const std::size_t count = CVPixelBufferGetBytesPerRow(waiting) * CVPixelBufferGetHeight(waiting) / 4;
        ++result.sent;
        if (!std::all_of(words, words + count, [&](std::uint32_t w) { return w == words[0]; })) ++result.torn;
        if (static_cast<std::int64_t>(words[0]) <= lastSent) result.increasing = false;
        lastSent = words[0];
        waiting.reset();
      }
      if (ms < nextStep) continue;
      if (!canvas) {
        canvas = publisher->beginFrame();
        if (!canvas) {
          ++result.busy;
          nextStep = ms + 1;
          continue;
        }
        strips = 0;
      }
      const auto named = readBytes(container() / kSurfaceIDFileName);
      if (named.size() == 4 && std::memcmp(named.data(), &canvas->surfaceID, 4) == 0) ++result.drawnWhileNamed;
      const std::size_t rows = canvas->height / 4;
      const auto picture = static_cast<std::uint32_t>(result.published + 1);
      for (std::size_t i = strips * rows * canvas->bytesPerRow; i < (strips + 1) * rows * canvas->bytesPerRow; i += 4) {
        std::memcpy(&canvas->pixels[i], &picture, 4);
      }
      if (++strips < 4) {
        nextStep = ms + between(0, 4);
        continue;
      }
      EXPECT_EQ(publisher->publish(), Status::ok);
      ++result.published;
      canvas.reset();
      nextStep = ms + between(0, 12);
    }
    result.surfaces = publisher->surfaceIDs().size();
    return result;
  }
};

TEST_F(TurnTakingTest, TheCameraNeverSendsAPictureBeingDrawn) {
  for (std::uint32_t seed : {1u, 2u, 3u}) {
    const TurnTaking result = simulate(3, 16, kDefaultReuseDelay, seed);
    EXPECT_EQ(result.drawnWhileNamed, 0) << seed;
    EXPECT_EQ(result.torn, 0) << seed;
    EXPECT_TRUE(result.increasing) << seed;
    // The camera had a picture to send on every tick after the first picture (the last one
    // re-stamped where the companion's pace left a tick without a new one); the ring grew
    // instead of making the companion wait.
    EXPECT_GE(result.sent, 298) << seed;
    EXPECT_EQ(result.busy, 0) << seed;
    EXPECT_GT(result.surfaces, 3u) << seed;
  }
}

// Held to three surfaces, the companion publishes faster than they may be reused: it is
// kept waiting, and still no picture is torn.
TEST_F(TurnTakingTest, AFullRingMakesTheCompanionWaitRatherThanTear) {
  const TurnTaking result = simulate(3, 3, kDefaultReuseDelay, 4);
  EXPECT_EQ(result.torn, 0);
  EXPECT_GT(result.busy, 0);
  EXPECT_GT(result.sent, 100);
  EXPECT_EQ(result.surfaces, 3u);
}

// The same run with surfaces reused at once: taking turns without the delay lets the
// companion draw over a picture the camera is still copying, and the simulation sees it.
TEST_F(TurnTakingTest, ReusingASurfaceTooSoonTearsPictures) {
  const TurnTaking result = simulate(2, 2, 0ms, 1);
  EXPECT_EQ(result.drawnWhileNamed, 0);
  EXPECT_GT(result.torn, 0);
}

// Pictures in every format the library publishes, drawn plane by plane as a producer does
// from the canvas's description, read by the camera and converted to 'BGRA' as its PipeWire
// host converts them. Each pixel differs from its neighbours, so a plane at the wrong offset,
// a wrong row length or swapped chroma shows.
struct Colour {
  int b, g, r, a;
};

Colour packedColour(std::size_t x, std::size_t y) {
  return {static_cast<int>((x * 3 + y) % 256), static_cast<int>((y * 5 + 17) % 256),
          static_cast<int>((x + y * 7 + 40) % 256), static_cast<int>(200 + x % 50)};
}
int lumaAt(std::size_t x, std::size_t y) { return 16 + static_cast<int>((x * 7 + y * 3) % 220); }
// Chroma for the block of pixels at chroma column cx, chroma row cy.
int uAt(std::size_t cx, std::size_t cy) { return 16 + static_cast<int>((cx * 11 + cy * 5) % 225); }
int vAt(std::size_t cx, std::size_t cy) { return 16 + static_cast<int>((cx * 3 + cy * 13 + 60) % 225); }

// BT.601 limited range, the camera's conversion.
Colour fromYUV(int y, int u, int v) {
  const double luma = 1.164 * (y - 16);
  const auto clamp = [](double value) { return static_cast<int>(std::lround(std::clamp(value, 0.0, 255.0))); };
  return {clamp(luma + 2.018 * (u - 128)), clamp(luma - 0.391 * (u - 128) - 0.813 * (v - 128)),
          clamp(luma + 1.596 * (v - 128)), 255};
}

std::string fourCCName(std::uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

void drawFormat(const Canvas& canvas) {
  const auto put = [&](std::size_t plane, std::size_t row, std::size_t byte, int value) {
    const Plane& p = canvas.planes[plane];
    ASSERT_LT(byte, p.rowBytes);
    ASSERT_LT(row, p.rows);
    p.bytes[row * p.bytesPerRow + byte] = static_cast<std::byte>(value);
  };
  for (std::size_t y = 0; y < canvas.height; ++y) {
    for (std::size_t x = 0; x < canvas.width; ++x) {
      const Colour c = packedColour(x, y);
      const int luma = lumaAt(x, y);
      const bool left = x % 2 == 0;
      switch (canvas.pixelFormat) {
        case kPixelFormatBGRA:
        case kPixelFormatRGBA:
        case kPixelFormatARGB:
        case kPixelFormatABGR:  // the name spells the bytes
          for (std::size_t i = 0; i < 4; ++i) {
            const char channel = fourCCName(canvas.pixelFormat)[i];
            put(0, y, x * 4 + i, channel == 'B' ? c.b : channel == 'G' ? c.g : channel == 'R' ? c.r : c.a);
          }
          break;
        case kPixelFormatNV12:
          put(0, y, x, luma);
          if (left && y % 2 == 0) put(1, y / 2, x, uAt(x / 2, y / 2)), put(1, y / 2, x + 1, vAt(x / 2, y / 2));
          break;
        case kPixelFormatI420:
          put(0, y, x, luma);
          if (left && y % 2 == 0) put(1, y / 2, x / 2, uAt(x / 2, y / 2)), put(2, y / 2, x / 2, vAt(x / 2, y / 2));
          break;
        case kPixelFormatYUY2:  // Y0 U Y1 V
          put(0, y, x * 2, luma);
          if (left) put(0, y, x * 2 + 1, uAt(x / 2, y)), put(0, y, x * 2 + 3, vAt(x / 2, y));
          break;
        case kPixelFormatUYVY:  // U Y0 V Y1
          put(0, y, x * 2 + 1, luma);
          if (left) put(0, y, x * 2, uAt(x / 2, y)), put(0, y, x * 2 + 2, vAt(x / 2, y));
          break;
        default:
          FAIL() << "no drawing for format " << canvas.pixelFormat;
      }
    }
  }
}

Colour expectedColour(std::uint32_t format, std::size_t x, std::size_t y) {
  switch (format) {
    case kPixelFormatNV12:
    case kPixelFormatI420:
      return fromYUV(lumaAt(x, y), uAt(x / 2, y / 2), vAt(x / 2, y / 2));
    case kPixelFormatYUY2:
    case kPixelFormatUYVY:
      return fromYUV(lumaAt(x, y), uAt(x / 2, y), vAt(x / 2, y));
    default:
      return packedColour(x, y);
  }
}

TEST_F(CameraReadsCompanionTest, PicturesOfEveryFormatReachTheCameraAndConvertToBGRA) {
  for (const std::uint32_t format : kPixelFormats) {
    SCOPED_TRACE(fourCCName(format));
    std::filesystem::remove_all(container());
    SharedFrameReader reader(camera_.platform);
    Options settings = options();
    settings.pixelFormat = format;
    auto publisher = CompanionTest::open(settings);
    auto canvas = publisher.beginFrame();
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->pixelFormat, format);
    drawFormat(*canvas);
    if (HasFatalFailure()) return;
    ASSERT_EQ(publisher.publish(), Status::ok);

    const auto frame = cameraTick(reader, publisher);
    ASSERT_TRUE(frame) << "the camera refused the surface";
    EXPECT_EQ(CVPixelBufferGetPixelFormatType(frame), format);
    ASSERT_EQ(CVPixelBufferGetWidth(frame), 64u);
    ASSERT_EQ(CVPixelBufferGetHeight(frame), 36u);
    std::vector<std::uint8_t> bgra(64 * 36 * 4, 0);
    const output::SourcePicture source{static_cast<const std::byte*>(CVPixelBufferGetBaseAddress(frame)), 64, 36,
                                       CVPixelBufferGetBytesPerRow(frame)};
    ASSERT_TRUE(output::convertToBGRA(source, format, {reinterpret_cast<std::byte*>(bgra.data()), 64, 36, 64 * 4}));
    int wrong = 0;
    for (std::size_t y = 0; y < 36; ++y) {
      for (std::size_t x = 0; x < 64; ++x) {
        const Colour want = expectedColour(format, x, y);
        const std::uint8_t* got = &bgra[(y * 64 + x) * 4];
        const bool near = std::abs(got[0] - want.b) <= 2 && std::abs(got[1] - want.g) <= 2 &&
                          std::abs(got[2] - want.r) <= 2 && std::abs(got[3] - want.a) <= 2;
        if (!near && wrong++ < 3) {
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << int{got[0]} << " " << int{got[1]} << " " << int{got[2]}
                        << " " << int{got[3]} << ", expected " << want.b << " " << want.g << " " << want.r << " "
                        << want.a;
        }
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
}  // namespace kolv::companion::test
