#include "MulticastPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kGroup = "224.0.0.7";
constexpr uint16_t kRequestPort = 9850;
constexpr uint16_t kReplyPort = 9950;

in_addr sAddress(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

}  // namespace

MulticastPeer::MulticastPeer(int k) : k_(k) {
  in_addr loopback = sAddress("127.0.0.1");
  send_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (send_ >= 0) {
    unsigned char one = 1;
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_TTL, &one, sizeof one);
  }
  receive_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (receive_ < 0) return;
  int on = 1;
  setsockopt(receive_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(static_cast<uint16_t>(kReplyPort + k));
  ip_mreq join{};
  join.imr_multiaddr = sAddress(kGroup);
  join.imr_interface = loopback;
  if (bind(receive_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      setsockopt(receive_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
    close(receive_);
    receive_ = -1;
  }
}

MulticastPeer::~MulticastPeer() {
  if (send_ >= 0) close(send_);
  if (receive_ >= 0) close(receive_);
}

bool MulticastPeer::Send(const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = sAddress(kGroup);
  to.sin_port = htons(static_cast<uint16_t>(kRequestPort + k_));
  return sendto(send_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
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
