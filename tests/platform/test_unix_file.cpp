#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FileText.h"
#include "RunInChild.h"
#include "TempDir.h"
#include "unix_file.h"

namespace {

const uint8_t* U8(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

}  // namespace

TEST(aFile, OpenModesAndPaths) {
  TempDir dir;
  std::string file = dir / "f";
  WriteText(file, "0123456789");
  struct Row {
    std::string path;
    uint32_t mode;
    bool opens;
  } rows[] = {
      {file, aFILE_MODE_READ, true}, {file, aFILE_MODE_APPEND, true}, {file, 3, false}, {file, 7, false},
      {"", aFILE_MODE_READ, false},  {dir / "missing", aFILE_MODE_READ, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path + " mode " + std::to_string(row.mode));
    aFile* f = aFile_Open(row.path.c_str(), row.mode);
    EXPECT_EQ(f != nullptr, row.opens);
    aFile_Close(&f);
  }
  EXPECT_EQ(aFile_Open(nullptr, aFILE_MODE_READ), nullptr);

  // 4096 characters go to the system (which refuses them); 4097 are refused before.
  std::string exact = "/" + std::string(4095, 'a');
  errno = 0;
  EXPECT_EQ(aFile_Open(exact.c_str(), aFILE_MODE_READ), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  errno = 0;
  EXPECT_EQ(aFile_Open((exact + "a").c_str(), aFILE_MODE_READ), nullptr);
  EXPECT_EQ(errno, 0);

  // Append starts at the end: nothing to read there; writing appends.
  aFile* f = aFile_Open(file.c_str(), aFILE_MODE_APPEND);
  uint8_t buf[16];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(f, buf, sizeof(buf), &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(f, U8("ab"), 2, &count), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(ReadText(file), "0123456789ab");

  // Write truncates, and a written file is not readable through its handle.
  f = aFile_Open(file.c_str(), aFILE_MODE_WRITE);
  EXPECT_EQ(aFile_Read(f, buf, 1, &count), aErrMode);
  EXPECT_EQ(aFile_Printf(f, "%d-%s", 7, "x"), aErrNone);
  EXPECT_EQ(aFile_SetUnbuffered(f), aErrNone);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(ReadText(file), "7-x");

  f = aFile_Open(file.c_str(), aFILE_MODE_READ);
  EXPECT_EQ(aFile_Write(f, U8("x"), 1, &count), aErrMode);
  EXPECT_EQ(aFile_Printf(f, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(f), aErrMode);
  EXPECT_EQ(aFile_Read(f, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Read(f, buf, 0, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(f, buf, sizeof(buf), &count), aErrNone);  // short read
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST(aFile, CloseTwiceAndInvalidHandles) {
  TempDir dir;
  WriteText(dir / "f", "x");
  aFile* f = aFile_Open((dir / "f").c_str(), aFILE_MODE_READ);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);

  aFile fake = {nullptr, 0, 0};
  aFile* bad = &fake;
  uint8_t buf[4];
  size_t count, size;
  int64_t position;
  char line[8];
  EXPECT_EQ(aFile_Read(bad, buf, 4, &count), aErrParam);
  EXPECT_EQ(aFile_Write(bad, buf, 4, &count), aErrParam);
  EXPECT_EQ(aFile_Seek(bad, 0, 0), aErrParam);
  EXPECT_EQ(aFile_GetSize(bad, &size), aErrParam);
  EXPECT_EQ(aFile_GetPosition(bad, &position), aErrParam);
  EXPECT_EQ(aFile_ReadLine(bad, line, sizeof(line), &count), aErrParam);
  EXPECT_EQ(aFile_Printf(bad, "x"), aErrParam);
  EXPECT_EQ(aFile_Close(&bad), aErrParam);
  EXPECT_EQ(bad, nullptr);  // cleared, nothing freed
}

TEST(aFile, Seek) {
  TempDir dir;
  WriteText(dir / "f", "0123456789");
  aFile* f = aFile_Open((dir / "f").c_str(), aFILE_MODE_READ);
  ASSERT_NE(f, nullptr);
  struct Row {
    int64_t offset;
    int origin;
    aErr result;
    int64_t position;  // afterwards
  } rows[] = {
      {3, 0, aErrNone, 3},        {2, 1, aErrNone, 5},   {0, 2, aErrNone, 10},
      {1, 2, aErrRange, 10},      {-10, 2, aErrNone, 0}, {-1, 0, aErrRange, 0},
      {4, 9, aErrNone, 4},        {-5, 1, aErrRange, 4}, {INT64_MAX, 1, aErrRange, 4},
      {INT64_MIN, 2, aErrRange, 4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.offset) + " from " + std::to_string(row.origin));
    EXPECT_EQ(aFile_Seek(f, row.offset, row.origin), row.result);
    int64_t position = -1;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, row.position);
  }
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
  aFile_Close(&f);
}

TEST(aFile, ReadLine) {
  TempDir dir;
  // With size 8: six characters and a line feed fill the buffer exactly; seven without a
  // line feed overrun; a NUL byte is counted; the last line has no line feed.
  WriteText(dir / "f", std::string("abcdef\nABCDEFGhi\nx\0y\nlast", 25));
  aFile* f = aFile_Open((dir / "f").c_str(), aFILE_MODE_READ);
  ASSERT_NE(f, nullptr);
  struct Row {
    aErr result;
    std::string text;
  } rows[] = {
      {aErrNone, "abcdef\n"},
      {aErrOverrun, "ABCDEFG"},
      {aErrNone, "hi\n"},
      {aErrNone, std::string("x\0y\n", 4)},
      {aErrNone, "last"},
      {aErrEOF, ""},
  };
  char buf[8];
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &length), row.result);
    EXPECT_EQ(std::string(buf, length), row.text);
  }
  size_t length = 99;
  EXPECT_EQ(aFile_ReadLine(f, buf, 1, &length), aErrParam);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(aFile_ReadLine(f, buf, 0, &length), aErrParam);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), nullptr), aErrParam);
  aFile_Close(&f);

  f = aFile_Open((dir / "f").c_str(), aFILE_MODE_WRITE);
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &length), aErrMode);
  aFile_Close(&f);
}

TEST(aFile, FullDiskIsReportedAtClose) {
  aFile* f = aFile_Open("/dev/full", aFILE_MODE_WRITE);
  ASSERT_NE(f, nullptr);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(f, U8("0123456789"), 10, &count), aErrNone);  // still buffered
  EXPECT_EQ(aFile_Close(&f), aErrIO);
  EXPECT_EQ(f, nullptr);
}

TEST(aFile, ShortWriteIsAnError) {
  TempDir dir;
  std::string file = dir / "f";
  int status = RunInChild(
      [&] {
        aFile* f = aFile_Open(file.c_str(), aFILE_MODE_WRITE);
        if (f == nullptr) return 1;
        std::vector<uint8_t> data(10000, 'x');
        size_t count = 0;
        aErr err = aFile_Write(f, data.data(), data.size(), &count);
        aFile_Close(&f);
        if (err != aErrIO) return 2;
        return count == 4096 ? 0 : 3;
      },
      {.fileSize = 4096});
  EXPECT_EQ(ChildExitCode(status), 0);
}

TEST(aFile, Delete) {
  TempDir dir;
  std::string file = dir / "f";
  WriteText(file, "x");
  int status = RunInChild([&] { return aFile_Delete(file.c_str()) == aErrPermission ? 0 : 1; }, {.uid = 65534});
  EXPECT_EQ(ChildExitCode(status), 0);
  EXPECT_TRUE(aFile_Exists(file.c_str()));
  EXPECT_EQ(aFile_Delete(file.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(file.c_str()));
  EXPECT_EQ(aFile_Delete(file.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_EQ(aFile_Delete(std::string(4097, 'a').c_str()), aErrFileNameLength);
  EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);  // a folder (EISDIR)
}

TEST(aFile, Exists) {
  TempDir dir;
  WriteText(dir / "f", "");
  EXPECT_TRUE(aFile_Exists((dir / "f").c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
  EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(aFileReplaceAtomically, ReplacesWholeWithPlainCreateMode) {
  TempDir dir;
  std::string file = dir / "f";
  for (mode_t mask : {022, 077}) {
    SCOPED_TRACE(mask);
    unlink(file.c_str());
    mode_t saved = umask(mask);
    EXPECT_EQ(aFile_ReplaceAtomically(file.c_str(), U8("new"), 3), aErrNone);
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  }
  WriteText(file, "an older and longer text");
  EXPECT_EQ(aFile_ReplaceAtomically(file.c_str(), U8("short"), 5), aErrNone);
  EXPECT_EQ(ReadText(file), "short");
  EXPECT_EQ(aFile_ReplaceAtomically(file.c_str(), nullptr, 0), aErrNone);
  EXPECT_EQ(ReadText(file), "");
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"f"});
}

TEST(aFileReplaceAtomically, FailuresLeaveTheOldFile) {
  TempDir dir;
  std::string file = dir / "f";
  WriteText(file, "old");
  EXPECT_EQ(aFile_ReplaceAtomically((dir / "missing/f").c_str(), U8("x"), 1), aErrNotFound);
  EXPECT_EQ(aFile_ReplaceAtomically(file.c_str(), nullptr, 1), aErrParam);
  EXPECT_EQ(aFile_ReplaceAtomically(nullptr, U8("x"), 1), aErrParam);

  // A folder where the file belongs: everything is written, then the rename is refused.
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  EXPECT_EQ(aFile_ReplaceAtomically((dir / "folder").c_str(), U8("x"), 1), aErrIO);
  EXPECT_TRUE(FolderNames(dir / "folder").empty());

  int status = RunInChild(
      [&] {
        std::vector<uint8_t> data(10000, 'x');
        return aFile_ReplaceAtomically(file.c_str(), data.data(), data.size()) == aErrIO && errno == EFBIG ? 0 : 1;
      },
      {.fileSize = 4096});
  EXPECT_EQ(ChildExitCode(status), 0);
  EXPECT_EQ(ReadText(file), "old");
  auto names = FolderNames(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"f", "folder"}));
}
