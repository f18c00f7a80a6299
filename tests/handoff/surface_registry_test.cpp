// The registry's sweep of entries left by dead creators, judged across PID namespaces. The
// namespace cases need CAP_SYS_ADMIN (the suite runs as root in CI) and skip without it.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "support/temporary_folder.h"

#include "handoff/published_surface.h"
#include "handoff/shared_surface.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

constexpr int kNoNamespaces = 77;

class SurfaceRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.path().empty()); }

  std::size_t sweep() const {
    const UniqueFD folder = openSurfaceRegistry(registry_, false);
    return folder ? sweepDeadSurfaces(folder.get()) : 0;
  }

  test::TemporaryFolder root_{"kolv-registry"};
  const fs::path registry_ = root_ / "kolv-surfaces";
};

// What a sweeper in a PID namespace of its own, with its own /proc, saw and did.
struct SandboxSweep {
  std::int32_t entryDangled = 0;  // the creator's link led nowhere in its view
  std::int32_t removed = -1;
};

// Runs a sweep of `registry` in a new PID namespace, as pid 1 there with /proc mounted
// afresh (unshare -p -f --mount-proc). Empty when namespaces cannot be made here.
std::optional<SandboxSweep> sweepInAnotherPidNamespace(const fs::path& registry, std::uint32_t someID) {
  std::array<int, 2> channel{};
  if (::pipe2(channel.data(), O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(kNoNamespaces);
    const pid_t sandboxed = ::fork();  // the first process of the new namespace
    if (sandboxed == 0) {
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        ::_exit(kNoNamespaces);
      }
      SandboxSweep result;
      struct stat followed {};
      result.entryDangled = ::stat((registry / std::to_string(someID)).c_str(), &followed) != 0 && errno == ENOENT;
      const UniqueFD folder = openSurfaceRegistry(registry, false);
      result.removed = folder ? static_cast<std::int32_t>(sweepDeadSurfaces(folder.get())) : -2;
      const bool sent = ::write(channel[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
      ::_exit(sent ? 0 : 1);
    }
    int status = 0;
    if (sandboxed < 0 || ::waitpid(sandboxed, &status, 0) != sandboxed || !WIFEXITED(status)) ::_exit(1);
    ::_exit(WEXITSTATUS(status));
  }
  ::close(channel[1]);
  SandboxSweep result;
  const bool got = child > 0 && ::read(channel[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
  ::close(channel[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  if (!got) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespaces) return std::nullopt;
    ADD_FAILURE() << "the sandboxed sweeper failed, status " << status;
    return SandboxSweep{};
  }
  return result;
}

TEST_F(SurfaceRegistryTest, ASweeperInAnotherPidNamespaceLeavesLiveEntriesAlone) {
  std::vector<SharedSurface> surfaces;
  for (int i = 0; i < 5; ++i) {
    auto surface = SharedSurface::createIn(registry_, 16, 16);
    ASSERT_TRUE(surface);
    surfaces.push_back(std::move(*surface));
  }
  const auto sandbox = sweepInAnotherPidNamespace(registry_, surfaces.front().id());
  if (!sandbox) GTEST_SKIP() << "no PID and mount namespaces here (needs CAP_SYS_ADMIN)";
  // In its view the creator does not exist: the condition under which it used to sweep them.
  EXPECT_TRUE(sandbox->entryDangled);
  EXPECT_EQ(sandbox->removed, 0);
  const UniqueFD folder = openSurfaceRegistry(registry_, false);
  ASSERT_TRUE(folder);
  for (const SharedSurface& surface : surfaces) {
    EXPECT_TRUE(openPublishedSurface(openSurfaceEntry(folder.get(), surface.id()), surface.id()).memory)
        << surface.id();
  }
}

TEST_F(SurfaceRegistryTest, AKilledCreatorsEntryAndRecordAreSweptInItsNamespace) {
  std::array<int, 2> channel{};
  ASSERT_EQ(::pipe2(channel.data(), O_CLOEXEC), 0);
  const pid_t creator = ::fork();
  ASSERT_GE(creator, 0);
  if (creator == 0) {
    auto surface = SharedSurface::createIn(registry_, 16, 16);
    const std::uint32_t id = surface ? surface->id() : 0;
    if (::write(channel[1], &id, sizeof id) != static_cast<ssize_t>(sizeof id)) ::_exit(1);
    ::pause();  // until killed: the entry stays
    ::_exit(0);
  }
  ::close(channel[1]);
  std::uint32_t id = 0;
  ASSERT_EQ(::read(channel[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
  ::close(channel[0]);
  ::kill(creator, SIGKILL);
  ASSERT_EQ(::waitpid(creator, nullptr, 0), creator);
  ASSERT_NE(id, 0u);
  const std::string name = std::to_string(id);
  ASSERT_TRUE(fs::is_symlink(registry_ / name));
  ASSERT_TRUE(fs::is_symlink(registry_ / (name + kSurfaceCreatorSuffix)));

  auto live = SharedSurface::createIn(registry_, 16, 16);
  ASSERT_TRUE(live);
  EXPECT_EQ(sweep(), 1u);
  EXPECT_FALSE(fs::is_symlink(registry_ / name));
  EXPECT_FALSE(fs::is_symlink(registry_ / (name + kSurfaceCreatorSuffix)));
  EXPECT_TRUE(fs::is_symlink(registry_ / std::to_string(live->id())));

  // A surface removes its entry and its record when it goes.
  live.reset();
  EXPECT_TRUE(fs::is_empty(registry_));
}

}  // namespace
}  // namespace kolv
