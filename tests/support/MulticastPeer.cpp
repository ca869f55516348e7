#include "MulticastPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kGroup = "224.0.0.7";

in_addr sAddress(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

}  // namespace

int OpenLoopbackMulticastSender() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  in_addr loopback = sAddress("127.0.0.1");
  unsigned char one = 1;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &one, sizeof one);
  return fd;
}

int OpenLoopbackMulticastReceiver(uint16_t port, bool reuseAddress) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int reuse = reuseAddress ? 1 : 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(port);
  ip_mreq join{};
  join.imr_multiaddr = sAddress(kGroup);
  join.imr_interface = sAddress("127.0.0.1");
  if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendToLoopbackGroup(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = sAddress(kGroup);
  to.sin_port = htons(port);
  return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
}

MulticastPeer::MulticastPeer(int k)
    : k_(k),
      send_(OpenLoopbackMulticastSender()),
      receive_(OpenLoopbackMulticastReceiver(static_cast<uint16_t>(kMulticastReplyPort + k), true)) {}

MulticastPeer::~MulticastPeer() {
  if (send_ >= 0) close(send_);
  if (receive_ >= 0) close(receive_);
}

bool MulticastPeer::Send(const std::vector<uint8_t>& bytes) {
  return SendToLoopbackGroup(send_, static_cast<uint16_t>(kMulticastRequestPort + k_), bytes);
}

std::optional<std::vector<uint8_t>> MulticastPeer::Receive(int ms) {
  struct pollfd p = {receive_, POLLIN, 0};
  if (receive_ < 0 || poll(&p, 1, ms) <= 0) return std::nullopt;
  std::vector<uint8_t> bytes(65536);
  ssize_t got = recv(receive_, bytes.data(), bytes.size(), 0);
  if (got < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(got));
  return bytes;
}
