#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "FileText.h"
#include "BirdBuilder.h"
#include "FakeUpdateServer.h"
#include "Netns.h"
#include "RunUpdater.h"
#include "TempDir.h"
#include "base64.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kHi = "/cgi/u?op=hi&rv=2&";
const char* const kQu = "/cgi/u?op=qu&sn=40F5849A&";
const char* const kBuilds = "/cgi/u?op=builds&sn=40F5849A&";

std::string Row(const std::string& build, const std::string& version) {
  char line[64];
  snprintf(line, sizeof(line), "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
  return line;
}

std::string Bird(uint32_t build) {
  return "/cgi/u?bld=" + std::to_string(build) + "&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&";
}

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Base64(const std::string& bytes) {
  size_t length = 0;
  char* text = base64_encode(bytes.data(), bytes.size(), &length);
  std::string out(text, length);
  free(text);
  return out;
}

// The names in a folder, sorted.
Lines Names(const std::string& dir) {
  Lines names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Standard output after the version line.
Lines After(const std::string& out) {
  Lines lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  static const std::regex version(R"(^Updater \(Version: 2\.12\.5 [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}\)$)");
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_TRUE(std::regex_match(lines[0], version)) << lines[0];
  return Lines(lines.begin() + 1, lines.end());
}

// A fresh store S and the device's folder in it.
struct Store {
  TempDir t;
  std::string S() const { return t / "s"; }
  std::string Device() const { return S() + "/updater/40F5849A"; }
  void MakeDevice() const {
    mkdir(S().c_str(), 0755);
    mkdir((S() + "/updater").c_str(), 0755);
    mkdir(Device().c_str(), 0755);
  }
  RunResult Run(Lines args, const std::string& url) const {
    args.insert(args.end(), {"-u", url, "-i", S()});
    return RunUpdater(args);
  }
};

// A download's peak resident set stays below this, whatever the server sends (about 140 MiB
// for a body cut at the image limit). ASan keeps freed blocks in its quarantine (up to
// 256 MiB) and adds shadow memory, in the child and in the test process whose copy the figure
// counts, so its bound is wider. Without the download limits a 100 MiB image passes either
// bound, an endless body passes it many times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakRssKb = 350 * 1024;
#else
constexpr long kPeakRssKb = 200 * 1024;
#endif

const Lines kServerList = {"Build List for device [40F5849A]:", "", Row("Build", "Version"), Row("1234", "2.12.5"),
                           Row("1233", "2.10.1"), Row("1200", "2.9.0")};

const Lines kDownloadLatest = {"Retrieving firmware for device with serial number 40F5849A",
                               "No build specified",
                               "Using Latest build",
                               "Retrieving build 1234",
                               "Validating build 1234 with server",
                               "Build 1234 is valid"};

}  // namespace

TEST(ServerBuildList, NewestFirst) {
  Store s;
  FakeUpdateServer server;
  RunResult run = s.Run({"-B", "-d", "40F5849A"}, server.url());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(After(run.out), kServerList);
  EXPECT_EQ(Row("Build", "Version"), "Build          \tVersion        ");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(server.targets(), (Lines{kHi, kBuilds}));

  server.Set("builds", FakeReply().Body("ok\n"));
  RunResult empty = s.Run({"-B", "-d", "40F5849A"}, server.url());
  EXPECT_EQ(empty.exitStatus, 0);
  EXPECT_EQ(After(empty.out), Lines{"No builds found for device [40F5849A]"});
}

TEST(ServerBuildList, FailedRequestsExitOne) {
  Store s;
  FakeUpdateServer server;
  server.Set("hi", FakeReply().Status(500));
  const std::string closed = [] {
    FakeUpdateServer gone;
    return gone.url();
  }();
  for (const std::string& url : {server.url(), closed}) {
    SCOPED_TRACE(url);
    RunResult run = s.Run({"-B", "-d", "40F5849A"}, url);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(After(run.out), Lines{});
    EXPECT_EQ(run.err, "Server request failed for " + url + "\n");
  }

  server.Clear("hi");
  server.Set("builds", FakeReply().Status(404));
  RunResult run = s.Run({"-B", "-d", "40F5849A"}, server.url());
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(After(run.out), Lines{});
  EXPECT_EQ(run.err, "Failed to retrieve builds for 40F5849A\n");
}

TEST(ServerBuildList, Https) {
  Store s;
  TempDir goodDir, otherDir;
  FakeUpdateServer good(MakeTestCertificate(goodDir.path(), "IP:127.0.0.1"));
  RunResult run = s.Run({"-B", "-d", "40F5849A"}, good.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(After(run.out), kServerList);

  FakeUpdateServer other(MakeTestCertificate(otherDir.path(), "DNS:other.invalid"));
  RunResult refused = s.Run({"-B", "-d", "40F5849A"}, other.url());
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.err, "Server request failed for " + other.url() + "\n");
  RunResult logged = s.Run({"-B", "-d", "40F5849A", "-X", "0x20"}, other.url());
  EXPECT_NE(logged.err.find("ping ==> [SSL peer certificate or SSH remote key was not OK]\n"), std::string::npos)
      << logged.err;
  EXPECT_EQ(other.targets(), Lines{});
}

TEST(LocalBuildList, VersionsFromTheStoredImages) {
  Store s;
  s.MakeDevice();
  WriteText(s.Device() + "/1234.bird", Text(MakeFakeImage(1234, "2.12.5")));
  WriteText(s.Device() + "/1235.bird", Text(MakeFakeImage(1235, "2.12.6")));
  WriteText(s.Device() + "/1236.bird",
            Text(BirdBuilder().Descriptor(1236, "2.12.7", 0x40F5849A, "USBHub3p").TruncateCompressed(10).Bytes()));
  WriteText(s.Device() + "/notes.txt", "notes");
  FakeUpdateServer server;

  RunResult run = s.Run({"-L", "-d", "40F5849A"}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(After(run.out), (Lines{"Build List for device [40F5849A]:", "", Row("Build", "Version"),
                                   Row("1235", "2.12.6"), Row("1234", "2.12.5"), Row("1236", ""),
                                   Row("notes.txt", "")}));
  EXPECT_EQ(run.err, "");

  RunResult none = s.Run({"-L", "-d", "0000ABCD"}, server.url());
  EXPECT_EQ(none.exitStatus, 0);
  EXPECT_EQ(After(none.out), Lines{"No builds found for device [0000ABCD]"});
  EXPECT_EQ(server.targets(), Lines{});
}

TEST(Download, NewestBuild) {
  Store s;
  FakeUpdateServer server;
  RunResult run = s.Run({"-G", "-d", "40F5849A"}, server.url());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(After(run.out), kDownloadLatest);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(server.targets(), (Lines{kHi, kQu, kBuilds, Bird(1234)}));
  EXPECT_EQ(ReadText(s.Device() + "/1234.bird"), Text(MakeFakeImage()));
  std::string settings = ReadText(s.Device() + "/.settings");
  EXPECT_NE(settings.find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos) << settings;
  EXPECT_TRUE(std::regex_search(settings, std::regex("(^|\n)LAST_DOWNLOAD_DATE=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n")))
      << settings;
}

TEST(Download, NamedAndUnlistedBuilds) {
  Store s;
  FakeUpdateServer server;
  RunResult older = s.Run({"-G", "-d", "40F5849A", "-b", "1200"}, server.url());
  EXPECT_EQ(older.exitStatus, 0) << older.err;
  EXPECT_EQ(After(older.out), (Lines{"Retrieving firmware for device with serial number 40F5849A",
                                     "Retrieving firmware build 1200", "Retrieving build 1200",
                                     "Validating build 1200 with server", "Build 1200 is valid"}));
  // The newest version goes with the older build.
  EXPECT_EQ(server.targets().back(), Bird(1200));
  EXPECT_EQ(ReadText(s.Device() + "/1200.bird"), Text(MakeFakeImage()));

  RunResult unlisted = s.Run({"-G", "-d", "40F5849A", "-b", "999"}, server.url());
  EXPECT_EQ(unlisted.exitStatus, 1);
  EXPECT_EQ(unlisted.err, "No valid build 999\n");
  EXPECT_EQ(server.count("bird"), 1u);
  EXPECT_EQ(Names(s.Device()), (Lines{".settings", "1200.bird"}));

  RunResult forced = s.Run({"-G", "-d", "40F5849A", "-b", "999", "-OVERRIDE"}, server.url());
  EXPECT_EQ(forced.exitStatus, 0) << forced.err;
  EXPECT_EQ(After(forced.out), (Lines{"Retrieving firmware for device with serial number 40F5849A",
                                      "Retrieving firmware build 999", "Retrieving build 999",
                                      "Override specified, skipping validation of build 999"}));
  EXPECT_EQ(server.count("builds"), 2u);
  EXPECT_EQ(server.targets().back(), Bird(999));
  EXPECT_EQ(Names(s.Device()), (Lines{".settings", "1200.bird", "999.bird"}));
}

TEST(Download, FailuresKeepTheStoredBuild) {
  const std::string image = Text(MakeFakeImage());
  const std::string encoded = Base64(image);
  const std::string notImage = "ok\n" + Base64("<html>error</html>") + "\n";
  const std::string cutImage = "ok\n" + encoded.substr(0, encoded.size() / 8 * 4) + "\n";
  // Replies a server (or anyone on the way: the default server is plain HTTP) could send to
  // exhaust memory. They are made as they are sent.
  const uint64_t hundredMiB = uint64_t{100} << 20;
  const uint64_t endless = uint64_t{1} << 30;
  const FakeReply hugeImage = FakeReply().Body("ok\n").Repeat("QUJD", hundredMiB, "\n");
  struct Case {
    const char* name;
    const char* op;
    FakeReply reply;
    bool crlf;
    const char* err;  // URL stands for the server's URL
    Lines requests;   // empty: all four
  };
  const Case cases[] = {
      {"bird 404", "bird", FakeReply().Status(404), false, "Download failed\nFailed to retrieve a valid BIRD file\n",
       {}},
      {"not an image", "bird", FakeReply().Body(notImage), false, "Failed to retrieve a valid BIRD file\n", {}},
      {"cut image", "bird", FakeReply().Body(cutImage), false, "Failed to retrieve a valid BIRD file\n", {}},
      {"line ends in CR", "bird", FakeReply(), true, "", {}},
      {"newest build unreadable", "qu", FakeReply().Body("ok\nabc\n2.12.5\n"), false,
       "No build information for device\n", {kHi, kQu}},
      {"100 MiB image, length announced", "bird", hugeImage, false,
       "Download failed\nFailed to retrieve a valid BIRD file\n", {}},
      {"100 MiB image, chunked", "bird", FakeReply(hugeImage).Chunked(), false,
       "Download failed\nFailed to retrieve a valid BIRD file\n", {}},
      {"endless greeting", "hi", FakeReply().Body("ok\n").Repeat("x", endless).Chunked(), false,
       "Server request failed for URL\n", {kHi}},
      {"newest build one endless line", "qu", FakeReply().Body("ok\n").Repeat("1", endless).Chunked(), false,
       "No build information for device\n", {kHi, kQu}},
      {"endless build list", "builds", FakeReply().Body("ok\n").Repeat("1200;2.9.0\n", endless).Chunked(), false,
       "No valid build 1234\n", {kHi, kQu, kBuilds}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store s;
    s.MakeDevice();
    const std::string kept = Text(MakeFakeImage(1234, "2.12.4"));
    const std::string settings = "CREATED_TIME=Wed Jun 30 21:49:08 1993\nLATEST_DOWNLOAD=1234.bird\n";
    WriteText(s.Device() + "/1234.bird", kept);
    WriteText(s.Device() + "/.settings", settings);
    FakeUpdateServer server;
    server.Set(c.op, c.reply);
    server.SetCrLf(c.crlf);
    RunResult run = s.Run({"-G", "-d", "40F5849A"}, server.url());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, std::regex_replace(c.err, std::regex("URL"), server.url()));
    EXPECT_EQ(server.targets(), c.requests.empty() ? (Lines{kHi, kQu, kBuilds, Bird(1234)}) : c.requests);
    EXPECT_EQ(ReadText(s.Device() + "/1234.bird"), kept);
    EXPECT_EQ(ReadText(s.Device() + "/.settings"), settings);
    EXPECT_EQ(Names(s.Device()), (Lines{".settings", "1234.bird"}));
    EXPECT_LT(run.peakRssKb, kPeakRssKb);
  }
}

// An image whose body inflates to 2 GiB (a file of about 2 MiB) is refused as soon as its body
// passes the limit, by the update from a file and by the download's check alike: without
// inflating the rest, and without holding more than the limit. Sanitizers keep freed buffers
// and slow the inflate, so only the normal build bounds memory and time closely.
TEST(ImageLimit, ABodyPastTheLimitIsRefusedWithoutBeingHeld) {
#if defined(__SANITIZE_ADDRESS__)
  const bool close = false;
#else
  const bool close = true;
#endif
  const std::string bomb = Text(ZeroBodyImage(uint64_t{2} << 30));
  struct Case {
    const char* name;
    Lines args;
    const char* err;
  };
  const Case cases[] = {
      {"update from a file", {"-U", "-d", "40F5849A", "-f", "FILE"}, "Failed to load bird file\n"},
      {"download", {"-G", "-d", "40F5849A"}, "Failed to retrieve a valid BIRD file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Store s;
    s.MakeDevice();
    WriteText(s.t / "bomb.bird", bomb);
    FakeUpdateServer server;
    server.Set("bird", FakeReply().Body("ok\n" + Base64(bomb) + "\n"));
    Lines args = c.args;
    std::replace(args.begin(), args.end(), std::string("FILE"), s.t / "bomb.bird");
    const auto start = std::chrono::steady_clock::now();
    RunResult run = s.Run(args, server.url());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(Names(s.Device()), Lines{".settings"}) << "no image stored";
    // About half a second on a loaded machine; inflating all of it would take several.
    EXPECT_LT(ms.count(), close ? 3000 : 30000);
    if (close) {
      EXPECT_LT(run.peakRssKb, 200 * 1024);  // the limit and the program, not the 2 GiB
    }
  }
}

TEST(Download, ThenUpdate) {
  // The update looks for the device over TCP/IP too: its probe must not leave the machine.
  RequirePrivateNetns();
  Store s;
  FakeUpdateServer server;
  RunResult run = s.Run({"-G", "-U", "-d", "40F5849A"}, server.url());
  Lines expected = kDownloadLatest;
  expected.push_back("Updating firmware with build: 1234");
  EXPECT_EQ(After(run.out), expected);
  EXPECT_EQ(ReadText(s.Device() + "/1234.bird"), Text(MakeFakeImage()));
  // The status is the update's: the build just stored, but no such device.
  EXPECT_EQ(run.err, "Failed to connect to module [40F5849A]\n");
  EXPECT_EQ(run.exitStatus, 1);
}
