// A link server in front of a TCP/IP link to the echoing simulated device, in this process:
//   link_server_rtt (_p99, _csw)   echo round trips through the server, beside the same link
//                                  used directly, in alternating blocks
//   link_server_added (_csw)       what the server adds to a round trip, beside a plain
//                                  DEALER-ROUTER loopback echo taken in the same blocks
//   link_server_added_alone        the same against the link used alone before the server
//                                  started (direct_link_rtt_alone beside the alternated one):
//                                  alternated with the server's traffic, the link's own
//                                  round trips are slower
//   link_server_4_clients          requests/s of 4 clients in 4 threads, one request in
//                                  flight each, beside one direct caller's rate, in
//                                  alternating seconds
// With an argument, only the figures whose names contain it run (for profiling one of them).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "PacketHelpers.h"
#include "RawDealer.h"
#include "ServedDevice.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 5000;
constexpr int kBlock = 100;
constexpr int kRateBlocks = 5;
constexpr auto kRateBlock = std::chrono::seconds(1);
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

// Microseconds of one round trip on the device link itself; -1 when no reply came. While the
// server runs its worker reads the link only while it serves a request, and the blocks never
// overlap.
double DirectRoundTrip(aLinkRef link, uint32_t i) {
  std::vector<uint8_t> wire = Request(0, i);
  return LinkEchoRoundTrip(link, wire[0], std::vector<uint8_t>(wire.begin() + 2, wire.end()), kReplyMs);
}

double ServerRoundTrip(RawDealer& client, uint8_t id, uint32_t i) {
  std::vector<uint8_t> request = Request(id, i);
  auto start = Clock::now();
  if (!client.Send(request)) return -1;
  std::optional<std::vector<uint8_t>> reply = client.Receive(kReplyMs);
  return reply && *reply == request ? MicrosSince(start) : -1;
}

bool AllGood(const RoundTrips& trips) {
  for (double us : trips.us) {
    if (us < 0) return false;
  }
  return !trips.us.empty();
}

// The plain message-library round trip the server's two hops are made of: a DEALER to a
// ROUTER that echoes on its own thread, over loopback TCP.
class DealerRouterEcho {
 public:
  DealerRouterEcho() {
    router_ = zsock_new(ZMQ_ROUTER);
    port_ = router_ != nullptr ? zsock_bind(router_, "tcp://127.0.0.1:*") : -1;
    if (port_ <= 0) return;
    zsock_set_rcvtimeo(router_, 100);
    echo_ = std::thread([this] {
      while (!stop_) {
        zmsg_t* message = zmsg_recv(router_);
        if (message != nullptr) zmsg_send(&message, router_);
      }
    });
    client_ = std::make_unique<RawDealer>(static_cast<uint16_t>(port_));
  }
  ~DealerRouterEcho() {
    client_.reset();
    stop_ = true;
    if (echo_.joinable()) echo_.join();
    zsock_destroy(&router_);
  }
  DealerRouterEcho(const DealerRouterEcho&) = delete;
  DealerRouterEcho& operator=(const DealerRouterEcho&) = delete;

  double RoundTrip(uint32_t i) { return client_ != nullptr ? ServerRoundTrip(*client_, 0, i) : -1; }

 private:
  zsock_t* router_ = nullptr;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::thread echo_;
  std::unique_ptr<RawDealer> client_;
};

// Round trips of `callers` threads for kRateBlock, each call(i) of a caller one request in
// flight; -1 when one failed.
long Count(const std::vector<std::function<bool(uint32_t)>>& callers) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  auto deadline = Clock::now() + kRateBlock;
  std::vector<std::thread> threads;
  for (const auto& call : callers) {
    threads.emplace_back([&] {
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
  return failed ? -1 : done.load();
}

}  // namespace

int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";
  auto wanted = [&](const char* name) { return only.empty() || std::string(name).find(only) != std::string::npos; };
  StartMessageLibrary();
  ServedDevice::Options options;
  options.start = false;
  ServedDevice served(options);
  served.device.SetRecording(false);
  if (served.server == nullptr) {
    fprintf(stderr, "bench_link_server: no server\n");
    return 1;
  }
  // The link on its own before the server starts, with nothing else running: its round trips
  // come back to back, so the link engine's own hand-off spins catch most of their hops.
  RoundTrips alone;
  if (wanted("link_server_added")) {
    AlternateAll(kRoundTrips, kBlock, {[&](int i) { return DirectRoundTrip(served.link, static_cast<uint32_t>(i)); }},
                 {&alone});
  }
  if (aServer_Start(served.server) != aErrNone || aServer_SetModuleAddress(served.server, 8) != aErrNone ||
      aServer_SetModel(served.server, 0x17) != aErrNone) {
    fprintf(stderr, "bench_link_server: the server did not start\n");
    return 1;
  }
  std::string endpoint = served.endpoint();
  if (wanted("link_server_rtt") || wanted("link_server_added")) {
    RoundTrips direct, through, echo;
    {
      RawDealer client(endpoint);
      DealerRouterEcho plain;
      AlternateAll(kRoundTrips, kBlock,
                   {[&](int i) { return ServerRoundTrip(client, 0, static_cast<uint32_t>(i)); },
                    [&](int i) { return DirectRoundTrip(served.link, static_cast<uint32_t>(i)); },
                    [&](int i) { return plain.RoundTrip(static_cast<uint32_t>(i)); }},
                   {&through, &direct, &echo});
    }
    if (!AllGood(direct) || !AllGood(through) || !AllGood(echo) || (wanted("link_server_added") && !AllGood(alone))) {
      fprintf(stderr, "bench_link_server: round trips failed\n");
      return 1;
    }
    PrintRoundTrips("link_server_rtt", through, "direct_link_rtt", direct);
    PrintFigure("link_server_added", through.p50() - direct.p50(), "us", "zmq_dealer_router_echo", echo.p50());
    PrintFigure("link_server_added_csw", through.SwitchesPerRoundTrip() - direct.SwitchesPerRoundTrip(), "switches",
                "zmq_dealer_router_echo_csw", echo.SwitchesPerRoundTrip());
    if (wanted("link_server_added")) {
      PrintFigure("link_server_added_alone", through.p50() - alone.p50(), "us", "zmq_dealer_router_echo", echo.p50());
      PrintFigure("direct_link_rtt_alone", alone.p50(), "us", "direct_link_rtt", direct.p50());
    }
  }
  if (wanted("link_server_4_clients")) {
    std::vector<std::unique_ptr<RawDealer>> clients;
    std::vector<std::function<bool(uint32_t)>> four;
    for (int c = 0; c < kClients; ++c) {
      clients.push_back(std::make_unique<RawDealer>(endpoint));
      RawDealer* client = clients.back().get();
      four.push_back([client, c](uint32_t i) { return ServerRoundTrip(*client, static_cast<uint8_t>(c), i) >= 0; });
    }
    std::vector<std::function<bool(uint32_t)>> one{
        [&](uint32_t i) { return DirectRoundTrip(served.link, i) >= 0; }};
    long serverDone = 0, directDone = 0;
    for (int block = 0; block < kRateBlocks; ++block) {
      long s = Count(four);
      long d = Count(one);
      if (s < 0 || d < 0) {
        fprintf(stderr, "bench_link_server: round trips failed\n");
        return 1;
      }
      serverDone += s;
      directDone += d;
    }
    double seconds = kRateBlocks * std::chrono::duration<double>(kRateBlock).count();
    PrintFigure("link_server_4_clients", static_cast<double>(serverDone) / seconds, "requests/s",
                "direct_link_one_caller", static_cast<double>(directDone) / seconds);
  }
  return 0;
}
