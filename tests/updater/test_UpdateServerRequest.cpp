#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "BirdFile.h"
#include "FakeUpdateServer.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "LogCapture.h"
#include "RawListener.h"
#include "UpdateServerRequest.h"

namespace {

using Builds = UpdateServerRequest::BuildList;

struct LowLimits {
  LowLimits() { HTTPRequest::SetTimeLimits(1000, 1, 1); }
  ~LowLimits() { HTTPRequest::SetTimeLimits(30000, 60, 60); }
};

}  // namespace

TEST(UpdateServerRequest, EachOperationSendsItsExactTarget) {
  FakeUpdateServer server;
  const std::string url = server.url();
  std::string build, version, image;
  Builds builds;
  uint32_t serial = 0, number = 0;
  const uint32_t fingerprint[4] = {0xA, 0xB, 0xC, 0xD};

  struct Row {
    std::function<bool()> call;
    const char* target;
  };
  const Row rows[] = {
      {[&] { return UpdateServerRequest::ping(url.c_str()); }, "/cgi/u?op=hi&rv=2&"},
      {[&] { return UpdateServerRequest::QueryBuild(0x12, build, version, url.c_str()); }, "/cgi/u?op=qu&sn=00000012&"},
      {[&] { return UpdateServerRequest::GetBuild(0x40F5849A, "2.12.5", "1200", image, url.c_str(), false); },
       "/cgi/u?bld=1200&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&"},
      {[&] { return UpdateServerRequest::GetBuild(0x40F5849A, "2.12.5", "1200", image, url.c_str(), true); },
       "/cgi/u?bld=1200&fw=2.12.5&no_cal=true&op=bird&sn=40F5849A&"},
      {[&] { return UpdateServerRequest::GetBuildList(0x12, builds, url.c_str()); }, "/cgi/u?op=builds&sn=00000012&"},
      {[&] { return UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &number, url.c_str()); },
       "/cgi/u?brief=true&fp=0000000A%200000000B%200000000C%200000000D&op=fix&"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    size_t before = server.targets().size();
    EXPECT_TRUE(row.call());
    ASSERT_EQ(server.targets().size(), before + 1);
    EXPECT_EQ(server.targets().back(), row.target);
  }
  EXPECT_EQ(build, "1234");
  EXPECT_EQ(version, "2.12.5");
  EXPECT_EQ(builds, (Builds{{"1200", "2.9.0"}, {"1233", "2.10.1"}, {"1234", "2.12.5"}}));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(number, 1234u);
}

TEST(UpdateServerRequest, FailuresAreFalseWithTheirLogLine) {
  FakeUpdateServer server;
  server.Set("builds", FakeReply().Status(404).Body("gone"));
  server.Set("qu", FakeReply().Body("error"));
  RawListener silent(RawListener::CloseWithoutReply);
  LogCapture log(DEBUG_ServerComm);

  Builds builds = {{"1", "1.0.0"}};
  EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x12, builds, server.url().c_str()));
  EXPECT_TRUE(builds.empty());
  EXPECT_NE(log.text().find("GetBuildList ==> [404] [gone]\n"), std::string::npos) << log.text();

  std::string build = "B", version = "V";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12, build, version, server.url().c_str()));
  EXPECT_NE(log.text().find("ServerCommClass: QueryBuild failed [" + server.url() + "?op=qu&sn=00000012&]\n"),
            std::string::npos);
  EXPECT_EQ(build, "B");

  EXPECT_FALSE(UpdateServerRequest::ping(silent.url().c_str()));
  EXPECT_NE(log.text().find("ping ==> [Server returned nothing (no headers, no data)]\n"), std::string::npos);
  ASSERT_EQ(silent.targets().size(), 1u);
  EXPECT_EQ(silent.targets()[0], "/cgi/u?op=hi&rv=2&");
}

TEST(UpdateServerRequest, StallsAndSlowShortRepliesTimeOutASlowImageStillArrives) {
  LowLimits limits;
  std::string image;
  auto getBuild = [&](const std::string& url) {
    return UpdateServerRequest::GetBuild(0x40F5849A, "2.12.5", "1234", image, url.c_str(), false);
  };
  {
    FakeUpdateServer server;
    server.Set("bird", FakeReply().Stall());
    LogCapture log(DEBUG_ServerComm);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(getBuild(server.url()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(log.text().find("GetBuild ==> [Timeout was reached]\n"), std::string::npos) << log.text();
    server.ReleaseStalls();
  }
  {
    RawListener full(RawListener::NeverAccept);
    LogCapture log(DEBUG_ServerComm);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(getBuild(full.url()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(log.text().find("GetBuild ==> [Timeout was reached]\n"), std::string::npos) << log.text();
  }
  {
    // 400 bytes/s for 2.7 s: never a stall. A short reply runs into the overall limit, an
    // image may take as long as it moves.
    FakeUpdateServer server;
    std::string line(1200, 'Q');
    server.Set("bird", FakeReply().Body("ok\n" + line + "\n").Trickle(10, 300));
    server.Set("qu", FakeReply().Body("ok\n1234\n2.12.5\n" + std::string(1200, '\n')).Trickle(10, 300));
    EXPECT_TRUE(getBuild(server.url()));
    EXPECT_EQ(image, line);

    LogCapture log(DEBUG_ServerComm);
    std::string build, version;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, server.url().c_str()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_NE(log.text().find("QueryBuild ==> [Timeout was reached]\n"), std::string::npos) << log.text();
  }
}

TEST(UpdateServerRequest, TheLargestStorableImageArrivesWhole) {
  FakeUpdateServer server;
  const uint64_t base64Length = 4 * ((BirdFile::MAX_FILE_SIZE + 2) / 3);
  server.Set("bird", FakeReply().Body("ok\n").Repeat("QUJD", base64Length, "\n").Chunked());
  std::string image;
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.12.5", "1234", image, server.url().c_str(), false));
  EXPECT_EQ(image.size(), base64Length);
  EXPECT_EQ(image.substr(image.size() - 4), "QUJD");
}
