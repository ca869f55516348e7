#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "RunUpdater.h"
#include "TempDir.h"

namespace {

const std::string kBanner = "Corvantis Update and Maintenance Application";
constexpr uid_t kNoPasswdUid = 54321;
// A server URL for command lines that fail before any request: nothing listens there.
const char* const kNoServer = "http://127.0.0.1:9/cgi/u";

std::string Golden(const std::string& name) {
  std::ifstream in(std::string(CORVANTIS_SOURCE_DIR) + "/tests/e2e/golden/" + name);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Checks standard output line by line; "V" stands for the version line, "N" for the banner.
void ExpectStdout(const std::string& out, const std::vector<std::string>& expected) {
  static const std::regex version(R"(^Updater \(Version: 2\.12\.5 [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\)$)");
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), expected.size()) << out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (expected[i] == "V") {
      EXPECT_TRUE(std::regex_match(lines[i], version)) << lines[i];
    } else if (expected[i] == "N") {
      EXPECT_EQ(lines[i], kBanner);
    } else {
      EXPECT_EQ(lines[i], expected[i]);
    }
  }
}

// Every path below `dir`, relative to it.
std::set<std::string> Tree(const std::string& dir, const std::string& prefix = "") {
  std::set<std::string> paths;
  DIR* d = opendir(dir.c_str());
  if (!d) return paths;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    paths.insert(prefix + name);
    if (e->d_type == DT_DIR) {
      for (const auto& p : Tree(dir + "/" + name, prefix + name + "/")) paths.insert(p);
    }
  }
  closedir(d);
  return paths;
}

bool IsDirWithMode(const std::string& path, mode_t mode) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == mode;
}

// A fresh folder T with T/home; S (T/s) does not exist yet.
struct Folder {
  TempDir t;
  Folder() { mkdir((t / "home").c_str(), 0755); }
  std::string T() const { return t.path(); }
  std::string S() const { return t / "s"; }
  // Replaces the words S and T/... of an argument list.
  std::vector<std::string> Args(const std::vector<std::string>& args) const {
    std::vector<std::string> out;
    for (const auto& a : args) {
      if (a == "S") {
        out.push_back(S());
      } else if (a.rfind("T/", 0) == 0) {
        out.push_back(T() + a.substr(1));
      } else {
        out.push_back(a);
      }
    }
    return out;
  }
  RunResult Run(const std::vector<std::string>& args) const {
    RunOptions options;
    options.cwd = T();
    return RunUpdater(Args(args), options);
  }
  bool Untouched() const { return Tree(T()) == std::set<std::string>{"home"}; }
};

struct Row {
  std::vector<std::string> args;
  std::vector<std::string> out;
  std::string err;  // "@name" appends the golden file of that name
  int exit;
  std::function<void(const Folder&)> check;
};

std::string Expand(const std::string& err, const Folder& f) {
  std::string text = err;
  size_t at = text.find('@');
  if (at != std::string::npos) text = text.substr(0, at) + Golden(text.substr(at + 1));
  // T in messages stands for the folder.
  for (size_t p = text.find("{T}"); p != std::string::npos; p = text.find("{T}")) text.replace(p, 3, f.T());
  return text;
}

void RunRows(const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    std::string name;
    for (const auto& a : r.args) name += a + " ";
    SCOPED_TRACE(name);
    Folder f;
    RunResult run = f.Run(r.args);
    EXPECT_EQ(run.exitStatus, r.exit) << run.err;
    ExpectStdout(run.out, r.out);
    EXPECT_EQ(run.err, Expand(r.err, f));
    if (r.check) r.check(f);
  }
}

const auto kUntouched = [](const Folder& f) { EXPECT_TRUE(f.Untouched()); };
const auto kStoreMade = [](const Folder& f) {
  EXPECT_TRUE(IsDirWithMode(f.S(), 0755));
  EXPECT_TRUE(IsDirWithMode(f.S() + "/updater", 0755));
};
const auto kNoStore = [](const Folder& f) { EXPECT_EQ(access(f.S().c_str(), F_OK), -1); };

}  // namespace

TEST(UpdaterCli, UsageAndHelp) {
  RunRows({
      {{}, {"V", "N"}, "@usage_short.txt", 0, kUntouched},
      {{"-h"}, {"V", "N"}, "@usage_full.txt", 0, kUntouched},
      {{"--he"}, {"V", "N"}, "@usage_full.txt", 0, kUntouched},
      {{"-h", "-X", "1"}, {"V", "N"}, "@usage_full.txt", 0, kUntouched},
      {{"-X", "1", "-h"}, {"V", "N"}, "@usage_full_extended.txt", 0, kUntouched},
      {{"-i", "S", "-Z"}, {"V", "N"}, "@usage_short.txt", 0, kNoStore},
  });
}

TEST(UpdaterCli, RejectedCommandLines) {
  RunRows({
      {{"-t", "foo", "-D"}, {"V", "N"},
       "Invalid transport type:[foo]\nMust be one of the following: USB, TCPIP, RECOVER\n@usage_short.txt", 1,
       kUntouched},
      {{"-d", "0", "-D"}, {"V", "N"}, "Invalid serial number obtained from argument [0]\n@usage_short.txt", 1,
       kUntouched},
      {{"-d", "40G5", "-D"}, {"V", "N"}, "Invalid serial number obtained from argument [40G5]\n@usage_short.txt", 1,
       kUntouched},
      {{"-d", "1FFFFFFFF", "-D"}, {"V", "N"},
       "Invalid serial number obtained from argument [1FFFFFFFF]\n@usage_short.txt", 1, kUntouched},
      {{"-D", "-r", "0"}, {"V", "N"}, "Invalid router serial number obtained from argument [0]\n@usage_short.txt", 1,
       kUntouched},
      {{"-D", "-r", "XYZ"}, {"V", "N"}, "Invalid router serial number obtained from argument [XYZ]\n@usage_short.txt", 1,
       kUntouched},
      {{"-Y"}, {"V", "N"}, "Unhandled command: [-Y]\n@usage_short.txt", 1, kUntouched},
      {{"-u", "h:1", "--https", "-I"}, {"V", "N"},
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n@usage_short.txt",
       1, kUntouched},
      {{"--http", "--http", "-I"}, {"V", "N"},
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n@usage_short.txt",
       1, kUntouched},
      {{"-i", "S", "-b", "12x", "-I"}, {"V", "N"},
       "Invalid format for \"-b\" parameter, unprocessed characters [x]\n@usage_short.txt", 1, kNoStore},
  });
}

TEST(UpdaterCli, StoreOnlyCommands) {
  RunRows({
      {{"-i", "S", "-I"}, {"V"}, "", 0, kStoreMade},
      {{"-i", "S", "-C"}, {"V"}, "", 0, kStoreMade},
      {{"-i", "S", "-Z", "x"}, {"V"}, "", 0, kStoreMade},
      {{"-i", "S", "-X", "12abc", "-I"}, {"V"}, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n",
       0, kStoreMade},
      {{"-X", "1", "-d", "0x40F5849A", "-i", "S", "-I"}, {"V"}, "Discarding '0x' serial number prefix\n", 0,
       kStoreMade},
      {{"-d", "0x40F5849A", "-X", "1", "-i", "S", "-I"}, {"V"}, "", 0, kStoreMade},
  });
}

TEST(UpdaterCli, MissingPartsOfCommands) {
  RunRows({
      {{"-i", "S", "-B", "-u", kNoServer}, {"V"},
       "Error must supply a serial number for the List Builds command\n@usage_short.txt", 1, nullptr},
      {{"-i", "S", "-L"}, {"V"},
       "Error must supply a serial number for the List Local Builds command\n@usage_short.txt", 1, nullptr},
      {{"-i", "S", "-G", "-u", kNoServer}, {"V"},
       "-G must specify a specific device via -d\n--help for usage information\n", 1, nullptr},
      {{"-i", "S", "-N", "-u", kNoServer}, {"V"}, "Must specify the serial port used for connecting\n", 1, nullptr},
      {{"-i", "S", "-U", "-u", kNoServer}, {"V"}, "Must specify the specific device to be updated\n", 1, nullptr},
  });
}

TEST(UpdaterCli, StoreBelowAPlainFile) {
  Folder f;
  std::ofstream(f.t / "f") << "plain";
  RunResult run = f.Run({"-i", "T/f/x", "-I"});
  EXPECT_EQ(run.exitStatus, 1);
  ExpectStdout(run.out, {"V"});
  EXPECT_EQ(run.err, "Could not find updater directory at " + f.T() + "/f/x/updater\n");
}

TEST(UpdaterCli, ParametersAreLoggedAsReordered) {
  Folder f;
  RunResult run = f.Run({"-X", "0x10000", "foo", "-i", "S", "-I"});
  EXPECT_EQ(run.exitStatus, 0);
  ExpectStdout(run.out, {"V"});
  EXPECT_EQ(run.err, "\nApplication parameters:[updater]\n\t[" + std::string(CORVANTIS_UPDATER_PATH) +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-i]\n\t[" + f.S() + "]\n\t[-I]\n\t[foo]\n");
}

TEST(UpdaterCli, HomeOfAUserWithoutPasswordEntry) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a password entry";
  Folder f;
  chmod(f.T().c_str(), 0755);
  std::string home = f.t / "h";
  mkdir(home.c_str(), 0755);
  ASSERT_EQ(chown(home.c_str(), kNoPasswdUid, kNoPasswdUid), 0);

  // A copy in T, so that the other user can run it wherever the build tree lives.
  std::string program = f.t / "updater";
  {
    std::ifstream in(CORVANTIS_UPDATER_PATH, std::ios::binary);
    std::ofstream out(program, std::ios::binary);
    out << in.rdbuf();
  }
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);

  RunOptions asUser;
  asUser.cwd = f.T();
  asUser.uid = kNoPasswdUid;
  asUser.home = home;
  RunResult made = RunProgram(program, {"-I"}, asUser);
  EXPECT_EQ(made.exitStatus, 0) << made.err;
  ExpectStdout(made.out, {"V"});
  EXPECT_EQ(made.err, "");
  EXPECT_TRUE(IsDirWithMode(home + "/.tavrin/updater", 0755));

  asUser.unsetHome = true;
  RunResult none = RunProgram(program, {"-X", "0x10000", "-I"}, asUser);
  EXPECT_EQ(none.exitStatus, 1);
  ExpectStdout(none.out, {"V"});
  const std::string tail = "Updater: FailedaDirectory_GetHomeDirectory()==> 3\n";
  ASSERT_GE(none.err.size(), tail.size());
  EXPECT_EQ(none.err.substr(none.err.size() - tail.size()), tail);
  EXPECT_EQ(access("/.tavrin", F_OK), -1);
}

// These change when their capability lands.
TEST(UpdaterCli, WorkflowsNotInThisBuild) {
  RunRows({
      {{"-i", "S", "-D"}, {"V", "Searching for Corvantis devices", "Discovered Devices: (USB)", "    No devices found."}, "",
       0, nullptr},
      {{"-i", "S", "-U", "-t", "RECOVER", "-s", "T/tty", "-u", kNoServer}, {"V"}, "Could not get Device Identifier\n",
       1, nullptr},
  });
}

TEST(UpdaterCli, OddArgumentVectorsNeverCrash) {
  std::vector<std::string> many;
  for (int i = 0; i < 80; ++i) many.push_back(i % 2 ? "-" : "x" + std::to_string(i));
  const std::vector<std::vector<std::string>> lines = {
      {"-", "--", "-=", "=", "", "-i"},
      {"-d", "-d", "-d", "-b", "-t", "-u", "-X"},
      many,
      {std::string(5000, 'A'), "-" + std::string(5000, 'B'), "-d", std::string(3000, 'C')},
  };
  for (const auto& args : lines) {
    Folder f;
    RunResult run = f.Run(args);
    EXPECT_TRUE(run.exitStatus == 0 || run.exitStatus == 1) << run.err;
    EXPECT_EQ(run.signal, 0);
  }
}
