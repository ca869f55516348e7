#include "FakeUpdateServer.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "BirdBuilder.h"
#include "CurlGlobal.h"
#include "Eventually.h"
#include "base64.h"

namespace {

const char* const sPath = "/cgi/u";

std::string sWithCrLf(const std::string& body) {
  std::string out;
  for (char c : body) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Into out (its storage reused, so that a long body costs no allocation per piece): the bytes
// [offset, offset + n) of head, then `length` bytes repeating fill, then tail.
void sGenerate(const std::string& head, const std::string& fill, uint64_t length, const std::string& tail,
               uint64_t offset, size_t n, std::string& out) {
  out.clear();
  uint64_t at = offset;
  while (out.size() < n) {
    uint64_t room = n - out.size();
    uint64_t take;
    if (at < head.size()) {
      take = std::min<uint64_t>(room, head.size() - at);
      out.append(head, at, take);
    } else if (at - head.size() < length) {
      uint64_t inFill = at - head.size();
      take = std::min<uint64_t>(room, length - inFill);
      if (fill.size() == 1) {
        out.append(take, fill[0]);
      } else {
        take = std::min<uint64_t>(take, fill.size() - inFill % fill.size());
        out.append(fill, inFill % fill.size(), take);
      }
    } else if (at - head.size() - length < tail.size()) {
      uint64_t inTail = at - head.size() - length;
      take = std::min<uint64_t>(room, tail.size() - inTail);
      out.append(tail, inTail, take);
    } else {
      break;
    }
    at += take;
  }
}

}  // namespace

std::vector<uint8_t> MakeFakeImage(uint32_t build, const std::string& version) {
  return BirdBuilder()
      .Loader(0x00000000, RandomBytes(200, build))
      .Firmware(0x00008000, RandomBytes(2000, build + 1))
      .SerialOffsets(0x00008010, 0x00008020)
      .Descriptor(build, version, 0x40F5849A, "USBHub3p")
      .Bytes();
}

FakeUpdateServer::FakeUpdateServer() : https_(false), server_(std::make_unique<httplib::Server>()) { Start(); }

FakeUpdateServer::FakeUpdateServer(const TestCertificate& cert)
    : https_(true), server_(std::make_unique<httplib::SSLServer>(cert.certPath.c_str(), cert.keyPath.c_str())) {
  if (!server_->is_valid()) throw std::runtime_error("FakeUpdateServer: certificate not usable: " + cert.certPath);
  Start();
}

void FakeUpdateServer::Start() {
  RequireCurlGlobal();
  SetImage(MakeFakeImage());
  // Short limits keep the stop bounded: no worker waits long on an idle connection.
  server_->set_keep_alive_timeout(1);
  server_->set_read_timeout(2, 0);
  server_->set_write_timeout(2, 0);

  server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    std::string op = req.get_param_value("op");
    FakeReply reply;
    std::string body;
    unsigned releasesAtStart;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(req.target);
      ++counts_[op];
      auto it = replies_.find(op);
      if (it != replies_.end()) reply = it->second;
      body = reply.body ? *reply.body : DefaultBody(op);
      if (!reply.body && body.empty()) reply.status = 404;
      if (crlf_) body = sWithCrLf(body);
      releasesAtStart = releases_;
    }
    changed_.notify_all();

    if (reply.stall) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(10), [&] { return stopping_ || releases_ != releasesAtStart; });
    }
    if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));

    res.status = reply.status;
    if (reply.fillLength > 0 && !reply.fill.empty()) {
      const uint64_t total = body.size() + reply.fillLength + reply.tail.size();
      auto piece = std::make_shared<std::string>();
      piece->reserve(64 * 1024);
      auto produce = [body, reply, total, piece](size_t offset, httplib::DataSink& sink) {
        if (offset >= total) return true;
        sGenerate(body, reply.fill, reply.fillLength, reply.tail, offset, 64 * 1024, *piece);
        // False once the client has gone: the transfer ends there.
        return sink.write(piece->data(), piece->size());
      };
      if (reply.chunked) {
        res.set_chunked_content_provider("text/plain", [produce, total](size_t offset, httplib::DataSink& sink) {
          if (offset >= total) {
            sink.done();
            return true;
          }
          return produce(offset, sink);
        });
      } else {
        res.set_content_provider(total, "text/plain", [produce](size_t offset, size_t, httplib::DataSink& sink) {
          return produce(offset, sink);
        });
      }
    } else if (reply.shortBody) {
      // Promise more than is sent; the connection closes after the body.
      res.set_content_provider(body.size() + 64, "text/plain",
                               [body](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) sink.write(body.data(), body.size());
                                 return false;
                               });
    } else if (reply.pieces > 1 && !body.empty()) {
      size_t piece = (body.size() + reply.pieces - 1) / reply.pieces;
      int pause = reply.pauseMs;
      res.set_content_provider(body.size(), "text/plain",
                               [body, piece, pause](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                                 size_t n = std::min(piece, body.size() - offset);
                                 return sink.write(body.data() + offset, n);
                               });
    } else {
      res.set_content(body, "text/plain");
    }
  });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("FakeUpdateServer: cannot bind to 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop() before the accept loop runs would be lost, and the join would never end.
  if (!Eventually([this] { return server_->is_running(); }, 5000, 1)) {
    // Neither stopping nor joining it could be bounded any more.
    fprintf(stderr, "FakeUpdateServer: the server thread did not start within 5 s\n");
    abort();
  }
}

FakeUpdateServer::~FakeUpdateServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string FakeUpdateServer::url() const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + sPath;
}

std::string FakeUpdateServer::DefaultBody(const std::string& op) const {
  if (op == "hi") return "ok\n";
  if (op == "qu") return "ok\n1234\n2.12.5\n";
  if (op == "builds") return "ok\n1200;2.9.0\n1233;2.10.1\n1234;2.12.5\n";
  if (op == "bird") return "ok\n" + imageBase64_ + "\n";
  if (op == "fix") {
    char text[64];
    snprintf(text, sizeof(text), "ok\n%08X\n%u\n", recoverySerial_, recoveryBuild_);
    return text;
  }
  return "";
}

void FakeUpdateServer::Set(const std::string& op, const FakeReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[op] = reply;
}

void FakeUpdateServer::Clear(const std::string& op) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.erase(op);
}

void FakeUpdateServer::SetImage(const std::vector<uint8_t>& image) {
  size_t length = 0;
  char* text = base64_encode(reinterpret_cast<const char*>(image.data()), image.size(), &length);
  std::lock_guard<std::mutex> lock(mutex_);
  imageBase64_ = text ? std::string(text, length) : "";
  free(text);
}

void FakeUpdateServer::SetRecovery(uint32_t serial, uint32_t build) {
  std::lock_guard<std::mutex> lock(mutex_);
  recoverySerial_ = serial;
  recoveryBuild_ = build;
}

void FakeUpdateServer::SetCrLf(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  crlf_ = on;
}

void FakeUpdateServer::ReleaseStalls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releases_;
  }
  changed_.notify_all();
}

std::vector<std::string> FakeUpdateServer::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

size_t FakeUpdateServer::count(const std::string& op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(op);
  return it == counts_.end() ? 0 : it->second;
}
