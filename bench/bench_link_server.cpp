// A link server in front of a TCP/IP link to the echoing simulated device, in this process:
//   link_server_rtt, link_server_rtt_p99   echo round trips through the server, beside the
//                                          same link used directly before the server started
//   link_server_added                      what the server adds to a round trip, beside a
//                                          plain DEALER-ROUTER loopback echo
//   link_server_4_clients                  requests/s of 4 clients in 4 threads, one request in
//                                          flight each, beside one direct caller's rate
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "PacketHelpers.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 5000;
constexpr int kWarmUp = 100;
constexpr auto kRateTime = std::chrono::seconds(5);
constexpr int kClients = 4;
constexpr int kReplyMs = 2000;

// A 30-byte echo request that no routing rule treats specially (its command is not an entity
// command), told apart by i.
std::vector<uint8_t> Request(uint8_t client, uint32_t i) {
  std::vector<uint8_t> wire(30, 0x5A);
  wire[0] = 0x08;
  wire[1] = 28;
  wire[2] = 0x17;
  wire[3] = client;
  wire[4] = static_cast<uint8_t>(i);
  wire[5] = static_cast<uint8_t>(i >> 8);
  return wire;
}

// One round trip on the link itself; false when no reply came.
bool DirectRoundTrip(aLinkRef link, uint32_t i) {
  std::vector<uint8_t> wire = Request(0, i);
  std::vector<uint8_t> payload(wire.begin() + 2, wire.end());
  PacketPtr request(aPacket_CreateWithData(wire[0], wire[1], payload.data()));
  aLink_PutPacket(link, request.get());
  PacketPtr reply(aLink_AwaitFirst(link, SamePayload, &payload, kReplyMs));
  return reply != nullptr;
}

bool ServerRoundTrip(RawDealer& client, uint8_t id, uint32_t i) {
  std::vector<uint8_t> request = Request(id, i);
  if (!client.Send(request)) return false;
  std::optional<std::vector<uint8_t>> reply = client.Receive(kReplyMs);
  return reply && *reply == request;
}

// Microseconds of each round trip after the warm-up; empty when one failed.
template <typename Trip>
std::vector<double> RoundTrips(Trip trip) {
  std::vector<double> times;
  for (int i = 0; i < kRoundTrips + kWarmUp; ++i) {
    auto start = Clock::now();
    if (!trip(static_cast<uint32_t>(i))) return {};
    if (i >= kWarmUp) times.push_back(MicrosSince(start));
  }
  return times;
}

// The plain message-library round trip the server's two hops are made of: a DEALER to a
// ROUTER that echoes on its own thread, over loopback TCP.
std::vector<double> DealerRouterEcho() {
  zsock_t* router = zsock_new(ZMQ_ROUTER);
  int port = router != nullptr ? zsock_bind(router, "tcp://127.0.0.1:*") : -1;
  if (port <= 0) {
    zsock_destroy(&router);
    return {};
  }
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    zsock_set_rcvtimeo(router, 100);
    while (!stop) {
      zmsg_t* message = zmsg_recv(router);
      if (message != nullptr) zmsg_send(&message, router);
    }
  });
  std::vector<double> times;
  {
    RawDealer client(static_cast<uint16_t>(port));
    times = RoundTrips([&](uint32_t i) { return ServerRoundTrip(client, 0, i); });
  }
  stop = true;
  echo.join();
  zsock_destroy(&router);
  return times;
}

// Round trips per second of `callers` threads for kRateTime, each trip(caller, i) one
// request in flight.
template <typename Trip>
double Rate(int callers, Trip trip) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  auto start = Clock::now();
  auto deadline = start + kRateTime;
  std::vector<std::thread> threads;
  for (int c = 0; c < callers; ++c) {
    threads.emplace_back([&, c] {
      auto call = trip(c);
      for (uint32_t i = 0; Clock::now() < deadline && !failed; ++i) {
        if (!call(i)) {
          failed = true;
          return;
        }
        ++done;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (failed) return 0;
  return static_cast<double>(done.load()) / (MicrosSince(start) / 1e6);
}

}  // namespace

int main() {
  StartMessageLibrary();
  ServedDevice::Options options;
  options.start = false;
  ServedDevice served(options);
  served.device.SetRecording(false);
  if (served.server == nullptr) {
    fprintf(stderr, "bench_link_server: no server\n");
    return 1;
  }
  // Before the start nothing else reads the link.
  std::vector<double> direct = RoundTrips([&](uint32_t i) { return DirectRoundTrip(served.link, i); });
  double directRate = Rate(1, [&](int) { return [&](uint32_t i) { return DirectRoundTrip(served.link, i); }; });

  if (aServer_Start(served.server) != aErrNone) {
    fprintf(stderr, "bench_link_server: the server did not start\n");
    return 1;
  }
  std::string endpoint = served.endpoint();
  std::vector<double> through;
  {
    RawDealer client(endpoint);
    through = RoundTrips([&](uint32_t i) { return ServerRoundTrip(client, 0, i); });
  }
  double serverRate = Rate(kClients, [&](int c) {
    auto client = std::make_shared<RawDealer>(endpoint);
    return [client, c](uint32_t i) { return ServerRoundTrip(*client, static_cast<uint8_t>(c), i); };
  });
  std::vector<double> echo = DealerRouterEcho();
  if (direct.empty() || through.empty() || echo.empty() || directRate == 0 || serverRate == 0) {
    fprintf(stderr, "bench_link_server: round trips failed\n");
    return 1;
  }

  double directP50 = Percentile(direct, 0.5);
  double throughP50 = Percentile(through, 0.5);
  PrintFigure("link_server_rtt", throughP50, "us", "direct_link_rtt", directP50);
  PrintFigure("link_server_rtt_p99", Percentile(through, 0.99), "us", "direct_link_rtt_p99", Percentile(direct, 0.99));
  PrintFigure("link_server_added", throughP50 - directP50, "us", "zmq_dealer_router_echo", Percentile(echo, 0.5));
  PrintFigure("link_server_4_clients", serverRate, "requests/s", "direct_link_one_caller", directRate);
  return 0;
}
