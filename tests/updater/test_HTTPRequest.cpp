#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>
#include <string>

#include "FakeUpdateServer.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "LogCapture.h"
#include "RawListener.h"
#include "TempDir.h"

namespace {

using Query = std::map<std::string, std::string>;

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// The text of GET's exception, or "" when it returned.
std::string Failure(const std::string& url, Query query = {{"op", "hi"}},
                    HTTPLimits limits = HTTPRequest::SMALL_REPLY) {
  try {
    HTTPRequest::GET(url.c_str(), query, limits);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(HTTPRequest, QueryInKeyOrderUnescapedAndTheReplyAsSent) {
  FakeUpdateServer server;
  server.Set("qu", FakeReply().Status(202).Body(std::string("ok\n\0\xff\n", 6)));
  Query query = {{"sn", "00000012"}, {"op", "qu"}, {"fp", "0000000A%200000000B"}, {"a", ""}};
  HTTPResponse r = HTTPRequest::GET(server.url().c_str(), query);
  EXPECT_EQ(r.get_status(), 202);
  EXPECT_EQ(std::string(r.get_response(), r.get_response_size()), std::string("ok\n\0\xff\n", 6));
  EXPECT_EQ(std::string(r.get_request()), server.url() + "?a=&fp=0000000A%200000000B&op=qu&sn=00000012&");
  ASSERT_EQ(server.targets().size(), 1u);
  EXPECT_EQ(server.targets()[0], "/cgi/u?a=&fp=0000000A%200000000B&op=qu&sn=00000012&");
  EXPECT_EQ(server.count("qu"), 1u);

  Query none;
  HTTPResponse bare = HTTPRequest::GET(server.url().c_str(), none);
  EXPECT_EQ(std::string(bare.get_request()), server.url());
  EXPECT_EQ(bare.get_status(), 404);
  EXPECT_EQ(server.targets().back(), "/cgi/u");
}

TEST(HTTPRequest, TransportFailuresThrowCurlsText) {
  FakeUpdateServer server;
  server.Set("bird", FakeReply().Short());
  RawListener silent(RawListener::CloseWithoutReply);

  EXPECT_EQ(Failure("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/cgi/u"), "Couldn't connect to server");
  EXPECT_EQ(Failure(server.url(), {{"op", "bird"}}), "Transferred a partial file");
  EXPECT_EQ(Failure(silent.url()), "Server returned nothing (no headers, no data)");
  ASSERT_EQ(silent.targets().size(), 1u);
  EXPECT_EQ(silent.targets()[0], "/cgi/u?op=hi&");
}

TEST(HTTPRequest, BodiesOverTheLimitAreRefused) {
  FakeUpdateServer server;
  const size_t limit = 100000;
  const HTTPLimits small = {limit, true};
  struct Case {
    const char* name;
    uint64_t length;
    bool chunked;
    HTTPLimits limits;
    bool taken;
  };
  const Case cases[] = {
      {"at the limit, announced", limit, false, small, true},
      {"one byte over, announced", limit + 1, false, small, false},
      {"at the limit, chunked", limit, true, small, true},
      {"one byte over, chunked", limit + 1, true, small, false},
      {"endless, the default limit", uint64_t{1} << 30, true, HTTPRequest::SMALL_REPLY, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeReply reply = FakeReply().Body("").Repeat("0123456789", c.length);
    if (c.chunked) reply.Chunked();
    server.Set("hi", reply);
    if (c.taken) {
      Query query = {{"op", "hi"}};
      HTTPResponse r = HTTPRequest::GET(server.url().c_str(), query, c.limits);
      EXPECT_EQ(r.get_status(), 200);
      ASSERT_EQ(r.get_response_size(), c.length);
      EXPECT_EQ(std::string(r.get_response() + c.length - 10, 10), "0123456789");
    } else {
      EXPECT_EQ(Failure(server.url(), {{"op", "hi"}}, c.limits), "Failed writing received data to disk/application");
    }
  }
}

TEST(HTTPRequest, HttpsChecksTheHostNameOnly) {
  TempDir dir;
  TempDir otherDir;
  FakeUpdateServer good(MakeTestCertificate(dir.path(), "IP:127.0.0.1"));
  FakeUpdateServer other(MakeTestCertificate(otherDir.path(), "DNS:other.invalid"));
  ASSERT_EQ(good.url().rfind("https://127.0.0.1:", 0), 0u);

  // Self-signed passes: the chain is not verified.
  Query query = {{"op", "hi"}};
  HTTPResponse r = HTTPRequest::GET(good.url().c_str(), query);
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_STREQ(r.get_response(), "ok\n");
  EXPECT_EQ(Failure(other.url()), "SSL peer certificate or SSH remote key was not OK");
  EXPECT_EQ(other.count("hi"), 0u);
}

TEST(HTTPRequest, ReceiveLogShowsOnlyTheChunk) {
  FakeUpdateServer server;
  LogCapture log(DEBUG_ServerComm);
  Query query = {{"op", "hi"}};
  HTTPRequest::GET(server.url().c_str(), query);
  std::string text = log.text();
  EXPECT_NE(text.find("GET(" + server.url() + "?op=hi&)\n"), std::string::npos) << text;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(rcv_data called \(\.\.\., 1, 3, [0-9A-F]{8}\) \[( *)ok\n\]\n)")))
      << text;
  EXPECT_EQ(m[1].length(), 97);
  EXPECT_NE(text.find("rcv_data returns 3\n"), std::string::npos);
}
