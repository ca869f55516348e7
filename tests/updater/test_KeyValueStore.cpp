#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "FileText.h"
#include "FixedClock.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "LogCapture.h"
#include "TempDir.h"

namespace {

using Map = std::map<std::string, std::string>;

const std::string kStamp = FixedClock::kDefaultText;

class KeyValueStoreTest : public FixedClockTest {
 protected:
  TempDir dir_;
  std::string file_ = dir_ / ".settings";
};

}  // namespace

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithBothStamps) {
  LogCapture log(DEBUG_Attributes);
  KeyValueStore kv(file_.c_str());
  EXPECT_EQ(ReadText(file_), "CREATED_TIME=" + kStamp + "\nUPDATED_TIME=" + kStamp + "\n");
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_EQ(kv.Path(), file_);
  EXPECT_EQ(log.count("Attibutes: Error - cannot open attributes file: '" + file_ + "' (2)\n"), 1u);

  // A file that is there is only read.
  clock_.set(FixedClock::kDefaultTime + 3600);
  KeyValueStore again(file_.c_str());
  EXPECT_EQ(ReadText(file_), "CREATED_TIME=" + kStamp + "\nUPDATED_TIME=" + kStamp + "\n");
}

TEST_F(KeyValueStoreTest, LinesAsRead) {
  struct Row {
    std::string text;
    Map values;
  } rows[] = {
      {"b=2\na=1\n", {{"a", "1"}, {"b", "2"}}},
      {"  key  =  value  \r\n", {{"key", "value"}}},
      {"key=a=b\nempty=\n", {{"key", "a=b"}, {"empty", ""}}},
      {"#x=1\n #y=2\n", {{"#y", "2"}}},  // "#" counts at column 0 only
      {"x=1\nx=2\n", {{"x", "2"}}},
      {"a\n=\nab\nnoequals\n=v\n", {{"", "v"}}},  // short lines and lines without "=" are skipped
      {"\t=\t\n", {{"", ""}}},
      {std::string("k=v\0junk\nn\0=1\nz=9", 17), {{"k", "v"}, {"z", "9"}}},  // NUL ends a line's text
      {"\v\fk\v=\fv\v\n", {{"k", "v"}}},
      {"a=1\rb=2\n", {{"a", "1\rb=2"}}},
      {"", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    WriteText(file_, row.text);
    KeyValueStore kv(file_.c_str());
    EXPECT_EQ(kv.Values(), row.values);
    EXPECT_FALSE(kv.IsDirty());
  }

  // Written back in key order, unchanged, without an update time.
  WriteText(file_, "b=2\na=1\n");
  KeyValueStore kv(file_.c_str());
  kv.Save();
  EXPECT_EQ(ReadText(file_), "a=1\nb=2\n");
}

TEST_F(KeyValueStoreTest, Getters) {
  WriteText(file_,
            "build=1234.bird\nword=abc\nbig=99999999999999999999\nsmall=-99999999999999999999\nhex=0x1F\n"
            "hugehex=FFFFFFFFFF\nminus=-1\nreal=2.5\nyes=3\nno=0\nempty=\n");
  KeyValueStore kv(file_.c_str());
  EXPECT_EQ(kv.GetInt("build", 7), 1234);
  EXPECT_EQ(kv.GetInt("word", 7), 0);
  EXPECT_EQ(kv.GetInt("big", 7), INT_MAX);
  EXPECT_EQ(kv.GetInt("small", 7), INT_MIN);
  EXPECT_EQ(kv.GetInt("empty", 7), 7);
  EXPECT_EQ(kv.GetHex("hex", 5), 0x1Fu);
  EXPECT_EQ(kv.GetHex("hugehex", 5), 0xFFFFFFFFu);
  EXPECT_EQ(kv.GetHex("minus", 5), 0xFFFFFFFFu);
  EXPECT_DOUBLE_EQ(kv.GetDouble("real", 1.0), 2.5);
  EXPECT_DOUBLE_EQ(kv.GetDouble("empty", 1.5), 1.5);
  EXPECT_TRUE(kv.GetBOOL("yes", false));
  EXPECT_FALSE(kv.GetBOOL("no", true));
  EXPECT_EQ(kv.GetString("empty", "dflt"), "");
  EXPECT_EQ(kv.GetString("absent", "dflt"), "dflt");
  EXPECT_EQ(kv.GetString("absent", nullptr), "");
  EXPECT_STREQ(kv["real"], "2.5");
  EXPECT_EQ(kv["absent"], nullptr);
  EXPECT_EQ(kv.Values().count("absent"), 0u);  // neither adds the key

  // The other getters add a missing key, empty, saved next time without marking a change.
  EXPECT_EQ(kv.GetInt("missing", 7), 7);
  EXPECT_FALSE(kv.IsDirty());
  kv.Save();
  EXPECT_NE(ReadText(file_).find("\nmissing=\n"), std::string::npos);
  EXPECT_EQ(ReadText(file_).find("UPDATED_TIME"), std::string::npos);
}

TEST_F(KeyValueStoreTest, SettersAndUpdateTime) {
  WriteText(file_, "same=1\n");
  KeyValueStore kv(file_.c_str());
  EXPECT_TRUE(kv.Add("same", 1));
  EXPECT_FALSE(kv.IsDirty());
  kv.Save();
  EXPECT_EQ(ReadText(file_), "same=1\n");

  EXPECT_TRUE(kv.Add("i", -5));
  EXPECT_TRUE(kv.Add("d", 0.5));
  EXPECT_TRUE(kv.Add("s", std::string("text")));
  EXPECT_TRUE(kv.AddHex("h", 0xABCu));
  EXPECT_TRUE(kv.IsDirty());
  kv.Save();
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_EQ(ReadText(file_), "UPDATED_TIME=" + kStamp + "\nd=0.500000\nh=0x00000ABC\ni=-5\ns=text\nsame=1\n");

  KeyValueStore other;
  other.Add("s", "replaced");
  KeyValueStore copy(kv);
  EXPECT_TRUE(copy.Add(other));
  EXPECT_TRUE(copy.IsDirty());
  EXPECT_STREQ(copy["s"], "replaced");
  EXPECT_STREQ(kv["s"], "text");
  EXPECT_TRUE(copy.Clear());
  EXPECT_TRUE(copy.Values().empty());
  EXPECT_TRUE(copy.IsDirty());
}

TEST_F(KeyValueStoreTest, DefaultFileName) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  LogCapture log(DEBUG_Attributes);
  KeyValueStore kv;
  kv.Add("k", "v");
  kv.Save();
  EXPECT_EQ(chdir(saved), 0);
  EXPECT_EQ(ReadText(file_), "UPDATED_TIME=" + kStamp + "\nk=v\n");
  EXPECT_NE(log.text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
            std::string::npos);
}

TEST_F(KeyValueStoreTest, HistorySurvivesLongLines) {
  std::string transfer(3000, 'p');
  std::string huge(70000, 'h');
  WriteText(file_, "A_FIRST=1\nLATEST_DOWNLOAD=1234.bird\nLATEST_TRANSFER=/" + transfer + "\nHUGE=" + huge +
                       "\nLAST_TRANSFER_DATE=" + kStamp + "\nZ_LAST=9\n");
  LogCapture log(DEBUG_Attributes);
  KeyValueStore kv(file_.c_str());
  EXPECT_EQ(log.count("Attibutes: Error - skipped a line over 65536 characters in '" + file_ + "'\n"), 1u);
  kv.Add("LATEST_DOWNLOAD", "1300.bird");
  kv.Save();

  KeyValueStore reloaded(file_.c_str());
  EXPECT_EQ(reloaded.Values(), (Map{{"A_FIRST", "1"},
                                    {"LATEST_DOWNLOAD", "1300.bird"},
                                    {"LATEST_TRANSFER", "/" + transfer},
                                    {"LAST_TRANSFER_DATE", kStamp},
                                    {"UPDATED_TIME", kStamp},
                                    {"Z_LAST", "9"}}));

  // The longest line kept: 65536 characters.
  std::string longest = "K=" + std::string(65534, 'v');
  WriteText(file_, longest + "\nafter=1");
  KeyValueStore edge(file_.c_str());
  EXPECT_EQ(edge.GetString("K", "").size(), 65534u);
  EXPECT_STREQ(edge["after"], "1");
}

TEST_F(KeyValueStoreTest, UnreadableFileIsNeverReplaced) {
  // A link to itself (ELOOP) and a folder (EISDIR): both hide whatever history is there.
  ASSERT_EQ(symlink(".settings", file_.c_str()), 0);
  std::string folder = dir_ / "folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  struct Row {
    std::string path;
    int error;
  } rows[] = {{file_, ELOOP}, {folder, EISDIR}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv(row.path.c_str());
    EXPECT_EQ(log.count("Attibutes: Error - cannot open attributes file: '" + row.path + "' (" +
                                    std::to_string(row.error) + ")\n"),
              1u);
    EXPECT_TRUE(kv.Values().empty());
    kv.Add("LATEST_TRANSFER", "1.bird");
    kv.Save();
    EXPECT_TRUE(kv.IsDirty());
    EXPECT_EQ(log.count("Attibutes: Error - not replacing unread attributes file: '" + row.path + "'\n"), 1u);
  }
  char target[64] = {};
  EXPECT_EQ(readlink(file_.c_str(), target, sizeof(target) - 1), 9);
  EXPECT_STREQ(target, ".settings");
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(KeyValueStoreTest, FailedSaveKeepsChanges) {
  std::string file = dir_ / "missing/.settings";
  LogCapture log(DEBUG_Attributes);
  KeyValueStore kv;
  kv.Add("k", "v");
  kv.Save(file.c_str());
  EXPECT_TRUE(kv.IsDirty());
  EXPECT_STREQ(kv[KeyValueStore::KEY_UPDATED_TIME], kStamp.c_str());
  EXPECT_EQ(log.count("Attibutes: Error - cannot open attributes file for writting: '" + file + "' (2)\n"),
            1u);
}
