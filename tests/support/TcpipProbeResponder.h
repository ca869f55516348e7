#pragma once
// The simulated devices' side of TCP/IP discovery: listens for the multicast probe on port 9888
// and answers it for every device it holds, from the device's own 127.0.0.N address to the
// probe's source, port 9889. Only for private network namespaces (see RequirePrivateNetns).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimulatedTcpipDevice {
  std::string address = "127.0.0.5";  // the device's own address: its replies come from here
  uint8_t moduleAddress = 2;
  uint16_t tcpPort = 0;  // port of the device's packet link, e.g. a simulated device's listener
  uint32_t serial = 0;
  uint8_t model = 0;
  size_t replyLength = 16;  // as devices send; 0, 5, 12, 20... for bad input
  int repliesPerProbe = 1;  // 0: the device never answers
  int delayMs = 0;          // between the probe and the answer
  bool flood = false;       // from the first probe on, a reply every 100 ms while the responder runs
};

struct ReceivedProbe {
  std::vector<uint8_t> bytes;
  std::string source;       // dotted address of the sender
  uint16_t sourcePort = 0;
  std::string destination;  // the address it was sent to (the group, for a multicast probe)
  std::chrono::steady_clock::time_point when;
};

class TcpipProbeResponder {
 public:
  // Joins the probe group on each of these interface addresses (127.0.0.1 is lo).
  explicit TcpipProbeResponder(std::vector<std::string> joinOn = {"127.0.0.1"});
  ~TcpipProbeResponder();
  TcpipProbeResponder(const TcpipProbeResponder&) = delete;
  TcpipProbeResponder& operator=(const TcpipProbeResponder&) = delete;

  // Devices are added before Start.
  void AddDevice(const SimulatedTcpipDevice& device);
  // Binds the probe socket and each device's reply socket, then answers on a thread of its own.
  // False, with the reason in *error, when a socket cannot be made.
  bool Start(std::string* error);
  void Stop();

  std::vector<ReceivedProbe> Probes() const;
  // Replies sent so far, by every device together.
  int RepliesSent() const { return repliesSent_.load(); }

  // The reply bytes a device sends: 16 in the devices' layout, cut or padded to replyLength.
  static std::vector<uint8_t> ReplyBytes(const SimulatedTcpipDevice& device);

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    size_t device;
    uint32_t to;  // network byte order; the reply port is fixed
  };
  void Run();
  void Answer(uint32_t from);
  void Send(size_t device, uint32_t to);

  std::vector<std::string> joinOn_;
  std::vector<SimulatedTcpipDevice> devices_;
  std::vector<int> replySockets_;
  int probeSocket_ = -1;
  std::vector<Pending> pending_;
  std::vector<uint32_t> floodTo_;  // per device: where its flood goes, 0 before the first probe
  mutable std::mutex lock_;
  std::vector<ReceivedProbe> probes_;
  std::atomic<int> repliesSent_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
