#include "TcpipProbeResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint16_t kProbePort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr char kProbeGroup[] = "232.2.2.2";
constexpr auto kFloodPeriod = std::chrono::milliseconds(100);
constexpr int kPollMs = 20;

using Clock = std::chrono::steady_clock;

std::string sDotted(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  struct in_addr in;
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof(text));
  return text;
}

bool sParse(const std::string& text, uint32_t* address) {
  struct in_addr in;
  if (inet_pton(AF_INET, text.c_str(), &in) != 1) return false;
  *address = in.s_addr;
  return true;
}

std::string sFailure(const std::string& what) { return what + ": " + strerror(errno); }

}  // namespace

TcpipProbeResponder::TcpipProbeResponder(std::vector<std::string> joinOn) : joinOn_(std::move(joinOn)) {}

TcpipProbeResponder::~TcpipProbeResponder() { Stop(); }

void TcpipProbeResponder::AddDevice(const SimulatedTcpipDevice& device) { devices_.push_back(device); }

std::vector<uint8_t> TcpipProbeResponder::ReplyBytes(const SimulatedTcpipDevice& device) {
  // Bytes the discovery does not read carry markers, so that a reader taking them shows.
  std::vector<uint8_t> bytes = {0xA0,
                                device.moduleAddress,
                                static_cast<uint8_t>(device.tcpPort),
                                static_cast<uint8_t>(device.tcpPort >> 8),
                                static_cast<uint8_t>(device.serial),
                                static_cast<uint8_t>(device.serial >> 8),
                                static_cast<uint8_t>(device.serial >> 16),
                                static_cast<uint8_t>(device.serial >> 24),
                                0xA8, 0xA9, 0xAA, 0xAB,
                                device.model,
                                0xAD, 0xAE, 0xAF};
  for (size_t i = bytes.size(); i < device.replyLength; ++i) bytes.push_back(static_cast<uint8_t>(0xB0 + i));
  bytes.resize(device.replyLength);
  return bytes;
}

bool TcpipProbeResponder::Start(std::string* error) {
  probeSocket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probeSocket_ < 0) {
    *error = sFailure("probe socket");
    return false;
  }
  int on = 1;
  setsockopt(probeSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  setsockopt(probeSocket_, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
  struct sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(kProbePort);
  if (bind(probeSocket_, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0) {
    *error = sFailure("bind 0.0.0.0:9888");
    Stop();
    return false;
  }
  for (const std::string& address : joinOn_) {
    struct ip_mreq join = {};
    if (!sParse(kProbeGroup, &join.imr_multiaddr.s_addr) || !sParse(address, &join.imr_interface.s_addr) ||
        setsockopt(probeSocket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) != 0) {
      *error = sFailure("join 232.2.2.2 on " + address);
      Stop();
      return false;
    }
  }
  for (const SimulatedTcpipDevice& device : devices_) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in own = {};
    own.sin_family = AF_INET;
    if (fd < 0 || !sParse(device.address, &own.sin_addr.s_addr) ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&own), sizeof(own)) != 0) {
      *error = sFailure("reply socket on " + device.address);
      if (fd >= 0) close(fd);
      Stop();
      return false;
    }
    replySockets_.push_back(fd);
  }
  floodTo_.assign(devices_.size(), 0);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TcpipProbeResponder::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : replySockets_) close(fd);
  replySockets_.clear();
  if (probeSocket_ >= 0) close(probeSocket_);
  probeSocket_ = -1;
}

std::vector<ReceivedProbe> TcpipProbeResponder::Probes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return probes_;
}

void TcpipProbeResponder::Send(size_t device, uint32_t to) {
  std::vector<uint8_t> bytes = ReplyBytes(devices_[device]);
  struct sockaddr_in target = {};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = to;
  target.sin_port = htons(kReplyPort);
  if (sendto(replySockets_[device], bytes.data(), bytes.size(), 0,
             reinterpret_cast<struct sockaddr*>(&target), sizeof(target)) >= 0) {
    ++repliesSent_;
  }
}

void TcpipProbeResponder::Answer(uint32_t from) {
  Clock::time_point now = Clock::now();
  for (size_t d = 0; d < devices_.size(); ++d) {
    const SimulatedTcpipDevice& device = devices_[d];
    if (device.flood) {
      if (floodTo_[d] == 0) pending_.push_back({now + std::chrono::milliseconds(device.delayMs), d, from});
      floodTo_[d] = from;
      continue;
    }
    for (int r = 0; r < device.repliesPerProbe; ++r) {
      pending_.push_back({now + std::chrono::milliseconds(device.delayMs), d, from});
    }
  }
}

void TcpipProbeResponder::Run() {
  while (!stop_) {
    struct pollfd entry = {probeSocket_, POLLIN, 0};
    if (poll(&entry, 1, kPollMs) > 0) {
      uint8_t buffer[1500];
      struct sockaddr_in from = {};
      char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
      struct iovec io = {buffer, sizeof(buffer)};
      struct msghdr message = {};
      message.msg_name = &from;
      message.msg_namelen = sizeof(from);
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      ssize_t n = recvmsg(probeSocket_, &message, MSG_DONTWAIT);
      if (n >= 0) {
        ReceivedProbe probe;
        probe.bytes.assign(buffer, buffer + n);
        probe.source = sDotted(from.sin_addr.s_addr);
        probe.sourcePort = ntohs(from.sin_port);
        probe.when = Clock::now();
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
          if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            struct in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof(info));
            probe.destination = sDotted(info.ipi_addr.s_addr);
          }
        }
        {
          std::lock_guard<std::mutex> hold(lock_);
          probes_.push_back(probe);
        }
        Answer(from.sin_addr.s_addr);
      }
    }
    Clock::time_point now = Clock::now();
    std::vector<Pending> later;
    for (const Pending& p : pending_) {
      if (p.due > now) {
        later.push_back(p);
        continue;
      }
      Send(p.device, p.to);
      // A flooding device answers again after every period, to wherever the last probe came from.
      if (devices_[p.device].flood) later.push_back({p.due + kFloodPeriod, p.device, floodTo_[p.device]});
    }
    pending_.swap(later);
  }
}
