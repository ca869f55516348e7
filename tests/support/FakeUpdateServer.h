#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestCertificate.h"

namespace httplib {
class Server;
}

// A valid image whose descriptor says this build and version, for device 40F5849A.
std::vector<uint8_t> MakeFakeImage(uint32_t build = 1234, const std::string& version = "2.12.5");

// How the fake answers one op, built by chaining: FakeReply().Status(404),
// FakeReply().Body("error"), FakeReply().Body(text).Trickle(10, 300),
// FakeReply().Body("ok\n").Repeat("A", 100 << 20).Chunked().
struct FakeReply {
  int status = 200;
  std::optional<std::string> body;  // exact body; unset: the default script
  int delayMs = 0;                  // before the reply
  bool stall = false;               // no byte until ReleaseStalls(), at most 10 s
  int pieces = 1;                   // > 1: the body in this many pieces...
  int pauseMs = 0;                  // ...with this pause between them
  bool shortBody = false;           // Content-Length above what is sent, then a close
  std::string fill;                 // Repeat: after the body, fill over and over...
  uint64_t fillLength = 0;          // ...for this many bytes, made as they are sent...
  std::string tail;                 // ...then this; no size costs the test memory
  bool chunked = false;             // Repeat without a Content-Length

  FakeReply& Status(int code) { status = code; return *this; }
  FakeReply& Body(const std::string& text) { body = text; return *this; }
  FakeReply& Delay(int ms) { delayMs = ms; return *this; }
  FakeReply& Stall() { stall = true; return *this; }
  FakeReply& Trickle(int count, int pause) { pieces = count; pauseMs = pause; return *this; }
  FakeReply& Short() { shortBody = true; return *this; }
  FakeReply& Repeat(const std::string& text, uint64_t length, const std::string& end = "") {
    fill = text;
    fillLength = length;
    tail = end;
    return *this;
  }
  FakeReply& Chunked() { chunked = true; return *this; }
};

// An update server on 127.0.0.1 (ephemeral port), HTTP or HTTPS, on its own thread. It
// accepts any path, records every request target as sent, and answers per op:
//   hi     "ok\n"
//   qu     "ok\n1234\n2.12.5\n"
//   builds "ok\n1200;2.9.0\n1233;2.10.1\n1234;2.12.5\n"
//   bird   "ok\n" + Base64(image) + "\n", the image MakeFakeImage() unless SetImage is given one
//   fix    "ok\n<serial %08X>\n<build>\n"
// Any other op gets 404.
class FakeUpdateServer {
 public:
  FakeUpdateServer();
  explicit FakeUpdateServer(const TestCertificate& https);
  ~FakeUpdateServer();
  FakeUpdateServer(const FakeUpdateServer&) = delete;
  FakeUpdateServer& operator=(const FakeUpdateServer&) = delete;

  // "http(s)://127.0.0.1:P/cgi/u"
  std::string url() const;
  int port() const { return port_; }

  void Set(const std::string& op, const FakeReply& reply);
  void Clear(const std::string& op);
  void SetImage(const std::vector<uint8_t>& image);
  void SetRecovery(uint32_t serial, uint32_t build);
  // Every "\n" of every body becomes "\r\n".
  void SetCrLf(bool on);
  // Lets every stalled reply go on.
  void ReleaseStalls();

  // The request targets ("/cgi/u?op=hi&rv=2&"), complete and in order.
  std::vector<std::string> targets() const;
  size_t count(const std::string& op) const;

 private:
  void Start();
  std::string DefaultBody(const std::string& op) const;

  bool https_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, FakeReply> replies_;
  std::vector<std::string> targets_;
  std::map<std::string, size_t> counts_;
  std::string imageBase64_;
  uint32_t recoverySerial_ = 0x40F5849A;
  uint32_t recoveryBuild_ = 1234;
  bool crlf_ = false;
  unsigned releases_ = 0;
  bool stopping_ = false;
};
