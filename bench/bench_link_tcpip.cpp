// TCP/IP links against the simulated device behind the loopback listener, each figure beside
// the same work on a raw loopback socket:
//   link_rtt_tcpip, link_rtt_tcpip_p99    30-byte request/reply through aLink_CreateTCPIP
//   link_pooled_tcpip                     pooled 30-byte packets per second
//   link_idle_cpu_tcpip, ..._closed       CPU of an idle link, device silent or closed
//   link_create_destroy_tcpip             create/destroy cycles per second
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "PacketHelpers.h"
#include "BenchFigure.h"
#include "BenchIdleCpu.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "CpuTime.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"
#include "TcpLoopbackPair.h"
#include "aLink.h"
#include "unix_time.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMessage = 30;
constexpr int kRoundTrips = 5000;
constexpr int kBlock = 100;
constexpr size_t kPooledPackets = 200000;
constexpr int kIdleSeconds = 10;
constexpr int kCycles = 200;

struct TcpDevice {
  SimLinkDevice device;
  SimLinkTcpSide side{device};
  TcpDeviceListener listener{&side};

  aLinkRef Create() { return aLink_CreateTCPIP(0xABCD, TcpDeviceListener::address(), listener.port()); }
};

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t put = write(fd, data, n);
    if (put <= 0) return false;
    data += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// One request through the link and the device's echo of it; microseconds.
double LinkRoundTrip(aLinkRef ref, int i) {
  std::vector<uint8_t> payload(28);
  payload[0] = static_cast<uint8_t>(i);
  payload[1] = static_cast<uint8_t>(i >> 8);
  double us = LinkEchoRoundTrip(ref, 0x08, payload);
  if (us < 0) fprintf(stderr, "link round trip %d lost\n", i);
  return us;
}

// The same bytes as kPooledPackets packets, in 4096-byte writes; packets per second.
double RawPooledRate() {
  int client, server;
  if (!MakeTcpLoopbackPair(&client, &server, true)) return 0;
  size_t total = kPooledPackets * kMessage;
  std::thread sink([server, total] {
    std::vector<uint8_t> buffer(65536);
    size_t got = 0;
    while (got < total) {
      ssize_t n = read(server, buffer.data(), buffer.size());
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  std::vector<uint8_t> block(4096, 0x5A);
  auto start = Clock::now();
  for (size_t sent = 0; sent < total;) {
    size_t n = std::min(block.size(), total - sent);
    if (!WriteAll(client, block.data(), n)) break;
    sent += n;
  }
  sink.join();
  double seconds = MicrosSince(start) / 1e6;
  close(client);
  close(server);
  return static_cast<double>(kPooledPackets) / seconds;
}

double LinkPooledRate() {
  TcpDevice d;
  d.device.SetRecording(false);
  aLinkRef ref = d.Create();
  if (ref == 0) return 0;
  aLink_EnablePooledPackets(ref, true);
  d.device.WaitForRoutes(1, 5000);
  size_t base = d.device.PacketCount();
  std::vector<uint8_t> payload(28, 0x5A);
  aPacket* packet = aPacket_CreateWithData(0x08, 28, payload.data());
  auto start = Clock::now();
  for (size_t i = 0; i < kPooledPackets; ++i) {
    // Fewer than 1000 queued, or the FIFO sheds them.
    while (static_cast<long>(i) - static_cast<long>(d.device.PacketCount() - base) > 500)
      std::this_thread::yield();
    aLink_PutPacket(ref, packet);
  }
  d.device.WaitForPackets(base + kPooledPackets, 30000);
  double seconds = MicrosSince(start) / 1e6;
  aPacket_Destroy(&packet);
  aLink_Destroy(&ref);
  return static_cast<double>(kPooledPackets) / seconds;
}

double IdleLinkCpu(bool deviceCloses) {
  TcpDevice d;
  aLinkRef ref = d.Create();
  if (ref == 0) return 0;
  if (deviceCloses) {
    d.listener.CloseConnection();
    aTime_MSSleep(100);
  }
  double cpu = IdleCpuPerSecond(kIdleSeconds);
  aLink_Destroy(&ref);
  return cpu;
}

double RawConnectCycles(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = TcpDeviceListener::address();
  address.sin_port = htons(port);
  auto start = Clock::now();
  for (int i = 0; i < kCycles; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (fd >= 0) close(fd);
      return 0;
    }
    // A reset, as the socket stream closes.
    struct linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  return kCycles / (MicrosSince(start) / 1e6);
}

double LinkCycles(TcpDevice& d) {
  auto start = Clock::now();
  for (int i = 0; i < kCycles; ++i) {
    aLinkRef ref = d.Create();
    if (ref == 0) return 0;
    aLink_Destroy(&ref);
  }
  return kCycles / (MicrosSince(start) / 1e6);
}

}  // namespace

int main() {
  {
    TcpDevice d;
    d.device.SetEcho(true);
    d.device.SetRecording(false);
    aLinkRef ref = d.Create();
    RawTcpEcho raw;
    if (ref == 0 || !raw.ok()) {
      fprintf(stderr, "bench_link_tcpip: no link or no raw pair\n");
      return 1;
    }
    RoundTrips link, base;
    Alternate(kRoundTrips, kBlock, [&](int i) { return LinkRoundTrip(ref, i); }, [&](int) { return raw.RoundTrip(); },
              &link, &base);
    aLink_Destroy(&ref);
    PrintRoundTrips("link_rtt_tcpip", link, "raw_tcp", base);
  }

  PrintFigure("link_pooled_tcpip", LinkPooledRate(), "packets/s", "raw_tcp_4096_writes", RawPooledRate());

  double none;
  {
    TcpDevice d;
    none = IdleCpuPerSecond(kIdleSeconds);
  }
  PrintIdleFigure("link_idle_cpu_tcpip", IdleLinkCpu(false), "no_link", none);
  PrintIdleFigure("link_idle_cpu_tcpip_closed", IdleLinkCpu(true), "no_link", none);

  TcpDevice d;
  double rawCycles = RawConnectCycles(d.listener.port());
  d.listener.WaitUntilIdle(5000);
  PrintFigure("link_create_destroy_tcpip", LinkCycles(d), "cycles/s", "raw_connect_close", rawCycles);
  return 0;
}
