// The atomic writer and what it replaces: links, modes, owners, files the
// caller may not write, the system's reason for a failure, and unfinished
// files removed on a signal.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/files.hpp"
#include "support/temp_dir.hpp"

namespace zoetra::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

bool Replace(const std::string& target, const std::string& bytes) {
  AtomicFile file;
  return file.Open(target) && file.Write(bytes.data(), bytes.size()) && file.Commit();
}

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// Hidden named files instead of unnamed ones, for the scope's life.
struct NamedFilesScope {
  explicit NamedFilesScope(bool named) { detail::UseUnnamedFiles(!named); }
  ~NamedFilesScope() { detail::UseUnnamedFiles(true); }
};

// Runs `body` in a child process and returns its exit status: for what must
// not touch this process (a user switch, the process-wide abandonment).
int InChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr uid_t kNobody = 65534;

TEST(AtomicFileTest, ALinkLeadsToTheFileItNamesAndStaysALink) {
  TempDir dir;
  fs::create_directory(dir.Path("sub"));
  WriteAll(dir.Path("real.gif"), "old");
  const struct {
    std::string link;
    std::string points_to;  // as written in the link
    std::string file;       // what it leads to
  } cases[] = {
      {"absolute", dir.Path("real.gif"), dir.Path("real.gif")},
      {"relative", "real.gif", dir.Path("real.gif")},
      {"sub/up", "../real.gif", dir.Path("real.gif")},  // relative to the link's folder
      {"chain", "sub/up", dir.Path("real.gif")},
      {"dangling", "sub/new.gif", dir.Path("sub/new.gif")},
      {"sub/dangling", "made.gif", dir.Path("sub/made.gif")},
  };
  for (const auto& c : cases) fs::create_symlink(c.points_to, dir.Path(c.link));
  for (const bool unnamed : {true, false}) {
    const NamedFilesScope scope(!unnamed);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.link + (unnamed ? " (unnamed)" : " (hidden name)"));
      const std::vector<std::string> before = test::TempDir::EntriesOf(fs::path(c.file).parent_path());
      AtomicFile file;
      ASSERT_TRUE(file.Open(dir.Path(c.link)));
      if (unnamed) {
        EXPECT_EQ(file.temp_path(), "");
        EXPECT_EQ(test::TempDir::EntriesOf(fs::path(c.file).parent_path()), before) << "nothing named while writing";
      } else {
        // The hidden file lies beside the file replaced, so that the rename stays in its file system.
        EXPECT_TRUE(fs::equivalent(fs::path(file.temp_path()).parent_path(), fs::path(c.file).parent_path()))
            << file.temp_path();
      }
      const std::string bytes = c.link + (unnamed ? "1" : "2");
      ASSERT_TRUE(file.Write(bytes.data(), bytes.size()));
      ASSERT_TRUE(file.Commit());
      EXPECT_TRUE(fs::is_symlink(dir.Path(c.link)));
      EXPECT_EQ(fs::read_symlink(dir.Path(c.link)), c.points_to);
      EXPECT_EQ(ReadAll(c.file), bytes);
    }
  }
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"absolute", "chain", "dangling", "real.gif", "relative", "sub"}));
  EXPECT_EQ(test::TempDir::EntriesOf(dir.Path("sub")), (std::vector<std::string>{"dangling", "made.gif", "new.gif", "up"}));
}

TEST(AtomicFileTest, AKilledWriterLeavesNoFileBehind) {
  TempDir dir;
  WriteAll(dir.Path("old.gif"), "old");
  for (const std::string target : {"old.gif", "new.gif"}) {
    SCOPED_TRACE(target);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      AtomicFile file;
      const std::vector<std::uint8_t> big(1 << 20, 7);  // past the buffer: on disk
      const char go = file.Open(dir.Path(target)) && file.Write(big) ? 1 : 0;
      if (::write(ready[1], &go, 1) != 1) ::_exit(2);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char go = 0;
    const bool written = ::read(ready[0], &go, 1) == 1 && go == 1;
    ::close(ready[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ASSERT_TRUE(written);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"old.gif"}));
    EXPECT_EQ(ReadAll(dir.Path("old.gif")), "old");
  }
}

TEST(AtomicFileTest, AReplacedFileKeepsItsModeAndOwnerAndANewOneFollowsTheUmask) {
  TempDir dir;
  const bool root = ::geteuid() == 0;
  const struct {
    mode_t mode;
    bool someone_elses;  // owned by nobody (needs root)
  } cases[] = {{0600, false}, {0640, false}, {0604, false}, {0755, false}, {0444, false},
               {0664, true},  {04755, true}, {02750, true}};
  for (const auto& c : cases) {
    if (c.someone_elses && !root) continue;
    SCOPED_TRACE(std::to_string(c.mode) + (c.someone_elses ? " of nobody" : ""));
    const std::string target = dir.Path("kept.gif");
    WriteAll(target, "old");
    if (c.someone_elses) {
      ASSERT_EQ(::chown(target.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
    const struct stat before = Stat(target);
    ASSERT_TRUE(Replace(target, "new"));
    const struct stat after = Stat(target);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    fs::remove(target);
  }
  const mode_t saved = ::umask(0);
  for (const mode_t mask : {0000, 0022, 0077}) {
    SCOPED_TRACE(mask);
    ::umask(mask);
    ASSERT_TRUE(Replace(dir.Path("new.gif"), "new"));
    EXPECT_EQ(Stat(dir.Path("new.gif")).st_mode & 07777, 0666 & ~mask);
    fs::remove(dir.Path("new.gif"));
  }
  ::umask(saved);
}

TEST(AtomicFileTest, AFileTheCallerMayNotWriteIsLeftAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make files of another user and then act as nobody";
  TempDir dir;
  // A shared folder: anyone may create and rename files in it.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const struct {
    const char* name;
    uid_t owner;
    mode_t mode;
    bool writable;
  } cases[] = {
      {"root-only.gif", 0, 0644, false},
      {"own-read-only.gif", kNobody, 0444, false},
      {"open-to-all.gif", 0, 0666, true},  // replaced, though the owner cannot be kept
  };
  for (const auto& c : cases) {
    WriteAll(dir.Path(c.name), "old");
    ASSERT_EQ(::chown(dir.Path(c.name).c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(dir.Path(c.name).c_str(), c.mode), 0);
  }
  // As nobody: bit i of the status is set when case i went other than expected.
  const int status = InChild([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return 255;
    int wrong = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const bool replaced = Replace(dir.Path(cases[i].name), "new");
      const bool as_expected = cases[i].writable ? replaced && LastFileError() == 0
                                                 : !replaced && LastFileError() == EACCES;
      if (!as_expected) wrong |= 1 << i;
    }
    return wrong;
  });
  ASSERT_NE(status, 255) << "could not become nobody";
  EXPECT_EQ(status, 0) << "cases that went wrong, as bits";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const struct stat st = Stat(dir.Path(c.name));
    EXPECT_EQ(ReadAll(dir.Path(c.name)), c.writable ? "new" : "old");
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_uid, c.writable ? kNobody : c.owner);
  }
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"open-to-all.gif", "own-read-only.gif", "root-only.gif"}));
}

TEST(AtomicFileTest, AFailureKeepsTheSystemsReason) {
  TempDir dir;
  WriteAll(dir.Path("file"), "old");
  fs::create_directory(dir.Path("folder"));
  ASSERT_EQ(::mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  fs::create_symlink("loop", dir.Path("loop"));
  fs::create_symlink("folder", dir.Path("to-folder"));
  const struct {
    std::string target;
    int error;
  } cases[] = {
      {"", ENOENT},
      {dir.Path("missing/out.gif"), ENOENT},
      {dir.Path("file/out.gif"), ENOTDIR},
      {dir.Path("folder"), EISDIR},
      {dir.Path("to-folder"), EISDIR},
      {dir.Path("new/"), EISDIR},
      {dir.Path("pipe"), ENOTSUP},
      {"/dev/null", ENOTSUP},
      {dir.Path("loop"), ELOOP},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    ASSERT_TRUE(Replace(dir.Path("file"), "new"));
    EXPECT_EQ(LastFileError(), 0);
    AtomicFile file;
    const bool opened = file.Open(c.target);
    const int err = errno;
    EXPECT_FALSE(opened);
    EXPECT_EQ(LastFileError(), c.error) << std::strerror(LastFileError());
    EXPECT_EQ(err, c.error) << "errno tells the same";
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(LastFileError(), c.error) << "a later call keeps the first reason";
  }
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"file", "folder", "loop", "pipe", "to-folder"}));
}

TEST(AtomicFileTest, AbandoningRemovesUnfinishedFilesAndReplacesNothingAfterwards) {
  TempDir dir;
  WriteAll(dir.Path("one.gif"), "old one");
  WriteAll(dir.Path("two.gif"), "old two");
  // Abandonment lasts for the rest of the process: a child's.
  const int status = InChild([&] {
    const NamedFilesScope named(true);  // hidden files are what a signal must remove
    AtomicFile one, two;
    if (!one.Open(dir.Path("one.gif")) || !two.Open(dir.Path("two.gif")) || !one.Write("new", 3)) return 1;
    const std::string temp_one = one.temp_path(), temp_two = two.temp_path();
    AbandonUnfinishedFiles();
    if (::access(temp_one.c_str(), F_OK) == 0 || ::access(temp_two.c_str(), F_OK) == 0) return 2;
    if (one.Commit() || LastFileError() != ECANCELED) return 3;
    const std::vector<std::uint8_t> big(1 << 20, 7);  // more than the buffer holds
    if (two.Write(big) || two.Commit()) return 4;
    AtomicFile three;
    if (three.Open(dir.Path("three.gif")) || LastFileError() != ECANCELED) return 5;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadAll(dir.Path("one.gif")), "old one");
  EXPECT_EQ(ReadAll(dir.Path("two.gif")), "old two");
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"one.gif", "two.gif"}));
}

}  // namespace
}  // namespace zoetra::platform
