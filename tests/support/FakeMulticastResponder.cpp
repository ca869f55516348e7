#include "FakeMulticastResponder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "DiscoveryRecorder.h"
#include "MulticastPeer.h"

namespace {

const uint8_t kMagic[4] = {0xBA, 0xDC, 0xCD, 0xAB};

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
  receive_ = OpenLoopbackMulticastReceiver(static_cast<uint16_t>(kMulticastRequestPort + k), false);
  send_ = OpenLoopbackMulticastSender();
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
    for (int i = 0; i < copies_; ++i)
      SendToLoopbackGroup(send_, static_cast<uint16_t>(kMulticastReplyPort + k_), reply_);
  }
}
