// Shared surfaces: the creating side, the registry, and lookup through LinuxMediaServices,
// in one process and across processes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "support/temporary_folder.h"

#include "handoff/shared_surface.h"
#include "handoff/unique_fd.h"
#include "platform/linux/media_linux.h"
#include "support/fake_foundation.h"

namespace kolv {
namespace {

constexpr std::uint32_t kBGRA = 0x42475241;
constexpr std::uint32_t kNV12 = 0x4e563132;
constexpr std::uint32_t kI420 = 0x49343230;
constexpr std::uint32_t kYUY2 = 0x59555932;
constexpr std::uint32_t kUYVY = 0x55595659;
constexpr std::uint32_t kARGB = 0x41524742;

// A private registry folder under a fresh temporary folder, removed afterwards.
class SurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.path().empty()); }

  IOSurfaceRef lookup(IOSurfaceID id) { return media_.IOSurfaceLookup(id); }

  const test::TemporaryFolder root_{"kolv-surface-test"};
  const std::filesystem::path registry_ = root_ / "kolv-surfaces";
  LinuxMediaServices media_{nullptr, registry_};
};

void fillPattern(std::span<std::byte> bytes, unsigned seed) {
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>((i * 31 + seed) % 251);
}
bool hasPattern(const void* data, std::size_t size, unsigned seed) {
  const auto* bytes = static_cast<const std::byte*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != static_cast<std::byte>((i * 31 + seed) % 251)) return false;
  }
  return true;
}

// The permissions ("rw-s", "r--s"...) of the mapping that holds `address`, from /proc/self/maps.
std::string mappingPermissions(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto where = reinterpret_cast<std::uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char permissions[5] = {};
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %4s", &start, &end, permissions) == 3 && where >= start &&
        where < end) {
      return permissions;
    }
  }
  return "";
}

TEST_F(SurfaceTest, LookupSharesTheCreatorsPagesAndGeometry) {
  auto surface = SharedSurface::createIn(registry_, 40, 30, kBGRA, 176);
  ASSERT_TRUE(surface);
  EXPECT_NE(surface->id(), 0U);
  ASSERT_EQ(surface->pixels().size(), 30U * 176U);
  fillPattern(surface->pixels(), 1);

  IOSurfaceRef view = lookup(surface->id());
  ASSERT_TRUE(view);
  EXPECT_EQ(view->surfaceID(), surface->id());
  EXPECT_EQ(view->width(), 40U);
  EXPECT_EQ(view->height(), 30U);
  EXPECT_EQ(view->bytesPerRow(), 176U);
  EXPECT_EQ(view->pixelFormat(), kBGRA);
  EXPECT_TRUE(hasPattern(view->baseAddress(), 30 * 176, 1));

  // Without a copy: the same pages under two mappings; the camera's is read-only.
  EXPECT_NE(view->baseAddress(), static_cast<void*>(surface->pixels().data()));
  fillPattern(surface->pixels(), 3);
  EXPECT_TRUE(hasPattern(view->baseAddress(), 30 * 176, 3));
  EXPECT_EQ(mappingPermissions(view->baseAddress()), "r--s");
  auto buffer = media_.CVPixelBufferCreateWithIOSurface(view, nullptr);
  ASSERT_EQ(buffer.status, noErr);
  EXPECT_EQ(buffer.value->baseAddress(), view->baseAddress());
  EXPECT_TRUE(hasPattern(buffer.value->baseAddress(), 30 * 176, 3));

  // A host that passes the pages on maps the descriptor and finds the same pixels.
  auto region = view->sharedMemory();
  ASSERT_TRUE(region);
  EXPECT_EQ(::fcntl(region->fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(region->offset, 4096U);
  EXPECT_EQ(region->size, 30U * 176U);
  void* hostMapping = ::mmap(nullptr, region->offset + region->size, PROT_READ, MAP_SHARED, region->fd, 0);
  ASSERT_NE(hostMapping, MAP_FAILED);
  EXPECT_TRUE(hasPattern(static_cast<std::byte*>(hostMapping) + region->offset, region->size, 3));
  ::munmap(hostMapping, region->offset + region->size);

  auto packed = SharedSurface::createIn(registry_, 8, 4);
  ASSERT_TRUE(packed);
  EXPECT_NE(packed->id(), surface->id());
  EXPECT_EQ(packed->bytesPerRow(), 32U);
  struct stat folder {};
  ASSERT_EQ(::stat(registry_.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700U);
}

TEST_F(SurfaceTest, CreateRefusesBadGeometryAndUnsafeRegistries) {
  EXPECT_FALSE(SharedSurface::createIn(registry_, 0, 10));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 10, 0));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 16385, 10));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 10, 16385));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 10, 10, kBGRA, 39));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 10, 10, 0));
  EXPECT_FALSE(SharedSurface::createIn(root_ / "missing" / "kolv-surfaces", 10, 10));
  EXPECT_FALSE(SharedSurface::createIn({}, 10, 10));

  // Anyone who may write to the folder could plant entries: neither side uses it.
  auto surface = SharedSurface::createIn(registry_, 10, 10);
  ASSERT_TRUE(surface);
  ASSERT_EQ(::chmod(registry_.c_str(), 0777), 0);
  EXPECT_FALSE(lookup(surface->id()));
  EXPECT_FALSE(SharedSurface::createIn(registry_, 10, 10));
  ASSERT_EQ(::chmod(registry_.c_str(), 0700), 0);
  EXPECT_TRUE(lookup(surface->id()));

  // Nor one reached through a link.
  std::filesystem::create_directory_symlink(registry_, root_ / "linked");
  EXPECT_FALSE(LinuxMediaServices(nullptr, root_ / "linked").IOSurfaceLookup(surface->id()));
}

TEST(SurfaceLayoutTest, ChromaPlanesFollowTheLumaPlaneWithRowsForOddSizes) {
  // 7 x 5 pixels, rows of 8 bytes: 4 chroma samples across, 3 rows of them.
  const SurfacePlanes nv12 = surfacePlanes(7, 5, kNV12, 8);
  ASSERT_EQ(nv12.count, 2U);
  EXPECT_EQ(nv12.planes[1].offset, 40U);
  EXPECT_EQ(nv12.planes[1].bytesPerRow, 8U);
  EXPECT_EQ(nv12.planes[1].rows, 3U);
  EXPECT_EQ(nv12.size, 64U);
  const SurfacePlanes i420 = surfacePlanes(7, 5, kI420, 8);
  ASSERT_EQ(i420.count, 3U);
  EXPECT_EQ(i420.planes[1].offset, 40U);
  EXPECT_EQ(i420.planes[2].offset, 52U);
  EXPECT_EQ(i420.planes[2].bytesPerRow, 4U);
  EXPECT_EQ(i420.planes[2].rows, 3U);
  EXPECT_EQ(i420.size, 64U);

  // The shortest rows that each format accepts, and that they are accepted.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> shortest = {
      {kBGRA, 28}, {kARGB, 28}, {kNV12, 8}, {kI420, 7}, {kYUY2, 16}, {kUYVY, 16}, {0x4c303038, 7}};
  for (const auto& [format, bytesPerRow] : shortest) {
    SCOPED_TRACE(format);
    EXPECT_EQ(packedBytesPerRow(7, format), bytesPerRow);
    EXPECT_TRUE(isValidSurfaceGeometry(7, 5, format, bytesPerRow));
    EXPECT_FALSE(isValidSurfaceGeometry(7, 5, format, bytesPerRow - 1));
  }
  // The codes other systems use for the same layouts.
  EXPECT_EQ(surfaceFormatKind(0x34323076), SurfaceFormatKind::kNV12);  // '420v'
  EXPECT_EQ(surfaceFormatKind(0x79343230), SurfaceFormatKind::kI420);  // 'y420'
  EXPECT_EQ(surfaceFormatKind(0x79757673), SurfaceFormatKind::kYUY2);  // 'yuvs'
  EXPECT_EQ(surfaceFormatKind(0x32767579), SurfaceFormatKind::kUYVY);  // '2vuy'
}

TEST_F(SurfaceTest, SurfacesOfEveryFormatShareAllTheirPlanes) {
  for (const std::uint32_t format : {kNV12, kI420, kYUY2, kUYVY, kARGB}) {
    SCOPED_TRACE(format);
    auto surface = SharedSurface::createIn(registry_, 7, 5, format);
    ASSERT_TRUE(surface);
    const std::size_t size = surfacePlanes(7, 5, format, surface->bytesPerRow()).size;
    ASSERT_EQ(surface->pixels().size(), size);
    fillPattern(surface->pixels(), format);
    IOSurfaceRef view = lookup(surface->id());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->pixelFormat(), format);
    EXPECT_TRUE(hasPattern(view->baseAddress(), size, format));
    ASSERT_TRUE(view->sharedMemory());
    EXPECT_EQ(view->sharedMemory()->size, size);
  }
}

TEST_F(SurfaceTest, IDsThatNameNothingFindNothing) {
  auto surface = SharedSurface::createIn(registry_, 4, 4);
  ASSERT_TRUE(surface);
  EXPECT_FALSE(lookup(0));
  EXPECT_FALSE(lookup(surface->id() + 1));
  EXPECT_FALSE(LinuxMediaServices(nullptr, {}).IOSurfaceLookup(surface->id()));
  EXPECT_FALSE(LinuxMediaServices(nullptr, root_ / "elsewhere").IOSurfaceLookup(surface->id()));

  EXPECT_EQ(media_.lookupSurface(0).refusal, SurfaceRefusal::zeroID);
  EXPECT_EQ(media_.lookupSurface(surface->id() + 1).refusal, SurfaceRefusal::noEntry);
  EXPECT_EQ(LinuxMediaServices(nullptr, root_ / "elsewhere").lookupSurface(surface->id()).refusal,
            SurfaceRefusal::noRegistry);
  EXPECT_EQ(media_.lookupSurface(surface->id()).refusal, SurfaceRefusal::none);
}

TEST_F(SurfaceTest, SurfacesTakenInTurnStayMappedWhileTheyArePublished) {
  std::vector<SharedSurface> turn;
  for (int i = 0; i < 5; ++i) turn.push_back(*SharedSurface::createIn(registry_, 16, 16));
  std::vector<IOSurfaceRef> first;
  for (const auto& surface : turn) first.push_back(media_.IOSurfaceLookup(surface.id()));
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < turn.size(); ++i) {
      EXPECT_EQ(media_.IOSurfaceLookup(turn[i].id()), first[i]) << "round " << round;  // the same mapping
    }
  }
  // A released surface is gone, even though it was found a moment ago.
  const IOSurfaceID released = turn[0].id();
  turn.erase(turn.begin());
  EXPECT_EQ(media_.IOSurfaceLookup(released), nullptr);
}

TEST_F(SurfaceTest, ViewStaysValidWhateverTheProducerDoes) {
  auto surface = SharedSurface::createIn(registry_, 32, 16);
  ASSERT_TRUE(surface);
  const IOSurfaceID id = surface->id();
  fillPattern(surface->pixels(), 4);
  IOSurfaceRef view = lookup(id);
  ASSERT_TRUE(view);

  // The producer scribbles over its header: the view keeps the geometry it looked up.
  {
    UniqueFD file(::open((registry_ / std::to_string(id)).c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(file);
    std::vector<char> garbage(4096, '\xff');
    ASSERT_EQ(::pwrite(file.get(), garbage.data(), garbage.size(), 0), 4096);
  }
  EXPECT_EQ(view->width(), 32U);
  EXPECT_EQ(view->height(), 16U);
  EXPECT_EQ(view->bytesPerRow(), 128U);

  // Then it goes: entry removed, descriptor closed, mapping gone. The view still holds the
  // pages, every byte of them readable.
  surface.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(registry_ / std::to_string(id))));
  EXPECT_FALSE(lookup(id));
  EXPECT_TRUE(hasPattern(view->baseAddress(), 16 * 128, 4));
}

// ---- Files published by hand, as a companion in another language would ---------------

struct HandMade {
  char magic[9] = "KOLVSURF";
  std::uint32_t version = 1;
  std::uint32_t headerID = 0;  // 0: the entry's ID
  std::uint32_t width = 16;
  std::uint32_t height = 8;
  std::uint32_t pixelFormat = kBGRA;
  std::uint32_t bytesPerRow = 64;
  std::uint64_t pixelOffset = 4096;
  off_t fileSize = 0;  // 0: pixel offset + height * bytes per row
  int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
};

void put32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A memfd laid out by the byte offsets of the documented format, linked as `id`; the
// returned descriptor keeps it alive.
UniqueFD publishByHand(const std::filesystem::path& registry, std::uint32_t id, const HandMade& made) {
  UniqueFD fd(::memfd_create("hand-made", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return {};
  const off_t size =
      made.fileSize != 0 ? made.fileSize : static_cast<off_t>(made.pixelOffset + made.height * made.bytesPerRow);
  std::vector<unsigned char> header(64, 0);
  std::memcpy(header.data(), made.magic, 8);
  put32(header, 8, made.version);
  put32(header, 12, made.headerID != 0 ? made.headerID : id);
  put32(header, 16, made.width);
  put32(header, 20, made.height);
  put32(header, 24, made.pixelFormat);
  put32(header, 28, made.bytesPerRow);
  put32(header, 32, static_cast<std::uint32_t>(made.pixelOffset));
  put32(header, 36, static_cast<std::uint32_t>(made.pixelOffset >> 32));
  if (::pwrite(fd.get(), header.data(), header.size(), 0) != 64) return {};
  if (::ftruncate(fd.get(), size) != 0) return {};
  if (made.seals != 0 && ::fcntl(fd.get(), F_ADD_SEALS, made.seals) != 0) return {};
  const std::string target = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd.get());
  if (::symlink(target.c_str(), (registry / std::to_string(id)).c_str()) != 0) return {};
  return fd;
}

TEST_F(SurfaceTest, OnlySealedWellFormedFilesOfThisIDAreSurfaces) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  using R = SurfaceRefusal;
  struct Case {
    const char* name;
    std::function<void(HandMade&)> change;
    SurfaceRefusal refusal;  // none: found
    const char* reason;      // a part of the refusal's reason
  };
  const std::vector<Case> cases = {
      {"as documented", [](HandMade&) {}, R::none, ""},
      {"larger file than needed", [](HandMade& m) { m.fileSize = 1 << 20; }, R::none, ""},
      {"wider rows than needed", [](HandMade& m) { m.bytesPerRow = 100; }, R::none, ""},
      {"other format, one byte a pixel", [](HandMade& m) { m.pixelFormat = 0x4c303038, m.bytesPerRow = 16; }, R::none,
       ""},
      {"unsealed", [](HandMade& m) { m.seals = 0; }, R::unsealed, "not sealed"},
      {"may grow", [](HandMade& m) { m.seals = F_SEAL_SHRINK; }, R::unsealed, "not sealed"},
      {"may shrink", [](HandMade& m) { m.seals = F_SEAL_GROW | F_SEAL_SEAL; }, R::unsealed, "not sealed"},
      {"wrong magic", [](HandMade& m) { m.magic[0] = 'k'; }, R::badHeader, "magic is not KOLVSURF"},
      {"version 2", [](HandMade& m) { m.version = 2; }, R::badHeader, "format version 2, expected 1"},
      {"another ID inside", [](HandMade& m) { m.headerID = 77; }, R::idMismatch, "names surface 77 (ID mismatch)"},
      {"zero width", [](HandMade& m) { m.width = 0; }, R::badHeader, "invalid geometry 0x8"},
      {"no pixel format", [](HandMade& m) { m.pixelFormat = 0; }, R::badHeader, "pixel format 0"},
      {"too tall", [](HandMade& m) { m.height = 16385, m.fileSize = 4096 + 64; }, R::badHeader, "invalid geometry"},
      {"rows too short", [](HandMade& m) { m.bytesPerRow = 63; }, R::badHeader, "63 bytes per row"},
      {"pixel offset off a page", [](HandMade& m) { m.pixelOffset = 64; }, R::badHeader, "pixel offset 64"},
      {"pixel offset at 0", [](HandMade& m) { m.pixelOffset = 0; }, R::badHeader, "pixel offset 0"},
      {"pixel offset past 4 GiB", [](HandMade& m) { m.pixelOffset = 1ULL << 32, m.fileSize = 4096; }, R::badHeader,
       "pixel offset 4294967296"},
      {"file shorter than its rows", [](HandMade& m) { m.fileSize = 4096 + 7 * 64; }, R::shorterThanHeader,
       "is 4544 bytes, shorter than the 4608 its header describes (16x8, 64 bytes per row)"},
      {"taller than its file", [](HandMade& m) { m.height = 720, m.fileSize = 4096 + 8 * 64; }, R::shorterThanHeader,
       "shorter than the 50176"},
      {"header cut short", [](HandMade& m) { m.fileSize = 32; }, R::badHeader, "shorter than the 64-byte header"},
      // 4:2:0 formats: the chroma plane(s) follow the Y plane and must fit in the file too.
      {"NV12 with its U, V plane",
       [](HandMade& m) { m.pixelFormat = kNV12, m.bytesPerRow = 16, m.fileSize = 4096 + 12 * 16; }, R::none, ""},
      {"NV12 one byte short of its U, V plane",
       [](HandMade& m) { m.pixelFormat = kNV12, m.bytesPerRow = 16, m.fileSize = 4096 + 12 * 16 - 1; },
       R::shorterThanHeader, "shorter than"},
      {"NV12 with the Y plane only", [](HandMade& m) { m.pixelFormat = kNV12, m.bytesPerRow = 16; },
       R::shorterThanHeader, "shorter than"},
      {"NV12 of odd width, rows short of the last U, V pair",
       [](HandMade& m) { m.pixelFormat = kNV12, m.width = 15, m.bytesPerRow = 15, m.fileSize = 1 << 16; }, R::badHeader,
       ""},
      {"I420 of odd size with its U and V planes",
       [](HandMade& m) {
         m.pixelFormat = kI420, m.width = 15, m.height = 7, m.bytesPerRow = 15, m.fileSize = 4096 + 105 + 2 * 4 * 8;
       },
       R::none, ""},
      {"I420 of odd size one byte short of its V plane",
       [](HandMade& m) {
         m.pixelFormat = kI420, m.width = 15, m.height = 7, m.bytesPerRow = 15, m.fileSize = 4096 + 105 + 2 * 4 * 8 - 1;
       },
       R::shorterThanHeader, "shorter than"},
      {"YUY2 rows short of the last two-pixel group",
       [](HandMade& m) { m.pixelFormat = kYUY2, m.width = 15, m.bytesPerRow = 31, m.fileSize = 1 << 16; }, R::badHeader,
       ""},
      {"UYVY of odd width", [](HandMade& m) { m.pixelFormat = kUYVY, m.width = 15, m.bytesPerRow = 32; }, R::none, ""},
      {"ARGB rows short of the last pixel", [](HandMade& m) { m.pixelFormat = kARGB, m.bytesPerRow = 63; },
       R::badHeader, "63 bytes per row"},
  };
  std::uint32_t id = 1000;
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    HandMade made;
    testCase.change(made);
    UniqueFD keepAlive = publishByHand(registry_, ++id, made);
    ASSERT_TRUE(keepAlive);
    const SurfaceLookupResult result = media_.lookupSurface(id);
    EXPECT_EQ(result.refusal, testCase.refusal);
    EXPECT_EQ(static_cast<bool>(result.surface), testCase.refusal == R::none);
    EXPECT_NE(result.reason.find(testCase.reason), std::string::npos) << result.reason;
    // The core's lookup agrees: the surface, or nothing.
    IOSurfaceRef view = lookup(id);
    EXPECT_EQ(static_cast<bool>(view), testCase.refusal == R::none);
    if (view) {
      EXPECT_EQ(view->bytesPerRow(), made.bytesPerRow);
    }
  }
}

TEST_F(SurfaceTest, EntriesThatAreNotMemfdsFindNothingAndNeverBlock) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  // A plain file, even one with a valid header: it could be truncated under the mapping.
  std::vector<std::byte> plain(4096 + 8 * 64);
  encodeSurfaceHeader({4, 16, 8, kBGRA, 64, kSurfacePixelOffset}, std::span(plain).first<kSurfaceHeaderSize>());
  {
    UniqueFD file(::open((root_ / "plain").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::write(file.get(), plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
  }
  std::filesystem::create_symlink(root_ / "plain", registry_ / "4");
  EXPECT_FALSE(lookup(4));
  EXPECT_EQ(media_.lookupSurface(4).refusal, SurfaceRefusal::notMemfd);

  ASSERT_EQ(::mkfifo((registry_ / "5").c_str(), 0600), 0);
  EXPECT_FALSE(lookup(5));
  EXPECT_EQ(media_.lookupSurface(5).refusal, SurfaceRefusal::notMemfd);
  std::filesystem::create_symlink("/proc/self/fd/987654", registry_ / "6");
  EXPECT_FALSE(lookup(6));
  EXPECT_EQ(media_.lookupSurface(6).refusal, SurfaceRefusal::danglingEntry);
}

// The running camera's log: a line for each new kind of refusal, none while it repeats,
// whatever the IDs; after a surface is found, the same fault is news again.
TEST_F(SurfaceTest, RefusalsAreLoggedOnceUntilTheyChange) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  test::CapturingLog log;
  LinuxMediaServices media(nullptr, log, registry_);
  const auto messages = [&log] {
    std::vector<std::string> out;
    for (const auto& line : log.lines()) out.push_back(line.message);
    return out;
  };
  HandMade lying;
  lying.headerID = 5;
  std::vector<UniqueFD> keepAlive;
  for (std::uint32_t id : {11U, 12U, 13U}) keepAlive.push_back(publishByHand(registry_, id, lying));
  std::filesystem::create_symlink("/proc/self/fd/987654", registry_ / "14");
  auto good = SharedSurface::createIn(registry_, 8, 8);
  ASSERT_TRUE(good);

  for (int tick = 0; tick < 3; ++tick) EXPECT_FALSE(media.IOSurfaceLookup(11));
  EXPECT_FALSE(media.IOSurfaceLookup(12));  // another surface, the same fault
  EXPECT_EQ(messages(), std::vector<std::string>{"surface 11 refused: its header names surface 5 (ID mismatch)"});

  EXPECT_FALSE(media.IOSurfaceLookup(14));
  EXPECT_FALSE(media.IOSurfaceLookup(14));
  EXPECT_TRUE(media.IOSurfaceLookup(good->id()));
  EXPECT_TRUE(media.IOSurfaceLookup(good->id()));
  EXPECT_FALSE(media.IOSurfaceLookup(13));
  EXPECT_EQ(messages(), (std::vector<std::string>{
                            "surface 11 refused: its header names surface 5 (ID mismatch)",
                            "surface 14 refused: its companion has exited (dangling registry link)",
                            "surface 13 refused: its header names surface 5 (ID mismatch)",
                        }));
  EXPECT_EQ(log.lines().front().type, OSLogType::error);
}

// Every line of every type, as "<type> <message>".
class EveryLineLog final : public OSLog {
 public:
  bool isEnabled(OSLogType) const override { return true; }
  void write(OSLogType type, std::string_view message) override {
    const char* name = type == OSLogType::error ? "error" : type == OSLogType::info ? "info" : "notice";
    lines.push_back(std::string(name) + " " + std::string(message));
  }
  std::vector<std::string> lines;
};

// A companion drawing into several surfaces in turn, one of them refused, names each one many
// times: each problem is one line, and its end one more, not two lines a pass.
TEST_F(SurfaceTest, ACompanionCyclingThroughRefusedSurfacesLogsEachProblemOnce) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  EveryLineLog log;
  LinuxMediaServices media(nullptr, log, registry_);
  HandMade lying;
  lying.headerID = 5;
  const UniqueFD liar = publishByHand(registry_, 21, lying);
  std::filesystem::create_symlink("/proc/self/fd/987654", registry_ / "22");
  auto first = SharedSurface::createIn(registry_, 8, 8);
  auto second = SharedSurface::createIn(registry_, 8, 8);
  ASSERT_TRUE(first && second);

  for (int pass = 0; pass < 20; ++pass) {
    EXPECT_TRUE(media.IOSurfaceLookup(first->id()));
    EXPECT_FALSE(media.IOSurfaceLookup(21));
    EXPECT_TRUE(media.IOSurfaceLookup(second->id()));
    EXPECT_FALSE(media.IOSurfaceLookup(22));
  }
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "error surface 21 refused: its header names surface 5 (ID mismatch)",
                           "notice surface " + std::to_string(second->id()) + " accepted",
                           "error surface 22 refused: its companion has exited (dangling registry link)",
                           "notice surface " + std::to_string(first->id()) + " accepted",
                       }));
}

// A companion that stops removes its surfaces' entries and lets go of its lock; a tick may
// still read the ID it named last.
TEST_F(SurfaceTest, AnEntryGoneWhileNoCompanionPublishesIsAStopNotAFault) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  bool publishing = false;
  EveryLineLog log;
  LinuxMediaServices media(nullptr, log, registry_, [&publishing] { return publishing; });
  std::uint32_t gone = 0;
  {
    auto surface = SharedSurface::createIn(registry_, 8, 8);
    ASSERT_TRUE(surface);
    gone = surface->id();
  }
  EXPECT_FALSE(media.IOSurfaceLookup(gone));
  EXPECT_FALSE(media.IOSurfaceLookup(gone));
  EXPECT_EQ(log.lines, std::vector<std::string>{"info surface " + std::to_string(gone) +
                                                " is gone: the companion stopped publishing"});

  // A companion that runs and names a surface it has not published is at fault.
  publishing = true;
  EXPECT_FALSE(media.IOSurfaceLookup(gone + 1));
  ASSERT_EQ(log.lines.size(), 2U);
  EXPECT_EQ(log.lines.back(), "error surface " + std::to_string(gone + 1) +
                                  " refused: nothing is published under this ID (no registry entry)");
}

// A surface looked up while its companion ran stays mapped here, but gives no picture once the
// companion has stopped (its entry removed) or been killed (its entry dangling): a stream that
// starts later would otherwise show the companion's last picture.
TEST_F(SurfaceTest, ASurfaceItsCompanionNoLongerPublishesGivesNoPicture) {
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  EveryLineLog log;
  LinuxMediaServices media(nullptr, log, registry_, [] { return false; });
  auto stopping = SharedSurface::createIn(registry_, 8, 8);
  auto killed = SharedSurface::createIn(registry_, 8, 8);
  ASSERT_TRUE(stopping && killed);
  const auto stoppingID = stopping->id(), killedID = killed->id();
  const IOSurfaceRef kept = media.IOSurfaceLookup(stoppingID);
  const IOSurfaceRef keptToo = media.IOSurfaceLookup(killedID);
  ASSERT_TRUE(kept && keptToo);
  EXPECT_EQ(media.CVPixelBufferCreateWithIOSurface(kept, nullptr).status, noErr);

  stopping.reset();
  const auto afterStop = media.CVPixelBufferCreateWithIOSurface(kept, nullptr);
  EXPECT_NE(afterStop.status, noErr);
  EXPECT_FALSE(afterStop.value);
  // Killed: the entry is left, leading to a descriptor that no longer exists.
  std::filesystem::remove(registry_ / std::to_string(killedID));
  std::filesystem::create_symlink("/proc/self/fd/987654", registry_ / std::to_string(killedID));
  EXPECT_NE(media.CVPixelBufferCreateWithIOSurface(keptToo, nullptr).status, noErr);
  EXPECT_NE(media.CVPixelBufferCreateWithIOSurface(keptToo, nullptr).status, noErr);
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "info surface " + std::to_string(stoppingID) + " is gone: the companion stopped publishing",
                           "error surface " + std::to_string(killedID) +
                               " refused: its companion has exited (dangling registry link)",
                       }));
}

// ---- Other processes -------------------------------------------------------------------

// One byte or four through a pipe; the child reports with its exit code.
bool writeAll(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size) == static_cast<ssize_t>(size);
}
bool readAll(int fd, void* data, std::size_t size) { return ::read(fd, data, size) == static_cast<ssize_t>(size); }

struct Child {
  pid_t pid = -1;
  UniqueFD fromChild;
  UniqueFD toChild;

  // Runs `body(reportFd, goFd)` in a child process that ends with its result as exit code.
  static Child start(const std::function<int(int, int)>& body) {
    int up[2];
    int down[2];
    Child child;
    if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) return child;
    UniqueFD upRead(up[0]), upWrite(up[1]), downRead(down[0]), downWrite(down[1]);
    child.pid = ::fork();
    if (child.pid == 0) {
      upRead.reset();
      downWrite.reset();
      ::_exit(body(upWrite.get(), downRead.get()));
    }
    child.fromChild = std::move(upRead);
    child.toChild = std::move(downWrite);
    return child;
  }
  int wait() {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
};

TEST_F(SurfaceTest, SurfaceOfAnotherProcessOutlivesItsProducer) {
  const std::filesystem::path registry = registry_;
  Child producer = Child::start([&registry](int report, int go) {
    int result = 0;
    {
      auto surface = SharedSurface::createIn(registry, 64, 48);
      if (!surface) return 10;
      fillPattern(surface->pixels(), 6);
      const std::uint32_t id = surface->id();
      char ignored = 0;
      if (!writeAll(report, &id, sizeof id) || !readAll(go, &ignored, 1)) result = 11;
    }
    return result;
  });
  ASSERT_GT(producer.pid, 0);
  std::uint32_t id = 0;
  ASSERT_TRUE(readAll(producer.fromChild.get(), &id, sizeof id));

  IOSurfaceRef view = lookup(id);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->width(), 64U);
  EXPECT_EQ(view->height(), 48U);
  EXPECT_TRUE(hasPattern(view->baseAddress(), 48 * 256, 6));

  ASSERT_TRUE(writeAll(producer.toChild.get(), "g", 1));
  EXPECT_EQ(producer.wait(), 0);
  EXPECT_FALSE(lookup(id)) << "the producer removes its entry";
  EXPECT_TRUE(hasPattern(view->baseAddress(), 48 * 256, 6));
}

TEST_F(SurfaceTest, EntryOfACrashedProducerFindsNothing) {
  const std::filesystem::path registry = registry_;
  Child producer = Child::start([&registry](int report, int) {
    auto surface = SharedSurface::createIn(registry, 8, 8);
    if (!surface) return 10;
    const std::uint32_t id = surface->id();
    if (!writeAll(report, &id, sizeof id)) return 11;
    ::_exit(0);  // no destructor runs: the entry stays behind, dangling
  });
  ASSERT_GT(producer.pid, 0);
  std::uint32_t id = 0;
  ASSERT_TRUE(readAll(producer.fromChild.get(), &id, sizeof id));
  EXPECT_EQ(producer.wait(), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(registry_ / std::to_string(id)));
  EXPECT_FALSE(lookup(id));
  const SurfaceLookupResult result = media_.lookupSurface(id);
  EXPECT_EQ(result.refusal, SurfaceRefusal::danglingEntry);
  EXPECT_EQ(result.reason, "its companion has exited (dangling registry link)");
}

TEST_F(SurfaceTest, SurfaceOfAnotherUserFindsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a producer as another user";
  ASSERT_EQ(::mkdir(registry_.c_str(), 0700), 0);
  // The child turns into nobody and makes a well-formed sealed surface; the parent links
  // it into its own registry, as a hostile or confused process might.
  Child producer = Child::start([](int report, int go) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return 20;
    UniqueFD fd(::memfd_create("other-user", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    SurfaceHeader header{9, 4, 4, kBGRA, 16, kSurfacePixelOffset};
    std::array<std::byte, kSurfaceHeaderSize> bytes{};
    encodeSurfaceHeader(header, bytes);
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(header.extent())) != 0 ||
        ::pwrite(fd.get(), bytes.data(), bytes.size(), 0) != 64 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
      return 21;
    }
    const int number = fd.get();
    char ignored = 0;
    return writeAll(report, &number, sizeof number) && readAll(go, &ignored, 1) ? 0 : 22;
  });
  ASSERT_GT(producer.pid, 0);
  int number = -1;
  ASSERT_TRUE(readAll(producer.fromChild.get(), &number, sizeof number));
  const std::string target = "/proc/" + std::to_string(producer.pid) + "/fd/" + std::to_string(number);
  ASSERT_EQ(::symlink(target.c_str(), (registry_ / "9").c_str()), 0);
  {
    UniqueFD reachable(::open((registry_ / "9").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(reachable) << "the file itself can be opened; only its owner keeps it out";
  }
  EXPECT_FALSE(lookup(9));
  EXPECT_EQ(media_.lookupSurface(9).reason, "its file belongs to another user (uid 65534)");
  ASSERT_TRUE(writeAll(producer.toChild.get(), "g", 1));
  EXPECT_EQ(producer.wait(), 0);
}

TEST(SurfaceRegistryTest, FollowsXdgRuntimeDirWhenItIsAbsolute) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
  EXPECT_EQ(defaultSurfaceRegistry(), std::filesystem::path("/run/user/4242/kolv-surfaces"));
  ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
  const std::filesystem::path ignoringRelative = defaultSurfaceRegistry();
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(ignoringRelative, defaultSurfaceRegistry());
  EXPECT_TRUE(defaultSurfaceRegistry().empty() || defaultSurfaceRegistry().filename() == "kolv-surfaces");
  if (saved != nullptr) ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
}

}  // namespace
}  // namespace kolv
