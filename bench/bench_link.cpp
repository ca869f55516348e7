// The link engine against the raw transports it runs on: request/reply round trips over the
// in-memory pipe and over loopback TCP, streamed packets per second pooled and unpooled (with
// and without the packet log), and the CPU an idle link costs.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchIdleCpu.h"
#include "BenchRoundTrip.h"
#include "BenchTiming.h"
#include "CpuTime.h"
#include "DescriptorStream.h"
#include "MemoryPipe.h"
#include "PacketHelpers.h"
#include "SimLinkPipe.h"
#include "TcpLoopbackPair.h"
#include "unix_time.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kExchanges = 5000;
constexpr int kBlock = 100;
constexpr size_t kWire = 30;
constexpr size_t kStreamPackets = 200000;
constexpr int kIdleSeconds = 10;

std::vector<uint8_t> Request(int i) {
  std::vector<uint8_t> payload(28);
  for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(i * 7 + k);
  return payload;
}

// One PutPacket, device echo, AwaitFirst on the payload; microseconds.
double LinkRoundTrip(aLinkRef ref, int i) {
  double us = LinkEchoRoundTrip(ref, 0x08, Request(i));
  if (us < 0) fprintf(stderr, "link round trip %d lost\n", i);
  return us;
}

// A link over loopback TCP (descriptor stream kind) with the device behind the other socket.
struct TcpLink {
  TcpLink() {
    int client, server;
    if (!MakeTcpLoopbackPair(&client, &server)) return;
    deviceEnd = CreateDescriptorStream(server);
    adapter = std::make_unique<SimLinkStreamAdapter>(device, deviceEnd);
    ref = aLink_Create(CreateDescriptorStream(client));
  }
  ~TcpLink() {
    if (ref != 0) aLink_Destroy(&ref);
    adapter.reset();
    if (deviceEnd != nullptr) aStream_Destroy(&deviceEnd);
  }
  SimLinkDevice device;
  aStream* deviceEnd = nullptr;
  std::unique_ptr<SimLinkStreamAdapter> adapter;
  aLinkRef ref = 0;
};

// Packets per second from a producer thread to the device's count, keeping fewer than 500
// queued.
double LinkStream(bool pooled, bool log) {
  SimLinkPipe link;
  link.device.SetRecording(false);
  if (link.Create() == 0) return 0;
  aLink_EnablePooledPackets(link.ref, pooled);
  if (log) aLink_PacketDebug_Enable(link.ref);
  link.device.WaitForRoutes(1, 5000);  // AF 01 01 is not one of ours
  size_t base = link.device.PacketCount();
  PacketPtr packet(aPacket_CreateWithData(0x08, 28, Request(1).data()));
  auto start = Clock::now();
  for (size_t sent = 0; sent < kStreamPackets; ++sent) {
    while (sent + base >= link.device.PacketCount() + 500) std::this_thread::yield();
    aLink_PutPacket(link.ref, packet.get());
  }
  link.device.WaitForPackets(base + kStreamPackets, 30000);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(kStreamPackets) / seconds;
}

// The same packets written straight into the pipe, 136 to a 4080-byte write.
double RawStream() {
  SimLinkPipe link;
  link.device.SetRecording(false);
  std::vector<uint8_t> wire = WireBytes(PacketPtr(aPacket_CreateWithData(0x08, 28, Request(1).data())).get());
  std::vector<uint8_t> batch;
  for (int i = 0; i < 136; ++i) batch.insert(batch.end(), wire.begin(), wire.end());
  auto start = Clock::now();
  for (size_t sent = 0; sent < kStreamPackets; sent += 136) {
    while (sent >= link.device.PacketCount() + 500) std::this_thread::yield();
    size_t n = std::min<size_t>(136, kStreamPackets - sent);
    aStream_Write(link.pipe.stream(MemoryPipe::kA), batch.data(), n * kWire);
  }
  link.device.WaitForPackets(kStreamPackets, 30000);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(kStreamPackets) / seconds;
}

}  // namespace

// With an argument, only the figures whose names contain it run (for profiling one of them).
int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";
  auto wanted = [&](const char* name) { return only.empty() || std::string(name).find(only) != std::string::npos; };
  if (wanted("link_rtt_pipe")) {
    SimLinkPipe link;
    link.device.SetEcho(true);
    link.device.SetRecording(false);
    link.Create();
    RawPipeEcho raw;
    RoundTrips linkPipe, rawPipe;
    Alternate(kExchanges, kBlock, [&](int i) { return LinkRoundTrip(link.ref, i); },
              [&](int) { return raw.RoundTrip(); }, &linkPipe, &rawPipe);
    PrintRoundTrips("link_rtt_pipe", linkPipe, "raw_pipe", rawPipe);
  }
  if (wanted("link_rtt_tcp")) {
    TcpLink link;
    link.device.SetEcho(true);
    link.device.SetRecording(false);
    RawTcpEcho raw;
    RoundTrips linkTcp, rawTcp;
    Alternate(kExchanges, kBlock, [&](int i) { return LinkRoundTrip(link.ref, i); },
              [&](int) { return raw.RoundTrip(); }, &linkTcp, &rawTcp);
    PrintRoundTrips("link_rtt_tcp", linkTcp, "raw_tcp", rawTcp);
  }

  if (!wanted("link_stream") && !wanted("link_idle")) return 0;
  // Best of three runs each, taken in turns, so that a busy moment of the machine counts less.
  double raw = 0, pooled = 0, unpooled = 0, pooledLog = 0;
  for (int run = 0; run < 3; ++run) {
    raw = std::max(raw, RawStream());
    pooled = std::max(pooled, LinkStream(true, false));
    unpooled = std::max(unpooled, LinkStream(false, false));
    pooledLog = std::max(pooledLog, LinkStream(true, true));
  }
  PrintFigure("link_stream_pooled", pooled, "packets/s", "raw_pipe", raw);
  PrintFigure("link_stream_unpooled", unpooled, "packets/s", "raw_pipe", raw);
  PrintFigure("link_stream_pooled_log", pooledLog, "packets/s", "link_stream_pooled", pooled);

  // Idle: the same kit (device and adapter threads) with and without a link on it.
  double without, withPipe, withTcp;
  {
    SimLinkPipe kit;
    without = IdleCpuPerSecond(kIdleSeconds);
  }
  {
    SimLinkPipe link;
    link.device.SetSilent(true);
    link.Create();
    withPipe = IdleCpuPerSecond(kIdleSeconds);
  }
  {
    TcpLink link;
    link.device.SetSilent(true);
    withTcp = IdleCpuPerSecond(kIdleSeconds);
  }
  PrintIdleFigure("link_idle_cpu", withPipe, "no_link", without);
  PrintIdleFigure("link_idle_cpu_tcp", withTcp, "no_link", without);
  return 0;
}
