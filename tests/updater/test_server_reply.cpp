#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Log.h"
#include "LogCapture.h"
#include "server_reply.h"

namespace {

const char* const kUrl = "http://127.0.0.1:9/cgi/u?op=x&";

HTTPResponse Reply(const std::string& body, long status = 200) {
  HTTPResponse r(kUrl);
  r.set_status(status);
  r.process(body.data(), body.size());
  return r;
}

}  // namespace

TEST(ServerReply, TheOkRule) {
  struct Row {
    long status;
    const char* body;
    bool ok;
    const char* log;  // expected log line ("" for none)
  };
  const Row rows[] = {
      {200, "ok\n", true, ""},
      {200, "ok", true, ""},
      {200, "ok\r\n", true, ""},
      {200, "okay", true, ""},
      {200, "error", false, "ServerCommClass: ping failed [http://127.0.0.1:9/cgi/u?op=x&]\n"},
      {200, "", false, "ServerCommClass: ping failed [http://127.0.0.1:9/cgi/u?op=x&]\n"},
      {200, "\nok\n", false, "ServerCommClass: ping failed [http://127.0.0.1:9/cgi/u?op=x&]\n"},
      {200, " ok\n", false, "ServerCommClass: ping failed [http://127.0.0.1:9/cgi/u?op=x&]\n"},
      {404, "ok\n", false, "PING ==> [404] [ok\n]\n"},
      {500, "oops", false, "PING ==> [500] [oops]\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    LogCapture log(DEBUG_ServerComm);
    HTTPResponse r = Reply(row.body, row.status);
    EXPECT_EQ(ServerReply::Ping(r), row.ok);
    EXPECT_EQ(log.text(), row.log);
  }
}

TEST(ServerReply, FailuresOfEveryOperationLogTheirNameAndLeaveOutputs) {
  LogCapture log(DEBUG_ServerComm);
  std::string build = "B", version = "V", image = "I";
  std::map<std::string, std::string> builds = {{"1", "1.0.0"}};
  uint32_t serial = 7, number = 8;

  HTTPResponse notFound = Reply("missing", 404);
  EXPECT_FALSE(ServerReply::QueryBuild(notFound, build, version));
  EXPECT_FALSE(ServerReply::GetBuild(notFound, image));
  EXPECT_FALSE(ServerReply::GetRecoveryInfo(notFound, &serial, &number));
  EXPECT_FALSE(ServerReply::GetBuildList(notFound, builds));
  EXPECT_EQ(log.text(),
            "QueryBuild ==> [404] [missing]\n"
            "GetBuild ==> [404] [missing]\n"
            "GetRecoveryInfo ==> [404] [missing]\n"
            "GetBuildList ==> [404] [missing]\n");
  EXPECT_EQ(build, "B");
  EXPECT_EQ(version, "V");
  EXPECT_EQ(image, "I");
  EXPECT_EQ(serial, 7u);
  EXPECT_EQ(number, 8u);
  EXPECT_TRUE(builds.empty()) << "the list is cleared before the reply is judged";

  log.clear();
  HTTPResponse error = Reply("error\n1234\n2.12.5\n");
  EXPECT_FALSE(ServerReply::QueryBuild(error, build, version));
  EXPECT_FALSE(ServerReply::GetBuild(error, image));
  EXPECT_EQ(log.text(), std::string("ServerCommClass: QueryBuild failed [") + kUrl + "]\n" +
                            "ServerCommClass: GetBuild failed [" + kUrl + "]\n");
  EXPECT_EQ(build, "B");
  EXPECT_EQ(image, "I");
}

TEST(ServerReply, QueryBuildLines) {
  struct Row {
    const char* body;
    const char* build;
    const char* version;
  };
  const Row rows[] = {
      {"ok\n1234\n2.12.5\n", "1234", "2.12.5"},
      {"ok\r\n1234\r\n2.12.5\r\n", "1234\r", "2.12.5"},  // the build keeps its "\r"
      {"ok\n1234\n2.12.5", "1234", "2.12.5"},
      {"ok\n1234\n", "1234", "old-version"},               // a missing line leaves its output
      {"ok\n", "old-build", "old-version"},
      {"ok\n\n2.12.5\n", "", "2.12.5"},                    // an empty line counts
      {"ok\n1234\n\r2.12.5\n", "1234", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    std::string build = "old-build", version = "old-version";
    HTTPResponse r = Reply(row.body);
    ASSERT_TRUE(ServerReply::QueryBuild(r, build, version));
    EXPECT_EQ(build, row.build);
    EXPECT_EQ(version, row.version);
  }
}

TEST(ServerReply, GetBuildTakesLineTwoWhole) {
  struct Row {
    const char* body;
    const char* image;
  };
  const Row rows[] = {
      {"ok\nQUJD\n", "QUJD"},
      {"ok\r\nQUJD\r\n", "QUJD\r"},  // which then does not decode
      {"ok\n", ""},                  // cleared even when the line is missing
      {"ok\n\nQUJD\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    std::string image = "stale";
    HTTPResponse r = Reply(row.body);
    ASSERT_TRUE(ServerReply::GetBuild(r, image));
    EXPECT_EQ(image, row.image);
  }
}

TEST(ServerReply, GetBuildListLines) {
  using Map = std::map<std::string, std::string>;
  struct Row {
    const char* body;
    Map builds;
  };
  const Row rows[] = {
      {"ok\n101;2.1.0\n101;9.9.9\nx\n102\n", {{"101", "2.1.0"}, {"102", ""}}},
      {"ok\n", {}},
      {"ok", {}},
      {"ok\r\n1200;2.9.0\r\n1234;2.12.5\r\n", {{"1200", "2.9.0"}, {"1234", "2.12.5"}}},
      {"ok\n;;1300;;2.0.0;extra\n", {{"1300", "2.0.0"}}},
      {"ok\n;;;\n\n12\n", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    Map builds = {{"stale", "0.0.0"}};
    HTTPResponse r = Reply(row.body);
    ASSERT_TRUE(ServerReply::GetBuildList(r, builds));
    EXPECT_EQ(builds, row.builds);
  }
}

TEST(ServerReply, GetBuildListLogsEachEntry) {
  LogCapture log(DEBUG_ServerComm);
  std::map<std::string, std::string> builds;
  HTTPResponse r = Reply("ok\n12345678901234;2.12.5-candidate\nx\n");
  ASSERT_TRUE(ServerReply::GetBuildList(r, builds));
  EXPECT_EQ(log.text(),
            "GetBuildList processing entry: [12345678901234;2.12.5-candidate]\n"
            "GetBuildList [1234567890][2.12.5-can]\n");
}

TEST(ServerReply, GetRecoveryInfoLines) {
  struct Row {
    const char* body;
    uint32_t serial;
    uint32_t build;
    const char* log;
  };
  const Row rows[] = {
      {"ok\n40F5849A\n1234\n", 0x40F5849A, 1234, "GetRecoveryInfo [ok][40F5849A][1234]\n"},
      {"ok\n0x40f5849a\n0x10\n", 0x40F5849A, 16, "GetRecoveryInfo [ok][0x40f5849a][0x10]\n"},
      {"ok\nDEADDEAD\n010\n", 0xDEADDEAD, 8, "GetRecoveryInfo [ok][DEADDEAD][010]\n"},
      // Missing lines leave their outputs and log as empty.
      {"ok\n40F5849A\n", 0x40F5849A, 77, "GetRecoveryInfo [ok][40F5849A][]\n"},
      {"ok\n", 66, 77, "GetRecoveryInfo [ok][][]\n"},
      {"ok 123456789012345678901234\n", 66, 77, "GetRecoveryInfo [ok 12345678901234567][][]\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    LogCapture log(DEBUG_ServerComm);
    uint32_t serial = 66, build = 77;
    HTTPResponse r = Reply(row.body);
    ASSERT_TRUE(ServerReply::GetRecoveryInfo(r, &serial, &build));
    EXPECT_EQ(serial, row.serial);
    EXPECT_EQ(build, row.build);
    EXPECT_EQ(log.text(), row.log);
  }
}
