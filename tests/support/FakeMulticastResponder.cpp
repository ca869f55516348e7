#include "FakeMulticastResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "DiscoveryRecorder.h"

namespace {

constexpr const char* kGroup = "224.0.0.7";
constexpr uint16_t kRequestPort = 9850;
constexpr uint16_t kReplyPort = 9950;
const uint8_t kMagic[4] = {0xBA, 0xDC, 0xCD, 0xAB};

in_addr sAddress(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

}  // namespace

std::vector<uint8_t> ServerRecord(uint32_t type, uint32_t serial, uint8_t moduleAddress, uint8_t model,
                                  const char* address, uint16_t port) {
  uint32_t ipv4 = IPv4(address);
  RecordBuilder record;
  record.U32(0, type).U32(4, serial).U32(8, moduleAddress).U32(20, model).U32(28, port);
  record.Bytes(24, std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&ipv4), reinterpret_cast<uint8_t*>(&ipv4) + 4));
  return std::vector<uint8_t>(record.bytes().begin(), record.bytes().end());
}

FakeMulticastResponder::FakeMulticastResponder(int k, std::vector<uint8_t> reply, int copies)
    : k_(k), reply_(std::move(reply)), copies_(copies) {
  in_addr loopback = sAddress("127.0.0.1");
  receive_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (receive_ >= 0) {
    int off = 0;
    setsockopt(receive_, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(static_cast<uint16_t>(kRequestPort + k));
    ip_mreq join{};
    join.imr_multiaddr = sAddress(kGroup);
    join.imr_interface = loopback;
    if (bind(receive_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        setsockopt(receive_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
      close(receive_);
      receive_ = -1;
    }
  }
  send_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (send_ >= 0) {
    unsigned char one = 1;
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    setsockopt(send_, IPPROTO_IP, IP_MULTICAST_TTL, &one, sizeof one);
  }
  if (!ok() || pipe2(wake_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { Run(); });
}

FakeMulticastResponder::~FakeMulticastResponder() {
  if (thread_.joinable()) {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
  }
  for (int fd : {receive_, send_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void FakeMulticastResponder::Run() {
  for (;;) {
    pollfd fds[2] = {{receive_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 || (fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    uint8_t request[64];
    ssize_t got = recv(receive_, request, sizeof request, 0);
    if (got != sizeof kMagic || memcmp(request, kMagic, sizeof kMagic) != 0) continue;
    requests_.fetch_add(1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = sAddress(kGroup);
    to.sin_port = htons(static_cast<uint16_t>(kReplyPort + k_));
    for (int i = 0; i < copies_; ++i)
      sendto(send_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}
