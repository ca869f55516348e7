#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"
#include "aDirectory.h"

namespace {

// aDirectory_BuildPath with up to 11 parts; the list ends at the first nullptr.
aErr Build(char* out, size_t size, std::initializer_list<const char*> parts) {
  std::array<const char*, 12> p{};
  size_t i = 0;
  for (const char* part : parts) p[i++] = part;
  return aDirectory_BuildPath(out, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10],
                              static_cast<const char*>(nullptr));
}

void Touch(const std::string& path, const std::string& text = "") { std::ofstream(path) << text; }

struct Seen {
  std::string path;
  uint32_t size;
  uint32_t isDirectory;
  bool operator<(const Seen& o) const { return path < o.path; }
};

bool Collect(const aDirectoryListData* data, void* ref) {
  static_cast<std::vector<Seen>*>(ref)->push_back({data->path, data->size, data->isDirectory});
  return true;
}

bool StopAtOnce(const aDirectoryListData*, void* ref) {
  ++*static_cast<int*>(ref);
  return false;
}

}  // namespace

TEST(aDirectoryBuildPath, Cases) {
  struct Row {
    std::vector<const char*> parts;
    size_t size;
    aErr result;
    std::string path;
  } rows[] = {
      {{"a", "b"}, 64, aErrNone, "a/b"},
      {{"a/", "b"}, 64, aErrNone, "a/b"},
      {{"a", "/b"}, 64, aErrNone, "a/b"},
      {{"a/", "/b"}, 64, aErrNone, "a//b"},
      {{"a", ""}, 64, aErrNone, "a/"},
      {{"", "b"}, 64, aErrNone, "b"},  // nothing built yet: no separator
      {{"", "", "b"}, 64, aErrNone, "b"},
      {{"", "/b"}, 64, aErrNone, "/b"},
      {{"/", "b"}, 64, aErrNone, "/b"},
      {{"abc", "def"}, 9, aErrNone, "abc/def"},
      {{"abc", "def"}, 8, aErrOverrun, "abc/"},
      {{"abcdefg"}, 8, aErrOverrun, ""},
      {{"abcdef"}, 8, aErrNone, "abcdef"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 64, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, 64, aErrParam, ""},
  };
  for (const auto& row : rows) {
    std::string trace;
    for (const char* p : row.parts) trace += std::string("[") + p + "]";
    SCOPED_TRACE(trace + " size " + std::to_string(row.size));
    char out[64];
    memset(out, 'z', sizeof(out));
    std::array<const char*, 11> p{};
    std::copy(row.parts.begin(), row.parts.end(), p.begin());
    aErr err = Build(out, row.size, {p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10]});
    EXPECT_EQ(err, row.result);
    EXPECT_EQ(std::string(out), row.path);
  }

  char out[16] = "x";
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), out, "b", static_cast<const char*>(nullptr)), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), "a", out, static_cast<const char*>(nullptr)), aErrParam);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 16, "a", static_cast<const char*>(nullptr)), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(out, 0, "a", static_cast<const char*>(nullptr)), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof(out), "dir", "file"), aErrNone);
  EXPECT_STREQ(out, "dir/file");
}

TEST(aDirectoryList, EntriesMissingFolderAndStop) {
  TempDir dir;
  Touch(dir / "a", "12345");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);  // stat fails: skipped

  std::vector<Seen> seen;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), Collect, &seen), aErrNone);
  std::set<std::string> paths;
  for (const auto& s : seen) {
    paths.insert(s.path);
    if (s.path == dir / "a") {
      EXPECT_EQ(s.size, 5u);
      EXPECT_EQ(s.isDirectory, 0u);
    }
    if (s.path == dir / "sub" || s.path == dir / "link" || s.path == dir / ".") {
      EXPECT_EQ(s.isDirectory, 1u);
    }
  }
  EXPECT_EQ(paths, (std::set<std::string>{dir / ".", dir / "..", dir / "a", dir / "sub", dir / "link"}));

  seen.clear();
  EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), Collect, &seen), aErrNotFound);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(aDirectory_List((dir / "a").c_str(), Collect, &seen), aErrNotFound);

  int calls = 0;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), StopAtOnce, &calls), aErrNone);
  EXPECT_EQ(calls, 1);
}

TEST(aDirectoryDeleteTree, RemovesNestedTreeButNeverFollowsLinks) {
  TempDir dir;
  std::string outside = dir / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  Touch(outside + "/keep", "precious");

  std::string tree = dir / "tree";
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tree + "/a/b").c_str(), 0755), 0);
  Touch(tree + "/top");
  Touch(tree + "/a/b/deep");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/to-outside").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/keep").c_str(), (tree + "/to-file").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
  struct stat st;
  EXPECT_NE(lstat(tree.c_str(), &st), 0);
  std::ifstream kept(outside + "/keep");
  std::string text;
  kept >> text;
  EXPECT_EQ(text, "precious");

  EXPECT_EQ(aDirectory_DeleteTree((dir / "missing").c_str()), aErrNotFound);

  // A tree named by a link to a folder: neither the link nor what it points at is touched.
  std::string link = dir / "link-to-outside";
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_EQ(aDirectory_DeleteTree(link.c_str()), aErrNotFound);
  EXPECT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_EQ(lstat((outside + "/keep").c_str(), &st), 0);
}

TEST(aDirectory, DeleteAndCWD) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "full").c_str(), 0755), 0);
  Touch(dir / "full/f");
  EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
  ASSERT_EQ(mkdir((dir / "empty").c_str(), 0755), 0);
  EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists((dir / "empty").c_str()));

  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof(expected)), nullptr);
  char cwd[PATH_MAX];
  EXPECT_EQ(aDirectory_CWD(cwd, sizeof(cwd)), aErrNone);
  EXPECT_STREQ(cwd, expected);
  EXPECT_EQ(aDirectory_CWD(cwd, 1), aErrParam);
}

TEST(aDirectory, ExecutableFilePath) {
  char link[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", link, sizeof(link));
  ASSERT_GT(n, 4);
  std::string expected(link, static_cast<size_t>(n));

  char path[PATH_MAX];
  EXPECT_EQ(aDirectory_ExecutableFilePath(path, sizeof(path)), aErrNone);
  EXPECT_EQ(std::string(path), expected);
  char tiny[5];
  EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, sizeof(tiny)), aErrNone);
  EXPECT_EQ(std::string(tiny), expected.substr(0, 4));
  EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, 1), aErrNone);
  EXPECT_STREQ(tiny, "");
  EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, 0), aErrParam);
  EXPECT_EQ(aDirectory_ExecutableFilePath(nullptr, 16), aErrParam);
}
