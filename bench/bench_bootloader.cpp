// The two boot-loader protocols over one throttled pty each (11520 characters per second, a
// 115200-baud 8N1 line): what each adds to the line time. Neither uses the link engine.
//   lpc_write_64k: Write + Prepare + CopyToFlash of 64 KiB in 4096-byte chunks, echo off,
//     beside the same characters written in one stream to the same chip, plus its copy delays.
//   sdp_write_64k: writeLoader of 64 KiB beside the same bytes written raw to the same ROM.
// Measured and baseline runs alternate, in blocks.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BenchTiming.h"
#include "NXPSerialClass.h"
#include "PtyPair.h"
#include "SDPLoader.h"
#include "SimLpcIsp.h"
#include "SimSdpRom.h"
#include "unix_time.h"

namespace {

constexpr uint32_t kLine = 11520;
constexpr size_t kImage = 64 * 1024;
constexpr int kBlocks = 2;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  return bytes;
}

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  struct termios t;
  if (fd >= 0 && tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// The baseline of both: bytes written to a throttled peer in one stream, timed until the peer
// has taken the last of them, plus the delays the peer models for them; answers are dropped.
double RawLineMs(int fd, const std::vector<uint8_t>& bytes, const std::function<uint64_t()>& taken,
                 uint64_t modelledMs) {
  uint64_t start = aTime_GetMonotonicMS();
  uint64_t target = taken() + bytes.size();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else aTime_MSSleep(1);
    if (aTime_GetMonotonicMS() - start > 60000) return -1;
  }
  while (taken() < target && aTime_GetMonotonicMS() - start < 60000) aTime_MSSleep(1);
  double ms = static_cast<double>(aTime_GetMonotonicMS() - start + modelledMs);
  aTime_MSSleep(modelledMs + 300);  // the peer's last answers, dropped before the next measured run
  tcflush(fd, TCIFLUSH);
  return ms;
}

// The characters NXPSerialClass sends for one chunk, echo off.
std::string LpcChunkText(const uint8_t* data, unsigned n, uint32_t flash) {
  std::string text = "W " + std::to_string(NXPSerialClass::WRITE_ADDRESS) + " " + std::to_string(n) + "\r\n";
  unsigned groupStart = 0, lines = 0;
  for (unsigned p = 0; p < n;) {
    unsigned k = n - p < 45 ? n - p : 45;
    char line[80];
    NXPSerialClass::uuencode(line, data + p, k);
    text += std::string(line) + "\r\n";
    p += k;
    if (++lines < 20 && p < n) continue;
    text += std::to_string(NXPSerialClass::sum(data + groupStart, p - groupStart)) + "\r\n";
    groupStart = p;
    lines = 0;
  }
  unsigned first = NXPSerialClass::SectorFromAddress(flash), last = NXPSerialClass::SectorFromAddress(flash + n - 1);
  text += "P " + std::to_string(first) + " " + std::to_string(last) + "\r\n";
  text += "C " + std::to_string(flash) + " " + std::to_string(NXPSerialClass::WRITE_ADDRESS) + " " + std::to_string(n) +
          "\r\n";
  return text;
}

void BenchLpc() {
  PtyPair pty(true);
  SimLpcIsp chip(pty);
  chip.configure([](SimLpcIsp::Settings& s) {
    s.throttle = kLine;
    s.eraseDelayMs = 100;
    s.copyDelayMsPer256 = 1;
  });
  chip.start();
  NXPSerialClass isp;
  if (isp.Connect(pty.slaveName().c_str(), 115200) != aErrNone || isp.Sync() != aErrNone || isp.Unlock() != aErrNone ||
      isp.SetEcho(false) != aErrNone) {
    fprintf(stderr, "bench_bootloader: the LPC chip did not answer\n");
    return;
  }
  std::vector<uint8_t> image = Pattern(kImage);
  std::string stream;
  for (uint32_t at = 0; at < kImage; at += 4096) stream += LpcChunkText(image.data() + at, 4096, 0x10000 + at);
  std::vector<uint8_t> raw(stream.begin(), stream.end());
  uint64_t copyMs = (kImage / 256) * 1;
  int fd = OpenRaw(pty.slaveName());

  double measured = 0, baseline = 0;
  for (int block = 0; block < kBlocks; ++block) {
    isp.Prepare(16, 29);
    isp.Erase(16, 29);
    uint64_t start = aTime_GetMonotonicMS();
    for (uint32_t at = 0; at < kImage; at += 4096) {
      uint32_t flash = 0x10000 + at;
      unsigned first = NXPSerialClass::SectorFromAddress(flash), last = NXPSerialClass::SectorFromAddress(flash + 4095);
      if (isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data() + at) != aErrNone ||
          isp.Prepare(first, last) != aErrNone || isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, 4096) != aErrNone) {
        fprintf(stderr, "bench_bootloader: LPC transfer failed\n");
        return;
      }
    }
    measured += static_cast<double>(aTime_GetMonotonicMS() - start);
    baseline += RawLineMs(fd, raw, [&] { return chip.bytesFromHost(); }, copyMs);
  }
  close(fd);
  PrintFigure("lpc_write_64k", measured / kBlocks, "ms", "lpc_line_64k", baseline / kBlocks);
}

void BenchSdp() {
  PtyPair pty(true);
  SimSdpRom rom;
  rom.configure([](SdpRomCore::Settings&, SimSdpRom::Faults& f) { f.throttle = kLine; });
  rom.serveSerial(pty);
  std::string path = pty.slaveName();
  SDPLoader loader;
  loader.setLoader(new Serial_SDPLoader(path.c_str()));
  if (loader.init() != 0) {
    fprintf(stderr, "bench_bootloader: the SDP line did not open\n");
    return;
  }
  std::vector<uint8_t> image = Pattern(kImage);
  std::vector<uint8_t> raw = SDPLoader::_createStatusPacket();
  raw.erase(raw.begin());
  std::vector<uint8_t> command = SDPLoader::_createWriteFilePacket(0x20000000, kImage);
  raw.insert(raw.end(), command.begin() + 1, command.end());
  raw.insert(raw.end(), image.begin(), image.end());
  int fd = OpenRaw(path);

  double measured = 0, baseline = 0;
  for (int block = 0; block < kBlocks; ++block) {
    uint64_t start = aTime_GetMonotonicMS();
    uint8_t result = loader.writeLoader(image, 0x20000000);
    if (result != 0) {
      fprintf(stderr, "bench_bootloader: SDP transfer failed in block %d: %d\n", block, result);
      return;
    }
    measured += static_cast<double>(aTime_GetMonotonicMS() - start);
    baseline += RawLineMs(fd, raw, [&] { return rom.serialBytesFromHost(); }, 0);
  }
  close(fd);
  PrintFigure("sdp_write_64k", measured / kBlocks, "ms", "sdp_line_64k", baseline / kBlocks);
}

}  // namespace

int main() {
  BenchLpc();
  BenchSdp();
  return 0;
}
