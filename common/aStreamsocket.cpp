// The TCP socket kind of stream.
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "unix_mutex.h"
#include "unix_time.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kFlagConnected = 1;
constexpr uint64_t kCloseDelayMS = 10;
// Bytes taken from the socket in one receive, so that a packet costs one call, not two per
// byte.
constexpr size_t kReceiveBuffer = 256;

struct aSocketState {
  uint16_t port;
  sockaddr_in address;
  // -1 when none: with standard input closed, 0 is a socket like any other.
  std::atomic<int> socket;
  std::atomic<uint32_t> flags;  // kFlagConnected
  uint16_t check;               // kSocketCheck while valid
  // Held by every use of the descriptor in get and write and by making the connection again,
  // which is the only place a descriptor is closed while the stream lives: neither thread
  // ever uses a number the other has closed. A failure is met and mended under one hold, so
  // a thread always fails on the current connection.
  aMutex* lock;
  // Counts connections made; the writer starts its block again when it changed mid-block.
  std::atomic<uint64_t> generation;
  // A receive has seen the peer's close: nothing will become readable on this connection.
  std::atomic<bool> peerClosed;
  // Received bytes not yet handed out, from the connection of receivedGeneration; the get
  // path's alone.
  uint8_t received[kReceiveBuffer];
  size_t receivedCount;
  size_t receivedNext;
  uint64_t receivedGeneration;
  // Readable while a wake (sSocketStreamWake) waits to end the reader's wait; -1 when none
  // could be made, and then the stream has no wake.
  int wakeFd = -1;
};

bool aVALIDSS(const aSocketState* s) { return s != nullptr && s->check == kSocketCheck; }

bool sConnected(const aSocketState* s) { return (s->flags & kFlagConnected) != 0; }

bool sWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

class Hold {
 public:
  explicit Hold(aMutex* mutex) : mutex_(mutex) { aMutex_Lock(mutex_); }
  ~Hold() { aMutex_Unlock(mutex_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  aMutex* mutex_;
};

aErr sSocketStreamClose(aSocketState* s) {
  s->flags &= ~kFlagConnected;
  int fd = s->socket.exchange(-1);
  if (fd >= 0) close(fd);
  aTime_MSSleep(kCloseDelayMS);
  return aErrNone;
}

// 0 once a connect in progress has completed; otherwise its error, ETIMEDOUT when it takes
// longer than CONNECT_TIMEOUT_SEC or the wait itself fails. poll, unlike select, takes any
// descriptor number.
int sAwaitConnect(int fd) {
  uint64_t deadline = aTime_GetMonotonicMS() + CONNECT_TIMEOUT_SEC * 1000u;
  for (;;) {
    uint64_t now = aTime_GetMonotonicMS();
    if (now >= deadline) return ETIMEDOUT;
    struct pollfd p = {fd, POLLOUT, 0};
    int ready = poll(&p, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ETIMEDOUT;
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return ETIMEDOUT;
    return pending;
  }
}

aErr sSocketStreamConnect(aSocketState* s) {
  int fd = s->socket;
  int on = 1;
  if (ioctl(fd, FIONBIO, &on) != 0) return aErrIO;
  int err;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof(s->address)) == 0) {
    err = 0;
  } else if (errno == EINPROGRESS || errno == EAGAIN) {
    err = sAwaitConnect(fd);
  } else {
    err = errno;
  }
  if (err == 0) {
    s->flags |= kFlagConnected;
    return aErrNone;
  }
  sSocketStreamClose(s);
  return err == ECONNRESET || err == ETIMEDOUT || err == ECONNREFUSED ? aErrConnection : aErrIO;
}

aErr sSocketStreamSetOptions(aSocketState* s) {
  if (!aVALIDSS(s)) return aErrIO;
  int fd = s->socket;
  int on = 1;
  if (sConnected(s) && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0)
    return aErrIO;
  struct timeval none = {0, 0};
  if (sConnected(s) && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) != 0)
    return aErrIO;
  // Closing resets the connection at once and drops what is unsent. On loopback the bytes
  // written just before (a link's route-off) still arrive ahead of the reset; over a real
  // network they may not.
  struct linger reset = {1, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) != 0) return aErrIO;
  if (ioctl(fd, FIONBIO, &on) != 0) return aErrIO;
  return aErrNone;
}

// Ends the reader's wait, or its next one (sSocketStreamWait).
void sWakeReader(aSocketState* s) {
  if (s->wakeFd < 0) return;
  uint64_t one = 1;
  (void)!write(s->wakeFd, &one, sizeof one);
}

// Makes the connection anew. The caller holds the lock, or is the state's only user.
aErr sSocketStreamReset(aSocketState* s) {
  if (!aVALIDSS(s)) return aErrInitialization;
  bool again = s->generation > 0;  // not the stream's first connection
  if (s->socket >= 0) sSocketStreamClose(s);
  s->peerClosed = false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  s->socket = fd;
  aErr err = sSocketStreamConnect(s);
  if (err == aErrNone) err = sSocketStreamSetOptions(s);
  // Nothing half made stays open: the state is then plainly not connected.
  if (err != aErrNone && s->socket >= 0) sSocketStreamClose(s);
  if (err == aErrNone) s->generation++;
  // A reader that waits on the descriptor closed here would wait on it until its wait ran out;
  // the wake is kept until a wait takes it, so one that starts later ends at once as well.
  if (again) sWakeReader(s);
  return err;
}

// The link reader's wait after an empty read: aErrNone once the socket is readable or a wake
// came, else aErrTimeout after `ms`. Once the peer has closed, the socket reads as readable
// for ever while get answers aErrNotReady, so the wait then watches only for a wake instead
// of spinning.
aErr sSocketStreamWait(uint32_t ms, void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->receivedNext < s->receivedCount) return aErrNone;
  // The descriptor is read without the lock: should the writer replace it meanwhile, this
  // poll only ends early or late, and the next get looks at the new one.
  int fd = s->socket;
  bool watchSocket = !s->peerClosed && fd >= 0;
  struct pollfd p[2];
  nfds_t n = 0;
  if (watchSocket) p[n++] = {fd, POLLIN, 0};
  int wakeAt = -1;
  if (s->wakeFd >= 0) {
    wakeAt = static_cast<int>(n);
    p[n++] = {s->wakeFd, POLLIN, 0};
  }
  if (n == 0) {
    aTime_MSSleep(ms);
    return aErrTimeout;
  }
  if (poll(p, n, static_cast<int>(ms)) <= 0) return aErrTimeout;
  if (wakeAt >= 0 && p[wakeAt].revents != 0) {
    uint64_t count;
    (void)!read(s->wakeFd, &count, sizeof count);
    return aErrNone;
  }
  return watchSocket ? aErrNone : aErrTimeout;
}

void sSocketStreamWake(void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (aVALIDSS(s)) sWakeReader(s);
}

// A connection the peer reset or that the stack gave up on.
bool sLost(int err) { return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT; }

// Fills the receive buffer with what the socket has: aErrNone with at least one byte, else
// the get's answer. The caller holds the lock.
aErr sReceive(aSocketState* s) {
  ssize_t n = recv(s->socket, s->received, sizeof(s->received), 0);
  if (n < 0) {
    int err = errno;
    if (sWouldBlock(err)) return aErrNotReady;
    if (!sLost(err)) return aErrConnection;
    s->flags &= ~kFlagConnected;
    aErr made = sSocketStreamReset(s);
    if (made != aErrNone) return made;
    s->receivedGeneration = s->generation;
    n = recv(s->socket, s->received, sizeof(s->received), 0);
    if (n < 0) return sWouldBlock(errno) ? aErrNotReady : aErrConnection;
  }
  if (n == 0) {
    // The peer has closed its side; the link stays as it is until it is reset.
    s->peerClosed = true;
    return aErrNotReady;
  }
  s->receivedCount = static_cast<size_t>(n);
  s->receivedNext = 0;
  return aErrNone;
}

// One byte, never waiting (except while a lost connection is made again, at most the
// connect bound).
aErr sSocketStreamGet(uint8_t* byte, void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (!aVALIDSS(s)) return aErrParam;
  if (s->receivedNext == s->receivedCount || s->receivedGeneration != s->generation ||
      !sConnected(s)) {
    Hold hold(s->lock);
    if (!sConnected(s)) return aErrConnection;
    // Bytes of a connection that is gone are dropped with it, as the socket's own were.
    if (s->receivedGeneration != s->generation) {
      s->receivedCount = s->receivedNext = 0;
      s->receivedGeneration = s->generation;
    }
    if (s->receivedNext == s->receivedCount) {
      aErr err = sReceive(s);
      if (err != aErrNone) return err;
    }
  }
  *byte = s->received[s->receivedNext++];
  return aErrNone;
}

bool sBroken(int err) { return err == EPIPE || err == ECONNRESET || err == ENOTCONN; }

// The whole block, in at most aSOCKET_MAX_SEND_RETRY counted attempts 60 ms apart. Every
// attempt counts: a would-block, a failed send, a new connection; a part sent sets the count
// back to 1, so a slow reader is not cut off. A block always starts again from its first
// byte on a new connection, whichever thread made it (the device would take the tail of a
// packet for a packet start); such restarts are counted apart and never set back, so a peer
// that keeps resetting cannot hold a write for ever.
aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (!aVALIDSS(s)) return aErrParam;
  size_t sent = 0;
  uint32_t tries = 0;
  uint32_t restarts = 0;
  uint64_t blockGeneration = 0;
  bool started = false;
  aErr result = aErrTimeout;
  for (;;) {
    {
      Hold hold(s->lock);
      if (!sConnected(s)) return aErrConnection;
      if (!started) {
        blockGeneration = s->generation;
        started = true;
      } else if (s->generation != blockGeneration) {
        // The reader made a new connection since this block began.
        blockGeneration = s->generation;
        if (sent > 0) ++restarts;
        sent = 0;
      }
      if (restarts >= aSOCKET_MAX_SEND_RETRY) return aErrIO;
      ssize_t n = send(s->socket, data + sent, length - sent, MSG_NOSIGNAL);
      if (n >= 0 && static_cast<size_t>(n) == length - sent) return aErrNone;
      if (n > 0) {
        sent += static_cast<size_t>(n);
        tries = 1;
        result = aErrTimeout;
      } else if (n < 0 && sWouldBlock(errno)) {
        ++tries;
        result = aErrTimeout;
      } else if (n < 0 && sBroken(errno)) {
        s->flags &= ~kFlagConnected;
        // A failed re-establishment leaves the stream unconnected: no later attempt can
        // succeed, so the write ends with its code.
        aErr made = sSocketStreamReset(s);
        if (made != aErrNone) return made;
        blockGeneration = s->generation;
        sent = 0;
        ++tries;
        ++restarts;
        result = aErrIO;
      } else {
        ++tries;
        result = aErrIO;
      }
    }
    if (tries >= aSOCKET_MAX_SEND_RETRY || restarts >= aSOCKET_MAX_SEND_RETRY) return result;
    aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
  }
}

aErr sSocketStreamPut(const uint8_t* byte, void* ref) { return sSocketStreamWrite(byte, 1, ref); }

void sFreeState(aSocketState* s) {
  s->flags = 0;
  s->check = 0;
  aMutex_Destroy(&s->lock);
  if (s->wakeFd >= 0) close(s->wakeFd);
  delete s;
}

aErr sSocketStreamDelete(void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (!aVALIDSS(s)) return aErrIO;
  if (s->socket >= 0) sSocketStreamClose(s);
  sFreeState(s);
  return aErrNone;
}

}  // namespace

aErr sSocketStreamAcceptDelete(void* ref) {
  aSocketState* s = static_cast<aSocketState*>(ref);
  if (!aVALIDSS(s)) return aErrIO;
  sFreeState(s);
  return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  aSocketState* s = new (std::nothrow) aSocketState{};
  if (s == nullptr) return aErrResource;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  s->socket = -1;
  s->check = kSocketCheck;
  s->lock = aMutex_Create("aStreamsocket");
  s->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->lock == nullptr || sSocketStreamReset(s) != aErrNone) {
    sSocketStreamDelete(s);
    return aErrResource;
  }
  aStream* made = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                 sSocketStreamDelete, s);
  if (made == nullptr) {
    sSocketStreamDelete(s);
    return aErrResource;
  }
  aStream_SetWait(made, sSocketStreamWait);
  if (s->wakeFd >= 0) aStream_SetWake(made, sSocketStreamWake);
  *stream = made;
  return aErrNone;
}
