#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "TempDir.h"
#include "aDirectory.h"

namespace {

// A user id that has no password-database entry on the test machines.
constexpr uid_t kNoPasswdUid = 54321;

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs `body` in a forked child and returns its exit status (or -1 when it did not end in 10 s).
// The child reports with its exit status, since gtest assertions do not cross fork.
int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  for (int waited = 0; waited < 10000; ++waited) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace

TEST(aDirectoryEnsure, RelativePathInTheWorkingFolder) {
  TempDir t;
  int rc = InChild([&] {
    if (chdir(t.path().c_str()) != 0) return 10;
    if (aDirectory_Ensure("a/b/c", 0755) != aErrNone) return 11;
    return IsDir("a") && IsDir("a/b") && IsDir("a/b/c") ? 0 : 12;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(IsDir(t / "a/b/c"));
}

TEST(aDirectoryEnsure, PathsTable) {
  struct Row {
    const char* relative;  // under the temporary folder
    const char* expectDir;
  };
  const Row rows[] = {
      {"x/y/z", "x/y/z"},  // absolute and nested
      {"t/u/", "t/u"},     // trailing separator
      {"d//e", "d/e"},     // doubled separator
      {"x/y", "x/y"},      // already there
  };
  TempDir t;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.relative);
    EXPECT_EQ(aDirectory_Ensure((t / r.relative).c_str(), 0755), aErrNone);
    EXPECT_TRUE(IsDir(t / r.expectDir));
  }
}

TEST(aDirectoryEnsure, PlainFileInTheWayIsPermission) {
  TempDir t;
  std::ofstream(t / "f") << "x";
  EXPECT_EQ(aDirectory_Ensure((t / "f/x").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure((t / "f").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists((t / "f").c_str()));
}

TEST(aDirectoryEnsure, EveryCreatedLevelGetsTheMode) {
  TempDir t;
  mode_t old = umask(0);
  aErr err = aDirectory_Ensure((t / "m/n").c_str(), 0750);
  umask(old);
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(ModeOf(t / "m"), 0750u);
  EXPECT_EQ(ModeOf(t / "m/n"), 0750u);
}

TEST(aDirectoryHome, WithoutPasswordEntry) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take a user id without a password entry";
  struct Row {
    const char* name;
    std::string home;  // "" means unset
    size_t size;
    aErr expected;
    const char* expectedText;
  };
  const std::string longHome(100, 'h');
  const Row rows[] = {
      {"HOME set", "/srv/somewhere", 2048, aErrNone, "/srv/somewhere"},
      {"HOME unset", "", 2048, aErrNotFound, ""},
      {"HOME longer than the buffer", "/" + longHome, 64, aErrOverrun, ""},
      {"HOME filling the buffer, no room for the end", "/" + std::string(63, 'h'), 64, aErrOverrun, ""},
      {"HOME one short of the buffer", "/" + std::string(62, 'h'), 64, aErrNone, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    int rc = InChild([&] {
      if (setuid(kNoPasswdUid) != 0) return 10;
      if (r.home.empty()) {
        unsetenv("HOME");
      } else {
        setenv("HOME", r.home.c_str(), 1);
      }
      std::string buffer(r.size, 'X');  // no terminator until the call writes one
      aErr err = aDirectory_GetHomeDirectory(buffer.data(), buffer.size());
      if (err != r.expected) return 20 + static_cast<int>(err);
      if (memchr(buffer.data(), 0, buffer.size()) == nullptr) return 11;
      const char* expected = r.expectedText ? r.expectedText : r.home.c_str();
      return strcmp(buffer.c_str(), expected) == 0 ? 0 : 12;
    });
    EXPECT_EQ(rc, 0);
  }
}

TEST(aDirectoryHome, EmptyHomeIsNotFound) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take a user id without a password entry";
  int rc = InChild([] {
    if (setuid(kNoPasswdUid) != 0) return 10;
    setenv("HOME", "", 1);
    char buffer[16] = "garbage";
    return aDirectory_GetHomeDirectory(buffer, sizeof(buffer)) == aErrNotFound && buffer[0] == 0 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

TEST(backwardsMemcmp, LastOccurrence) {
  const char* s = "a/b/c";
  EXPECT_EQ(backwards_memcmp(s, "/"), s + 3);
  EXPECT_EQ(backwards_memcmp(s, ""), s);
  EXPECT_EQ(backwards_memcmp(s, "a/b/c/"), nullptr);
  EXPECT_EQ(backwards_memcmp(s, "x"), nullptr);
  EXPECT_EQ(backwards_memcmp(s, "a/b/c"), s);
}
