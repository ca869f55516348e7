#include "DescriptorStream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <new>

#include "unix_time.h"

namespace {

constexpr uint64_t kWriteRoomMs = 5000;

// Reads go through a small buffer, one read call per arrival rather than per byte, as the
// library's socket kind does; get and wait are the reader's alone.
struct Descriptor {
  int fd;
  bool own;
  uint8_t in[256];
  size_t inCount = 0;
  size_t inCursor = 0;
};

int sFd(void* ref) { return static_cast<Descriptor*>(ref)->fd; }

aErr sGet(uint8_t* byte, void* ref) {
  Descriptor* d = static_cast<Descriptor*>(ref);
  if (d->inCursor == d->inCount) {
    ssize_t got = read(d->fd, d->in, sizeof d->in);
    if (got == 0) return aErrEOF;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return aErrNotReady;
      return aErrIO;
    }
    d->inCount = static_cast<size_t>(got);
    d->inCursor = 0;
  }
  *byte = d->in[d->inCursor++];
  return aErrNone;
}

aErr sWrite(const uint8_t* data, size_t length, void* ref) {
  int fd = sFd(ref);
  uint64_t deadline = aTime_GetMonotonicMS() + kWriteRoomMs;
  size_t sent = 0;
  while (sent < length) {
    ssize_t put = write(fd, data + sent, length - sent);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
    uint64_t now = aTime_GetMonotonicMS();
    if (now >= deadline) return aErrIO;
    pollfd room{fd, POLLOUT, 0};
    poll(&room, 1, static_cast<int>(deadline - now));
  }
  return aErrNone;
}

aErr sPut(const uint8_t* byte, void* ref) { return sWrite(byte, 1, ref); }

aErr sWait(uint32_t ms, void* ref) {
  const Descriptor* d = static_cast<const Descriptor*>(ref);
  if (d->inCursor < d->inCount) return aErrNone;
  pollfd readable{d->fd, POLLIN, 0};
  int ready = poll(&readable, 1, static_cast<int>(ms));
  return ready > 0 ? aErrNone : aErrTimeout;
}

aErr sDelete(void* ref) {
  Descriptor* descriptor = static_cast<Descriptor*>(ref);
  aErr err = aErrNone;
  if (descriptor->own && close(descriptor->fd) != 0) err = aErrIO;
  delete descriptor;
  return err;
}

}  // namespace

aStream* CreateDescriptorStream(int fd, bool own) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  Descriptor* descriptor = new (std::nothrow) Descriptor{fd, own, {}};
  if (descriptor == nullptr) return nullptr;
  aStream* stream = aStream_Create(sGet, sPut, sWrite, sDelete, descriptor);
  if (stream == nullptr) {
    delete descriptor;
    return nullptr;
  }
  aStream_SetWait(stream, sWait);
  return stream;
}
