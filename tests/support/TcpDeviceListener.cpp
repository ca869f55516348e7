#include "TcpDeviceListener.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// Every action and the stop write the wake descriptor; the poll's bound is only a backstop, long
// enough that an idle device costs next to nothing beside what a benchmark measures.
constexpr int kPollMs = 1000;
constexpr auto kActionBound = std::chrono::seconds(10);
constexpr int kSendBoundMs = 1000;

}  // namespace

TcpDeviceListener::TcpDeviceListener(TcpDeviceSide* device) : TcpDeviceListener(device, Options{}) {}

TcpDeviceListener::TcpDeviceListener(TcpDeviceSide* device, Options options)
    : device_(device), options_(options), port_(options.port) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::runtime_error("TcpDeviceListener: eventfd failed");
  if (!Listen()) {
    close(wakeFd_);
    throw std::runtime_error("TcpDeviceListener: cannot listen on 127.0.0.1");
  }
  if (options_.fullBacklog) {
    // This connection completes into the backlog and stays there, so the backlog is full.
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address();
    addr.sin_port = htons(port_);
    fillerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fillerFd_ < 0 || connect(fillerFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (fillerFd_ >= 0) close(fillerFd_);
      close(listenFd_);
      close(wakeFd_);
      throw std::runtime_error("TcpDeviceListener: cannot fill the backlog");
    }
  }
  if (device_ != nullptr) {
    device_->Attach([this](const uint8_t* data, size_t length) { return Send(data, length); });
  }
  thread_ = std::thread([this] { Serve(); });
}

TcpDeviceListener::~TcpDeviceListener() {
  if (device_ != nullptr) device_->Attach(nullptr);
  stopping_ = true;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof(one));
  thread_.join();
  if (connFd_ >= 0) close(connFd_);
  if (fillerFd_ >= 0) close(fillerFd_);
  if (listenFd_ >= 0) close(listenFd_);
  close(wakeFd_);
}

bool TcpDeviceListener::Listen() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (options_.receiveBuffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer, sizeof(options_.receiveBuffer));
  }
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = address();
  addr.sin_port = htons(port_);
  socklen_t length = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, options_.fullBacklog ? 0 : 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  listenFd_ = fd;
  return true;
}

void TcpDeviceListener::Run(std::function<void()> action) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    action();
    return;
  }
  std::unique_lock<std::mutex> lock(actionMutex_);
  actions_.push_back(std::move(action));
  uint64_t ticket = ++actionsQueued_;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof(one));
  if (!actionDone_.wait_for(lock, kActionBound, [&] { return actionsDone_ >= ticket; })) {
    throw std::runtime_error("TcpDeviceListener: the listener thread did not run an action");
  }
}

void TcpDeviceListener::RunPending() {
  std::unique_lock<std::mutex> lock(actionMutex_);
  while (!actions_.empty()) {
    std::function<void()> action = std::move(actions_.front());
    actions_.pop_front();
    lock.unlock();
    action();
    lock.lock();
    ++actionsDone_;
  }
  actionDone_.notify_all();
}

void TcpDeviceListener::Serve() {
  while (!stopping_) {
    RunPending();
    struct pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {wakeFd_, POLLIN, 0};
    int listenAt = -1;
    int connAt = -1;
    if (listenFd_ >= 0 && connFd_ < 0 && !options_.fullBacklog) {
      listenAt = static_cast<int>(n);
      fds[n++] = {listenFd_, POLLIN, 0};
    }
    if (connFd_ >= 0 && reading_) {
      connAt = static_cast<int>(n);
      fds[n++] = {connFd_, POLLIN, 0};
    }
    if (poll(fds, n, kPollMs) <= 0) continue;
    if (fds[0].revents != 0) {
      uint64_t count;
      (void)!read(wakeFd_, &count, sizeof(count));
    }
    if (listenAt >= 0 && fds[listenAt].revents != 0) Accept();
    if (connAt >= 0 && fds[connAt].revents != 0) ReadConnection();
  }
  RunPending();
}

void TcpDeviceListener::Accept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // A device's samples go out as they come, not held back until the host acknowledges the last.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  size_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connFd_ = fd;
    ends_.push_back(kOpen);
    index = ends_.size();
    ++accepts_;
  }
  changed_.notify_all();
  if (device_ != nullptr) device_->OnConnect(index);
}

void TcpDeviceListener::ReadConnection() {
  uint8_t buffer[65536];
  ssize_t n = recv(connFd_, buffer, sizeof(buffer), 0);
  if (n > 0) {
    if (device_ != nullptr) device_->OnBytes(buffer, static_cast<size_t>(n));
  } else if (n == 0) {
    EndConnection(kPeerClosed);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    EndConnection(kPeerReset);
  }
}

void TcpDeviceListener::EndConnection(End how) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connFd_ < 0) return;
    if (how == kResetHere) {
      struct linger reset = {1, 0};
      setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    close(connFd_);
    connFd_ = -1;
    ends_.back() = how;
  }
  changed_.notify_all();
}

bool TcpDeviceListener::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connFd_ >= 0;
}

TcpDeviceListener::End TcpDeviceListener::end(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection == 0 || connection > ends_.size()) return kOpen;
  return ends_[connection - 1];
}

bool TcpDeviceListener::Send(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto deadline = Clock::now() + std::chrono::milliseconds(kSendBoundMs);
  size_t sent = 0;
  while (sent < length) {
    if (connFd_ < 0) return false;
    ssize_t n = send(connFd_, data + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    struct pollfd p = {connFd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return true;
}

void TcpDeviceListener::CloseConnection() {
  Run([this] { EndConnection(kClosedHere); });
}

void TcpDeviceListener::ResetConnection() {
  Run([this] { EndConnection(kResetHere); });
}

void TcpDeviceListener::StopListening() {
  Run([this] {
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
  });
}

bool TcpDeviceListener::ListenAgain() {
  bool ok = false;
  Run([&] { ok = listenFd_ >= 0 || Listen(); });
  return ok;
}

void TcpDeviceListener::StopReading() {
  Run([this] { reading_ = false; });
}

void TcpDeviceListener::ResumeReading() {
  Run([this] { reading_ = true; });
}

size_t TcpDeviceListener::Unread() {
  int unread = 0;
  Run([&] {
    if (connFd_ < 0 || ioctl(connFd_, FIONREAD, &unread) != 0) unread = 0;
  });
  return static_cast<size_t>(unread);
}

bool TcpDeviceListener::WaitForAccepts(size_t n, uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return accepts_ >= n; });
}

bool TcpDeviceListener::WaitUntilIdle(uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return connFd_ < 0; });
}

bool TcpDeviceListener::WaitForEnd(size_t connection, uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return connection >= 1 && connection <= ends_.size() && ends_[connection - 1] != kOpen;
  });
}
