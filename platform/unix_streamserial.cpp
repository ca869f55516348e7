#include "unix_streamserial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "aStream_CobsEncoding.h"
#include "unix_time.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPortSize = 4096;
// A write gives up after this long without a byte going out; any progress starts it again.
constexpr uint64_t kWriteStallMs = 1000;
// A write waiting for room or for the line looks again after this long at most.
constexpr uint64_t kWriteSliceMs = 20;

// The terminal speeds of kSerialBaudRates, in its order.
constexpr speed_t kSpeeds[aSERIAL_BAUD_COUNT] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

struct SerialState {
  uint32_t baudIndex;
  char port[kPortSize];
  int fd;  // -1 while closed: 0 is a valid descriptor when standard input is closed
  struct termios savedSettings;
  struct termios settings;
  uint16_t check;
  // savedSettings was read: putting back a zero-filled record would set B0 and hang up the line.
  bool haveSaved;
};

inline bool aVALIDSS(const SerialState* state) { return state != nullptr && state->check == kSerialCheck; }

SerialState* sState(void* ref) { return static_cast<SerialState*>(ref); }

aErr sSerialStreamGet(uint8_t* byte, void* ref) {
  SerialState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  ssize_t got = read(s->fd, byte, 1);
  if (got == 1) return aErrNone;
  if (got < 0) return errno == EINTR || errno == EAGAIN ? aErrNotReady : aErrIO;
  // Nothing read: a silent line, or one that has hung up.
  struct pollfd p = {s->fd, POLLIN, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return aErrIO;
  return aErrNotReady;
}

// A hang-up counts as readable: the next get reports it.
aErr sSerialStreamWait(uint32_t ms, void* ref) {
  SerialState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  struct pollfd p = {s->fd, POLLIN, 0};
  int ready = poll(&p, 1, ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms));
  if (ready == 0) return aErrTimeout;
  return aErrNone;  // readable, hung up, or interrupted: get will tell
}

// Bytes the driver still holds for the line; 0 where it cannot tell (a pty).
int sOutputQueued(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

// How long to wait before the next look: a slice at most, less while a little output drains.
int sWaitMs(const SerialState* s, bool draining, int queued, uint64_t leftMs) {
  uint64_t ms = kWriteSliceMs;
  if (draining) ms = std::min<uint64_t>(ms, uint64_t{10} * queued * 1000 / kSerialBaudRates[s->baudIndex] + 1);
  return static_cast<int>(std::min(ms, leftMs));
}

// Without a deadline a line that stops taking bytes (a stuck adapter, a pty nobody reads) would
// hold the writer for ever; the descriptor does not block, and the write gives up once no byte
// has gone out for kWriteStallMs. It ends when the driver holds none of it any more.
aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* ref) {
  SerialState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  size_t done = 0;
  int queued = sOutputQueued(s->fd);
  uint64_t movedAtMs = aTime_GetMonotonicMS();
  for (;;) {
    if (done < length) {
      ssize_t put = write(s->fd, data + done, length - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
        movedAtMs = aTime_GetMonotonicMS();
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) return aErrIO;
    }
    int left = sOutputQueued(s->fd);
    if (done == length && left == 0) return aErrNone;
    uint64_t now = aTime_GetMonotonicMS();
    if (left < queued) movedAtMs = now;  // the line took bytes
    queued = left;
    if (now - movedAtMs >= kWriteStallMs) return aErrTimeout;
    // While draining only a hang-up wakes the wait early.
    struct pollfd p = {s->fd, static_cast<short>(done < length ? POLLOUT : 0), 0};
    int ready = poll(&p, 1, sWaitMs(s, done == length, left, movedAtMs + kWriteStallMs - now));
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return aErrIO;
  }
}

aErr sSerialStreamPut(const uint8_t* byte, void* ref) { return sSerialStreamWrite(byte, 1, ref); }

aErr sSerialStreamDelete(void* ref) {
  SerialState* s = sState(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->fd >= 0) {
    // Output that a timed-out write left behind would otherwise hold up the close.
    if (sOutputQueued(s->fd) > 0) tcflush(s->fd, TCOFLUSH);
    if (s->haveSaved) tcsetattr(s->fd, TCSANOW, &s->savedSettings);
    close(s->fd);
    s->fd = -1;
    memset(&s->savedSettings, 0, sizeof s->savedSettings);
    s->haveSaved = false;
  }
  s->check = 0;
  delete s;
  return aErrNone;
}

aErr sOpenError(int error) {
  if (error == ENOENT) return aErrNotFound;
  if (error == EACCES) return aErrPermission;
  return aErrIO;
}

// Opens and sets up the port. On failure the descriptor may stay open in the state; the
// caller's delete closes it.
aErr sStreamOpenSerial(SerialState* s, bool parity, uint32_t dataBits, uint32_t stopBits) {
  s->fd = open(s->port, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (s->fd < 0) return sOpenError(errno);
  // Non-blocking for good: writes wait for room in bounded polls; reads return at once
  // either way (VMIN and VTIME 0).
  if (fcntl(s->fd, F_SETFL, O_NONBLOCK) != 0) return aErrIO;
  if (tcgetattr(s->fd, &s->savedSettings) != 0) return aErrIO;
  s->haveSaved = true;

  struct termios& t = s->settings;
  t = s->savedSettings;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_cflag = CLOCAL | CREAD | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
  t.c_lflag = 0;
  speed_t speed = kSpeeds[s->baudIndex];
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return aErrIO;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(s->fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(s->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

// The checks and the state shared by both forms; NULL for arguments that are refused.
SerialState* sCreateState(const char* port, uint32_t baudIndex, uint32_t dataBits, uint32_t stopBits,
                          aStream** out) {
  if (out != nullptr) *out = nullptr;
  if (port == nullptr || out == nullptr) return nullptr;
  if (dataBits > 1 || stopBits > 1 || baudIndex >= aSERIAL_BAUD_COUNT) return nullptr;
  size_t length = strnlen(port, kPortSize);
  if (length == kPortSize) return nullptr;  // no room for the terminator
  SerialState* s = new (std::nothrow) SerialState{};
  if (s == nullptr) return nullptr;
  s->baudIndex = baudIndex;
  memcpy(s->port, port, length + 1);
  s->fd = -1;
  s->check = kSerialCheck;
  return s;
}

}  // namespace

aErr aStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** out) {
  SerialState* s = sCreateState(port, baudIndex, dataBits, stopBits, out);
  if (s == nullptr) return aErrResource;
  aStream* stream = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite, sSerialStreamDelete, s);
  if (stream == nullptr) {
    sSerialStreamDelete(s);
    return aErrResource;
  }
  aErr err = sStreamOpenSerial(s, parity, dataBits, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&stream);  // closes the port and frees the state
    return err;
  }
  aStream_SetWait(stream, sSerialStreamWait);
  *out = stream;
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* port, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** out) {
  SerialState* s = sCreateState(port, baudIndex, dataBits, stopBits, out);
  if (s == nullptr) return aErrResource;
  aErr err = sStreamOpenSerial(s, parity, dataBits, stopBits);
  if (err == aErrNone) {
    err = aStream_CreateCobsEncoding(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                     sSerialStreamDelete, s, out, sSerialStreamWait);
  }
  if (err != aErrNone) sSerialStreamDelete(s);
  return err;
}
