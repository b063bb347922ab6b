// Faults around a conversion: the output directory vanishing, permission
// denied, a full disk, a picture deleted while the list is converted, and the
// process killed while it saves. Whenever the call survives, it fails with a
// clear message, the file that was there is byte for byte as it was, and no
// temporary file is left behind, even by a process killed during the save.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <zoetra/zoetra.hpp>
#include "platform/base/error.hpp"
#include "platform/base/eventlog.hpp"
#include "platform/base/yield.hpp"
#include "support/caught.hpp"
#include "support/picture_files.hpp"
#include "support/temp_dir.hpp"
#include "support/writing_in.hpp"
#include "support/yield_hook.hpp"

namespace zoetra {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSaveMessage = "Unexpected error saving GIF file. (Can be access denied)";
const std::string kOldContent = "the previous animation, which must survive";

// Input pictures in <tmp>/in, an existing output <tmp>/out/anim.gif.
class Scene {
 public:
  Scene(int pictures, int width, int height) {
    fs::create_directory(dir_.Path("in"));
    fs::create_directory(dir_.Path("out"));
    for (int i = 0; i < pictures; ++i) {
      const std::string path = dir_.Path("in/p" + std::to_string(i) + ".bmp");
      test::WriteAll(path, test::BitmapFileBytes(width, height, i + 3));
      inputs_.push_back(path);
    }
    test::WriteAll(output(), kOldContent);
  }
  const std::vector<std::string>& inputs() const { return inputs_; }
  std::string output() const { return dir_.Path("out/anim.gif"); }
  std::string out_dir() const { return dir_.Path("out"); }
  const test::TempDir& dir() const { return dir_; }

  // The existing output is unchanged and is the only entry of its folder.
  void ExpectOutputUntouched(const std::string& folder) const {
    EXPECT_EQ(test::ReadAll(folder + "/anim.gif"), kOldContent);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"anim.gif"}) << "a temporary file was left behind";
  }

 private:
  test::TempDir dir_;
  std::vector<std::string> inputs_;
};

using test::HookScope;

// Keeps the event log out of the system log during a test.
class QuietLog {
 public:
  QuietLog() : previous_(platform::SetEventLogSink([](platform::EventType, std::string_view) {})) {}
  ~QuietLog() { platform::SetEventLogSink(std::move(previous_)); }

 private:
  platform::EventLogSink previous_;
};

// The conversion with showError 0 returns the save message; with showError 1
// it raises the component error whose report carries it.
void ExpectSaveFails(const Scene& scene, const std::string& output) {
  const QuietLog quiet;
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra(scene.inputs(), output, 350, 0, 0, 0, 0), kSaveMessage);
  const Error e = test::Caught([&] { z.CreateZoetra(scene.inputs(), output, 350, 0, 0, 0, 1); });
  EXPECT_EQ(e.number(), kErrComponent);
  EXPECT_NE(e.description().find(kSaveMessage), std::string::npos) << e.description();
}

TEST(FaultTest, OutputDirectoryMovedAwayJustBeforeTheSave) {
  const Scene scene(3, 20, 12);
  const std::string moved = scene.dir().Path("moved");
  const HookScope hook([&](const platform::YieldInfo& info) {
    if (info.stage == platform::YieldStage::Optimize) fs::rename(scene.out_dir(), moved);
  });
  const QuietLog quiet;
  Zoetra z;
  EXPECT_EQ(z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 0), kSaveMessage);
  EXPECT_FALSE(fs::exists(scene.out_dir())) << "the save recreated the vanished folder";
  scene.ExpectOutputUntouched(moved);
}

// Runs `body` in a child process that has dropped to the user `nobody`;
// returns the child's exit code, or -1 (with `why`) when that is impossible.
int RunAsNobody(const std::function<int()>& body, std::string* why) {
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    *why = "no user 'nobody' on this system";
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    *why = "fork failed";
    return -1;
  }
  if (pid == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 100) {
    *why = "setuid to 'nobody' is not permitted here";
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(FaultTest, PermissionDeniedOnTheOutputFolder) {
  const Scene scene(2, 16, 10);
  if (::geteuid() != 0) {
    // An ordinary user: a folder without write permission refuses the new file.
    fs::permissions(scene.out_dir(), fs::perms::owner_read | fs::perms::owner_exec);
    ExpectSaveFails(scene, scene.output());
    fs::permissions(scene.out_dir(), fs::perms::owner_all);
    scene.ExpectOutputUntouched(scene.out_dir());
    return;
  }
  // Root ignores permissions: the conversion runs in a child that is `nobody`,
  // which may read the inputs but not write into the output folder.
  const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(scene.dir().path(), readable);
  fs::permissions(scene.dir().Path("in"), readable);
  fs::permissions(scene.out_dir(), readable);
  for (const std::string& input : scene.inputs()) {
    fs::permissions(input, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
  }
  std::string why;
  const int code = RunAsNobody(
      [&] {
        const QuietLog quiet;
        Zoetra z;
        const std::string text = z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 0);
        if (text != kSaveMessage) return 1;
        try {
          z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 1);
          return 2;
        } catch (const Error& e) {
          return e.description().find(kSaveMessage) != std::string::npos ? 0 : 3;
        }
      },
      &why);
  if (code < 0) GTEST_SKIP() << why;
  EXPECT_EQ(code, 0) << "1: wrong text, 2: nothing raised, 3: wrong description, 128+: signal";
  scene.ExpectOutputUntouched(scene.out_dir());
}

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*handler_)(int) = nullptr;
  bool ok_ = false;
};

TEST(FaultTest, DiskFullDuringTheSave) {
  // A few hundred kilobytes of GIF against a limit of 4 KiB; the old file is
  // smaller than the limit, so only the new data hits it.
  const Scene scene(4, 200, 150);
  {
    const FileSizeLimit limit(4096);
    if (!limit.ok()) GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
    ExpectSaveFails(scene, scene.output());
  }
  scene.ExpectOutputUntouched(scene.out_dir());
}

TEST(FaultTest, PictureDeletedBetweenListingAndLoading) {
  const Scene scene(3, 20, 12);
  // Later pictures are read ahead while earlier ones are converted, but not
  // before the first picture is done.
  const HookScope hook([&](const platform::YieldInfo& info) {
    if (info.stage == platform::YieldStage::PictureStart && info.picture == 1) fs::remove(scene.inputs()[1]);
  });
  const QuietLog quiet;
  Zoetra z;
  // Without showError the loader's failure reaches the caller unchanged.
  const Error e = test::Caught([&] { z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 0); });
  EXPECT_EQ(e.number(), kErrFileNotFound);
  EXPECT_EQ(e.description(), "File not found");
  scene.ExpectOutputUntouched(scene.out_dir());
  // With showError it arrives wrapped, its report naming the failure.
  test::WriteAll(scene.inputs()[1], test::BitmapFileBytes(20, 12, 9));
  const Error wrapped = test::Caught([&] { z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 1); });
  EXPECT_EQ(wrapped.number(), kErrComponent);
  EXPECT_NE(wrapped.description().find("Error Code: 0x35\r\nError Description: File not found"), std::string::npos)
      << wrapped.description();
  scene.ExpectOutputUntouched(scene.out_dir());
}

TEST(FaultTest, ProcessKilledWhileSavingLeavesTheOutputAsItWas) {
  // Large frames that differ, so the save takes a while; the parent kills the
  // child as soon as the temporary file appears.
  const Scene scene(8, 480, 360);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(ready[0]);
    platform::SetEventLogSink([](platform::EventType, std::string_view) {});
    platform::SetYieldHook([&](const platform::YieldInfo& info) {
      if (info.stage != platform::YieldStage::Optimize) return;
      const char go = 1;
      if (::write(ready[1], &go, 1) != 1) ::_exit(3);
    });
    Zoetra z;
    z.CreateZoetra(scene.inputs(), scene.output(), 350, 0, 0, 0, 0);
    ::_exit(0);
  }
  ::close(ready[1]);
  char go = 0;
  const bool signalled = ::read(ready[0], &go, 1) == 1;
  ::close(ready[0]);

  // Wait until the new file is being written, then kill at once.
  bool seen = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (signalled && !seen && std::chrono::steady_clock::now() < deadline) {
    seen = test::WritingIn(pid, scene.out_dir());
    int status = 0;
    if (!seen && ::waitpid(pid, &status, WNOHANG) == pid) break;  // finished before we saw it
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(signalled) << "the child never reached the save";
  ASSERT_TRUE(seen) << "the save finished before it was seen; make the frames larger";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  EXPECT_EQ(test::ReadAll(scene.output()), kOldContent);
  // The file being written had no name: nothing is left beside the output.
  EXPECT_EQ(test::TempDir::EntriesOf(scene.out_dir()), std::vector<std::string>{"anim.gif"});
}

}  // namespace
}  // namespace zoetra
