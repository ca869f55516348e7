#include "RawListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "CurlGlobal.h"

namespace {

// Reads up to the end of the request head, for at most 2 s; the target is the second word
// of the request line.
std::string sReadTarget(int fd) {
  std::string head;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[2048];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  size_t first = head.find(' ');
  if (first == std::string::npos) return "";
  size_t second = head.find(' ', first + 1);
  if (second == std::string::npos) return "";
  return head.substr(first + 1, second - first - 1);
}

}  // namespace

RawListener::RawListener(Mode mode) {
  RequireCurlGlobal();
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("RawListener: socket failed");
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listenFd_, mode == NeverAccept ? 0 : 8) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listenFd_);
    throw std::runtime_error("RawListener: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);

  if (mode == NeverAccept) {
    // This connection completes into the backlog and stays there, so the backlog is full.
    fillerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fillerFd_ < 0 || connect(fillerFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (fillerFd_ >= 0) close(fillerFd_);
      close(listenFd_);
      throw std::runtime_error("RawListener: cannot fill the backlog");
    }
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

RawListener::~RawListener() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (fillerFd_ >= 0) close(fillerFd_);
  close(listenFd_);
}

void RawListener::Serve() {
  while (!stopping_) {
    struct pollfd p = {listenFd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string target = sReadTarget(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      targets_.push_back(target);
    }
    close(fd);
  }
}

std::string RawListener::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

std::vector<std::string> RawListener::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}
