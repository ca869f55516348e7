#pragma once
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// A link server's loopback multicast responder as a test scripts it, on plain sockets: holds
// request port 9850 + k (bound on 0.0.0.0 without address reuse, joined to 224.0.0.7 on
// 127.0.0.1) and answers each 4-byte request magic with the chosen reply, `copies` times, to
// 224.0.0.7 port 9950 + k. With copies 0 it holds the port and stays silent. Only for private
// network namespaces (see RequirePrivateNetns).
class FakeMulticastResponder {
 public:
  FakeMulticastResponder(int k, std::vector<uint8_t> reply, int copies = 1);
  ~FakeMulticastResponder();
  FakeMulticastResponder(const FakeMulticastResponder&) = delete;
  FakeMulticastResponder& operator=(const FakeMulticastResponder&) = delete;

  // The port is held and the replies can go out.
  bool ok() const { return receive_ >= 0 && send_ >= 0; }
  // Request magics received so far.
  int requests() const { return requests_.load(); }

 private:
  void Run();

  int k_;
  std::vector<uint8_t> reply_;
  int copies_;
  int receive_ = -1;
  int send_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A link server's announced record: type, serial number, module address, model, IPv4 address
// (dotted) and port at their wire offsets, the rest zero; 128 bytes.
std::vector<uint8_t> ServerRecord(uint32_t type, uint32_t serial, uint8_t moduleAddress, uint8_t model,
                                  const char* address, uint16_t port);
