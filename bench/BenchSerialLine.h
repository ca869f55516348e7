#pragma once
// A throttled serial line to a simulated boot loader: the raw baseline that the boot-loader
// figures are measured beside (the same characters in one stream), and the characters that
// LPC programming sends for one chunk.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "unix_time.h"

// The pty slave in raw mode at 115200, reads returning at once.
inline int OpenRawLine(const std::string& path) {
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

// Bytes written to a throttled peer in one stream, timed until the peer has taken the last of
// them, plus the delays the peer models for them; answers are dropped. Milliseconds, -1 when
// the peer did not take them within a minute.
inline double RawLineMs(int fd, const std::vector<uint8_t>& bytes, const std::function<uint64_t()>& taken,
                        uint64_t modelledMs) {
  uint64_t start = aTime_GetMonotonicMS();
  uint64_t target = taken() + bytes.size();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      aTime_MSSleep(1);
    }
    if (aTime_GetMonotonicMS() - start > 60000) return -1;
  }
  while (taken() < target && aTime_GetMonotonicMS() - start < 60000) aTime_MSSleep(1);
  double ms = static_cast<double>(aTime_GetMonotonicMS() - start + modelledMs);
  aTime_MSSleep(modelledMs + 300);  // the peer's last answers, dropped before the next measured run
  tcflush(fd, TCIFLUSH);
  return ms;
}

// The characters NXPSerialClass sends, echo off, for one chunk of n bytes through RAM to flash
// (the copy of `copy` bytes, which covers the sectors it reaches).
inline std::string LpcChunkText(const uint8_t* data, unsigned n, uint32_t flash, unsigned copy) {
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
  unsigned first = NXPSerialClass::SectorFromAddress(flash);
  unsigned last = NXPSerialClass::SectorFromAddress(flash + copy - 1);
  text += "P " + std::to_string(first) + " " + std::to_string(last) + "\r\n";
  text += "C " + std::to_string(flash) + " " + std::to_string(NXPSerialClass::WRITE_ADDRESS) + " " +
          std::to_string(copy) + "\r\n";
  return text;
}
