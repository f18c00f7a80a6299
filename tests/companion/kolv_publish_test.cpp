// kolv-publish as a user runs it: bad input gives one clear line and a non-zero status;
// a limit or a stop signal ends it cleanly, its surfaces released.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "companion_fixture.h"

extern char** environ;

namespace kolv::companion::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode = -1;
  std::string errors;  // standard error
  int lines() const { return static_cast<int>(std::count(errors.begin(), errors.end(), '\n')); }
};

class KolvPublishTest : public CompanionTest {
 protected:
  void SetUp() override {
    CompanionTest::SetUp();
    ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    std::ofstream(root_ / "empty");
  }

  // Runs kolv-publish with `arguments`, standard input from `input`.
  Outcome run(std::vector<std::string> arguments, const fs::path& input = "/dev/null") {
    const pid_t pid = spawn(arguments, input);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return {};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), errors()};
  }

  pid_t spawn(std::vector<std::string> arguments, const fs::path& input = "/dev/null") {
    arguments.insert(arguments.begin(), KOLV_PUBLISH_PATH);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
  }

  std::string errors() const {
    std::ifstream in(root_ / "stderr");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path writeFile(const std::string& name, std::size_t size) {
    std::ofstream(root_ / name, std::ios::binary) << std::string(size, '\x10');
    return root_ / name;
  }
};

// One line, naming the problem, and the given status.
#define EXPECT_ONE_LINE(outcome, code, text)                                       \
  do {                                                                             \
    EXPECT_EQ((outcome).exitCode, code) << (outcome).errors;                       \
    EXPECT_EQ((outcome).lines(), 1) << (outcome).errors;                           \
    EXPECT_NE((outcome).errors.find(text), std::string::npos) << (outcome).errors; \
  } while (false)

TEST_F(KolvPublishTest, UsageMistakesGiveOneLineAndStatus2) {
  EXPECT_ONE_LINE(run({"--pattern", "--bogus"}), 2, "--bogus");
  EXPECT_ONE_LINE(run({}), 2, "choose one of --pattern, --image FILE or --raw FILE");
  EXPECT_ONE_LINE(run({"--pattern", "--raw", "-"}), 2, "choose one of");
  EXPECT_ONE_LINE(run({"--pattern", "--fps", "0"}), 2, "--fps");
  EXPECT_ONE_LINE(run({"--pattern", "--fps", "many"}), 2, "--fps");
  EXPECT_ONE_LINE(run({"--pattern", "--frames", "0"}), 2, "--frames: must be a number above 0");
  EXPECT_ONE_LINE(run({"--pattern", "--group", "g", "--info-plist", "x"}), 2, "excludes");
  EXPECT_ONE_LINE(run({"--pattern", "--group", ""}), 2, "--group: the app group must not be empty");
  EXPECT_FALSE(fs::exists(root_ / "app-groups"));
}

TEST_F(KolvPublishTest, BadInputGivesOneLineAndStatus1) {
  EXPECT_ONE_LINE(run({"--image", (root_ / "absent.png").string()}), 1, "absent.png");
  std::ofstream(root_ / "text.png") << "this is not an image\n";
  EXPECT_ONE_LINE(run({"--image", (root_ / "text.png").string()}), 1, "is not a PNG or JPEG image");
  EXPECT_ONE_LINE(run({"--raw", (root_ / "absent.raw").string()}), 1, "cannot open");
  EXPECT_ONE_LINE(run({"--pattern", "--group", "a/b"}), 1, "not a plain file name");
  EXPECT_ONE_LINE(run({"--pattern", "--info-plist", (root_ / "empty").string()}), 1, "not a usable Info.plist");
  // Nothing was published by any of them.
  EXPECT_FALSE(fs::exists(root_ / "app-groups" / kFallbackAppGroupID / kFrameMetadataFileName));
}

TEST_F(KolvPublishTest, ARegistryOthersMayWriteToIsRefusedWithItsFix) {
  fs::create_directories(root_ / "kolv-surfaces");
  fs::permissions(root_ / "kolv-surfaces", fs::perms::all);
  const std::string path = (root_ / "kolv-surfaces").string();
  EXPECT_ONE_LINE(run({"--pattern", "--frames", "1"}), 1,
                  "cannot create a shared surface: " + path + " is writable by other users; fix: chmod 700 " + path);
}

TEST_F(KolvPublishTest, AShortRawFrameIsAnError) {
  const Outcome outcome = run({"--raw", "-", "--quiet"}, writeFile("short.raw", 1280 * 720 * 4 + 1000));
  EXPECT_ONE_LINE(outcome, 1, "short frame on input: 1000 of 3686400 bytes");
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

TEST_F(KolvPublishTest, WholeRawFramesArePublishedUntilTheInputEnds) {
  const Outcome outcome = run({"--raw", "-", "--fps", "120"}, writeFile("three.raw", 3 * 1280 * 720 * 4));
  EXPECT_EQ(outcome.exitCode, 0) << outcome.errors;
  EXPECT_NE(outcome.errors.find("done: 3 published, 0 dropped"), std::string::npos) << outcome.errors;
  EXPECT_EQ(readBytes(root_ / "app-groups" / kFallbackAppGroupID / kFrameMetadataFileName).size(), 8u);
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

TEST_F(KolvPublishTest, StopsCleanlyOnSIGTERM) {
  const pid_t pid = spawn({"--pattern", "--group", "group.signal"});
  ASSERT_GT(pid, 0);
  const fs::path frameFile = root_ / "app-groups" / "group.signal" / kFrameMetadataFileName;
  for (int i = 0; i < 300 && !fs::exists(frameFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(fs::exists(frameFile));
  EXPECT_FALSE(fs::is_empty(root_ / "kolv-surfaces"));
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << errors();
  EXPECT_NE(errors().find("stopped: "), std::string::npos) << errors();
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

// The library keeps the one picture live: each read of the frame file by another process
// is answered with a newer timestamp, and nothing else is published.
TEST_F(KolvPublishTest, AnImageIsPublishedOnceAndHeldUntilStopped) {
  static constexpr unsigned char kGreenPixelPNG[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
      0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x77, 0x53, 0xde, 0x00, 0x00, 0x00,
      0x0c, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x00, 0x03, 0x01, 0x01, 0x00, 0xc9,
      0xfe, 0x92, 0xef, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  std::ofstream(root_ / "green.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(kGreenPixelPNG), sizeof kGreenPixelPNG);
  const pid_t pid = spawn({"--image", (root_ / "green.png").string()});
  ASSERT_GT(pid, 0);
  const fs::path frameFile = root_ / "app-groups" / kFallbackAppGroupID / kFrameMetadataFileName;
  ASSERT_TRUE(eventually([&] { return readBytes(frameFile).size() == 8; })) << errors();
  const auto named = readBytes(root_ / "app-groups" / kFallbackAppGroupID / kSurfaceIDFileName);
  auto last = readBytes(frameFile);
  for (int read = 0; read < 5; ++read) {
    EXPECT_TRUE(eventually([&] { return peekBytes(frameFile) != last; })) << read;
    last = readBytes(frameFile);
  }
  EXPECT_EQ(readBytes(root_ / "app-groups" / kFallbackAppGroupID / kSurfaceIDFileName), named);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << errors();
  EXPECT_NE(errors().find("stopped: 1 published, 0 dropped"), std::string::npos) << errors();
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

TEST_F(KolvPublishTest, TheStatusLineSaysWhetherAnyoneWatches) {
  const Outcome outcome = run({"--pattern", "--seconds", "1.2", "--group", "group.status"});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.errors;
  // Nobody reads the frame file here.
  EXPECT_NE(outcome.errors.find(" dropped, idle\n"), std::string::npos) << outcome.errors;
}

// A companion killed outright leaves its registry entries behind; the next one removes them.
TEST_F(KolvPublishTest, EntriesOfAKilledCompanionAreSweptByTheNext) {
  const pid_t pid = spawn({"--pattern", "--group", "group.killed"});
  ASSERT_GT(pid, 0);
  const fs::path frameFile = root_ / "app-groups" / "group.killed" / kFrameMetadataFileName;
  EXPECT_TRUE(eventually([&] { return fs::exists(frameFile); }));
  ::kill(pid, SIGKILL);
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  EXPECT_FALSE(fs::is_empty(root_ / "kolv-surfaces"));
  const Outcome next = run({"--pattern", "--frames", "1", "--group", "group.next"});
  EXPECT_EQ(next.exitCode, 0) << next.errors;
  EXPECT_TRUE(fs::is_empty(root_ / "kolv-surfaces"));
}

}  // namespace
}  // namespace kolv::companion::test
