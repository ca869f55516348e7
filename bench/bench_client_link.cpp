// Client links through a link server made by aLink_CreateServer, in front of a TCP/IP link to the
// echoing simulated device in this process:
//   client_link_rtt (_p99, _csw)   echo round trips through the client link, beside a plain
//                                  DEALER talking to the same server, in alternating blocks
//   client_link_vs_direct(_p99)    the same client link figures beside the device link used
//                                  directly before the server existed
//   link_idle_cpu_client           CPU seconds per second of the process while a client link
//                                  and its server stand idle, beside the same kit without them
//   client_link_create             median aLink_CreateServer beside the median aLink_CreateTCPIP
//                                  that made its device link (releases not timed)
//   multicast_discovery_3          median link-server discovery with 3 servers beside none
//   multicast_discovery_added      time added per server, beside the 10 ms it may take
// Runs in a private network namespace (scripts/bench): the servers announce themselves.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "CpuTime.h"
#include "DeviceRigs.h"
#include "DiscoveryRecorder.h"
#include "PacketHelpers.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "aLinkThroughServer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 2000;
constexpr int kBlock = 100;
constexpr int kCreations = 20;
constexpr int kDiscoveryBlocks = 4;
constexpr int kDiscoveriesPerBlock = 5;
constexpr int kServers = 3;
constexpr int kReplyMs = 2000;
constexpr uint32_t kSerial = 0x5E12AB01;
constexpr auto kIdle = std::chrono::seconds(3);

// CPU seconds per wall second of this process while the main thread sleeps kIdle.
double CpuPerSecond() {
  double before = ProcessCpuSeconds();
  auto start = Clock::now();
  std::this_thread::sleep_for(kIdle);
  return (ProcessCpuSeconds() - before) / std::chrono::duration<double>(Clock::now() - start).count();
}

// A 30-byte echo request that no routing rule treats specially (its command is not an entity
// command), told apart by i.
std::vector<uint8_t> Request(uint32_t i) {
  std::vector<uint8_t> wire(30, 0x5A);
  wire[0] = 0x08;
  wire[1] = 28;
  wire[2] = 0x17;
  wire[3] = static_cast<uint8_t>(i);
  wire[4] = static_cast<uint8_t>(i >> 8);
  return wire;
}

// Microseconds of one echo on a link-engine link; -1 when no reply came.
double LinkRoundTrip(aLinkRef link, int i) {
  std::vector<uint8_t> wire = Request(static_cast<uint32_t>(i));
  return LinkEchoRoundTrip(link, wire[0], std::vector<uint8_t>(wire.begin() + 2, wire.end()), kReplyMs);
}

double DealerRoundTrip(RawDealer& client, int i) {
  std::vector<uint8_t> request = Request(static_cast<uint32_t>(i));
  auto start = Clock::now();
  if (!client.Send(request)) return -1;
  std::optional<std::vector<uint8_t>> reply = client.Receive(kReplyMs);
  return reply && *reply == request ? MicrosSince(start) : -1;
}

bool AllGood(const std::vector<double>& us) {
  for (double value : us) {
    if (value < 0) return false;
  }
  return !us.empty();
}

// Median ms of aLink_CreateServer beside that of aLink_CreateTCPIP, taken in turns.
bool Creations(TcpSimDevice& d, double* server, double* tcpip) {
  std::vector<double> servers;
  std::vector<double> links;
  for (int i = 0; i < kCreations; ++i) {
    auto start = Clock::now();
    aLinkRef device = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
    links.push_back(MicrosSince(start) / 1000);
    uint16_t port = 0;
    uint32_t interface = 0x0100007F;
    start = Clock::now();
    aLinkRef client = device != 0 ? aLink_CreateServer(device, &port, &interface, true) : 0;
    servers.push_back(MicrosSince(start) / 1000);
    if (client == 0) {
      aLink_Destroy(&device);
      return false;
    }
    aLink_Destroy(&client);
    // One connection at a time: the next create waits for this one to end.
    d.listener.WaitUntilIdle(5000);
  }
  *server = Percentile(servers, 0.5);
  *tcpip = Percentile(links, 0.5);
  return true;
}

// Median ms of link-server discovery with kServers servers running, beside none, in blocks.
bool Discoveries(double* withServers, double* none) {
  std::vector<double> with;
  std::vector<double> without;
  for (int block = 0; block < kDiscoveryBlocks; ++block) {
    for (int i = 0; i < kDiscoveriesPerBlock; ++i) {
      DiscoveryRecorder recorder;
      auto start = Clock::now();
      if (recorder.Enumerate(AORVEX, 0) != 0) return false;
      without.push_back(MicrosSince(start) / 1000);
    }
    std::vector<std::unique_ptr<ServedDevice>> servers;
    for (int s = 0; s < kServers; ++s) {
      ServedDevice::Options options;
      options.serialNumber = kSerial + 1 + static_cast<uint32_t>(s);
      servers.push_back(std::make_unique<ServedDevice>(options));
      if (servers.back()->startResult != aErrNone) return false;
    }
    for (int i = 0; i < kDiscoveriesPerBlock; ++i) {
      DiscoveryRecorder recorder;
      auto start = Clock::now();
      if (recorder.Enumerate(AORVEX, 0) != kServers) return false;
      with.push_back(MicrosSince(start) / 1000);
    }
  }
  *withServers = Percentile(with, 0.5);
  *none = Percentile(without, 0.5);
  return true;
}

}  // namespace

int main() {
  StartMessageLibrary();
  TcpSimDevice d(8, kSerial);
  d.device.SetEcho(true);
  SetSystemEntity(d.device, kSerial);
  double idleWithout = CpuPerSecond();

  aLinkRef device = aLink_CreateTCPIP(kSerial, TcpDeviceListener::address(), d.listener.port());
  if (device == 0) {
    fprintf(stderr, "bench_client_link: no device link\n");
    return 1;
  }
  d.device.SetRecording(false);
  RoundTrips direct;
  for (int i = -kBlock; i < kRoundTrips; ++i) {
    double us = LinkRoundTrip(device, i);
    if (i >= 0) direct.us.push_back(us);
  }
  uint16_t port = 0;
  uint32_t interface = 0x0100007F;
  aLinkRef client = aLink_CreateServer(device, &port, &interface, true);
  if (client == 0) {
    fprintf(stderr, "bench_client_link: no server\n");
    aLink_Destroy(&device);
    return 1;
  }
  RoundTrips throughClient;
  RoundTrips throughDealer;
  {
    RawDealer dealer(port);
    Alternate(kRoundTrips, kBlock, [&](int i) { return LinkRoundTrip(client, i); },
              [&](int i) { return DealerRoundTrip(dealer, i); }, &throughClient, &throughDealer);
  }
  // The client link's reader and relay and the server's actors, all waiting.
  double idleWith = CpuPerSecond();
  aLink_Destroy(&client);
  d.listener.WaitUntilIdle(5000);
  if (!AllGood(direct.us) || !AllGood(throughClient.us) || !AllGood(throughDealer.us)) {
    fprintf(stderr, "bench_client_link: round trips failed\n");
    return 1;
  }
  PrintRoundTrips("client_link_rtt", throughClient, "raw_dealer_through_server_rtt", throughDealer);
  PrintFigure("client_link_vs_direct", throughClient.p50(), "us", "direct_link_rtt", direct.p50());
  PrintFigure("client_link_vs_direct_p99", throughClient.p99(), "us", "direct_link_rtt_p99", direct.p99());
  PrintFigure("link_idle_cpu_client", idleWith, "s/s", "no_link", idleWithout);

  double server = 0;
  double tcpip = 0;
  if (!Creations(d, &server, &tcpip)) {
    fprintf(stderr, "bench_client_link: a creation failed\n");
    return 1;
  }
  PrintFigure("client_link_create", server, "ms", "tcpip_link_create", tcpip);

  double withServers = 0;
  double none = 0;
  if (!Discoveries(&withServers, &none)) {
    fprintf(stderr, "bench_client_link: discovery did not find the servers\n");
    return 1;
  }
  PrintFigure("multicast_discovery_3", withServers, "ms", "multicast_discovery_none", none);
  PrintFigure("multicast_discovery_added", (withServers - none) / kServers, "ms", "target_per_server", 10);
  return 0;
}
