#pragma once
#include <cstdint>
#include <optional>
#include <vector>

// Loopback multicast on plain sockets, for both sides: requests go to 224.0.0.7 port 9850 + k,
// replies to 9950 + k. A socket that cannot be made is -1.
constexpr uint16_t kMulticastRequestPort = 9850;
constexpr uint16_t kMulticastReplyPort = 9950;
// Sends to the group through lo.
int OpenLoopbackMulticastSender();
// Bound to port and joined to the group on lo.
int OpenLoopbackMulticastReceiver(uint16_t port, bool reuseAddress);
bool SendToLoopbackGroup(int fd, uint16_t port, const std::vector<uint8_t>& bytes);

// The discovering client's side of loopback multicast, on plain sockets: sends any bytes to
// 224.0.0.7 port 9850 + k and receives what arrives on 9950 + k. Only for private network
// namespaces (see RequirePrivateNetns).
class MulticastPeer {
 public:
  explicit MulticastPeer(int k = 0);
  ~MulticastPeer();
  MulticastPeer(const MulticastPeer&) = delete;
  MulticastPeer& operator=(const MulticastPeer&) = delete;

  bool ok() const { return send_ >= 0 && receive_ >= 0; }
  bool Send(const std::vector<uint8_t>& bytes);
  // The request magic, BA DC CD AB.
  bool SendMagic() { return Send({0xBA, 0xDC, 0xCD, 0xAB}); }
  // The next datagram within ms.
  std::optional<std::vector<uint8_t>> Receive(int ms);

 private:
  int k_;
  int send_ = -1;
  int receive_ = -1;
};
