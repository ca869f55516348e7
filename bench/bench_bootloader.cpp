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
#include "BenchSerialLine.h"
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
  for (uint32_t at = 0; at < kImage; at += 4096) stream += LpcChunkText(image.data() + at, 4096, 0x10000 + at, 4096);
  std::vector<uint8_t> raw(stream.begin(), stream.end());
  uint64_t copyMs = (kImage / 256) * 1;
  int fd = OpenRawLine(pty.slaveName());

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
  int fd = OpenRawLine(path);

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
