// A serial link over one pty pair, with the simulated device on the master: outbound and
// inbound packet rates as line bytes per second and the echo round trip, each beside raw
// descriptor I/O of the same 33-byte frames on the same pty.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "PacketHelpers.h"
#include "PeerFraming.h"
#include "SimLinkPty.h"
#include "aLinkSerial.h"
#include "unix_time.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFrame = 33;  // a 30-byte packet on the line
constexpr int kPackets = 20000;
constexpr int kRoundTrips = 2000;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

int OpenSlave(const PtyPair& pty) {
  int fd = open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY);
  struct termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Reads n bytes from a descriptor, one read of up to `chunk` bytes at a time.
bool ReadAll(int fd, size_t n, size_t chunk) {
  std::vector<uint8_t> buffer(chunk);
  size_t got = 0;
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (got < n && Clock::now() < deadline) {
    ssize_t r = read(fd, buffer.data(), std::min(chunk, n - got));
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    struct pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, 10);
  }
  return got == n;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, data + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN) return false;
    struct pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  return true;
}

struct Raw {
  double outbound;  // bytes/s
  double inbound;
  double rttP50, rttP99;  // µs
};

Raw RawBaselines(PtyPair& pty) {
  Raw raw{};
  int slave = OpenSlave(pty);
  std::vector<uint8_t> block(kFrame, 0x5A);

  // Outbound: 33-byte writes with tcdrain on the slave, read in bulk on the master.
  auto start = Clock::now();
  std::thread reader([&] { ReadAll(pty.master(), kFrame * kPackets, 4096); });
  for (int i = 0; i < kPackets; ++i) {
    WriteAll(slave, block.data(), kFrame);
    tcdrain(slave);
  }
  reader.join();
  raw.outbound = kFrame * kPackets / Seconds(start);

  // Inbound: 33-byte writes on the master, read by the slave one byte per read.
  start = Clock::now();
  std::thread writer([&] {
    for (int i = 0; i < kPackets; ++i) WriteAll(pty.master(), block.data(), kFrame);
  });
  ReadAll(slave, kFrame * kPackets, 1);
  writer.join();
  raw.inbound = kFrame * kPackets / Seconds(start);

  // Round trip: the master echoes each block.
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::vector<uint8_t> buffer(kFrame);
    while (!stop) {
      if (!ReadAll(pty.master(), kFrame, kFrame)) break;
      WriteAll(pty.master(), block.data(), kFrame);
    }
  });
  std::vector<double> times;
  for (int i = 0; i < kRoundTrips; ++i) {
    auto t0 = Clock::now();
    WriteAll(slave, block.data(), kFrame);
    tcdrain(slave);
    ReadAll(slave, kFrame, 1);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  WriteAll(slave, block.data(), kFrame);  // lets the echo thread see the stop
  echo.join();
  ReadAll(slave, kFrame, kFrame);
  raw.rttP50 = Percentile(times, 0.5);
  raw.rttP99 = Percentile(times, 0.99);
  close(slave);
  return raw;
}

PacketPtr Packet30(uint8_t tag) {
  uint8_t payload[28];
  for (int i = 0; i < 28; ++i) payload[i] = static_cast<uint8_t>(tag + i + 1);
  return PacketPtr(aPacket_CreateWithData(0x08, 28, payload));
}

uint8_t sSameWire(const aPacket* packet, const void* ref) {
  return WireBytes(packet) == *static_cast<const std::vector<uint8_t>*>(ref);
}

}  // namespace

int main() {
  PtyPair pty;
  Raw raw = RawBaselines(pty);

  SimLinkDevice device;
  device.SetRecording(false);
  SimLinkPty line(pty, device);
  aLinkRef ref = aLink_CreateSerial(0x00BE4C00, pty.slaveName().c_str(), 115200);
  if (ref == 0 || !device.WaitForRoutes(1, 5000)) {
    fprintf(stderr, "bench serial_link: no link\n");
    return 1;
  }

  // Outbound: the device counts decoded frames; fewer than 500 queued at any time.
  PacketPtr packet = Packet30(0);
  size_t base = device.PacketCount();
  auto start = Clock::now();
  for (int i = 0; i < kPackets; ++i) {
    while (static_cast<size_t>(i) - (device.PacketCount() - base) > 500) std::this_thread::yield();
    aLink_PutPacket(ref, packet.get());
  }
  device.WaitForPackets(base + kPackets, 30000);
  double outbound = kFrame * static_cast<double>(device.PacketCount() - base) / Seconds(start);
  PrintFigure("serial_link_outbound", outbound, "B/s", "raw_write_drain", raw.outbound);

  // Inbound: frames back to back from the device, taken by a consumer as they come.
  std::vector<uint8_t> frames;
  std::vector<uint8_t> frame = PeerFrame(WireBytes(packet.get()));
  for (int i = 0; i < kPackets; ++i) frames.insert(frames.end(), frame.begin(), frame.end());
  int taken = 0;
  start = Clock::now();
  line.SendLine(frames);
  while (taken < kPackets) {
    PacketPtr in(aLink_AwaitPacket(ref, 1000));
    if (!in) break;
    ++taken;
  }
  double inbound = kFrame * taken / Seconds(start);
  PrintFigure("serial_link_inbound", inbound, "B/s", "raw_bytewise_read", raw.inbound);
  printf("bench serial_link_inbound_lost: %d packets of %d\n", kPackets - taken, kPackets);

  // Round trip of an echo request.
  device.SetEcho(true);
  std::vector<uint8_t> wire = WireBytes(packet.get());
  std::vector<double> times;
  for (int i = 0; i < kRoundTrips; ++i) {
    auto t0 = Clock::now();
    aLink_PutPacket(ref, packet.get());
    PacketPtr reply(aLink_AwaitFirst(ref, sSameWire, &wire, 1000));
    if (!reply) break;
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  if (times.empty()) times.push_back(1e6);
  PrintFigure("serial_link_rtt", Percentile(times, 0.5), "us", "raw_pingpong", raw.rttP50);
  PrintFigure("serial_link_rtt_p99", Percentile(times, 0.99), "us", "raw_pingpong_p99", raw.rttP99);
  aLink_Destroy(&ref);
  return 0;
}
