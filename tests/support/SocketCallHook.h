#pragma once
// Counting wrappers around send, recv and connect, so that a test sees a socket kind's calls
// one by one. Include this header in exactly one source file of a test program: it defines
// send, recv and connect for the whole program, in front of the C library's. Calls pass through unchanged
// unless a hook is armed.
#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

// Counts the send calls made on the arming thread and can make the next ones fail.
struct SendHook {
  int calls = 0;
  int failLeft = 0;  // this many calls fail with failErrno, sending nothing
  int failErrno = 0;
};

namespace socket_call_hook {
inline thread_local SendHook* armed = nullptr;
inline std::atomic<uint64_t> receives{0};
inline std::atomic<uint64_t> sendsBlocked{0};
inline std::atomic<uint64_t> connects{0};

template <typename Proc>
Proc Next(const char* name) {
  return reinterpret_cast<Proc>(dlsym(RTLD_NEXT, name));
}
}  // namespace socket_call_hook

// Arms a hook for the calling thread while it lives.
class ArmSendHook {
 public:
  explicit ArmSendHook(SendHook* hook) { socket_call_hook::armed = hook; }
  ~ArmSendHook() { socket_call_hook::armed = nullptr; }
  ArmSendHook(const ArmSendHook&) = delete;
  ArmSendHook& operator=(const ArmSendHook&) = delete;
};

// recv calls made by any thread of the process so far.
inline uint64_t RecvCount() { return socket_call_hook::receives.load(); }

// connect calls made by any thread of the process so far: a count of tries instead of a clock.
inline uint64_t ConnectCount() { return socket_call_hook::connects.load(); }

// send calls of any thread so far that found the socket's buffers full (EAGAIN): a writer
// that meets one is waiting for room, and retries.
inline uint64_t BlockedSendCount() { return socket_call_hook::sendsBlocked.load(); }

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags) {
  using Real = ssize_t (*)(int, const void*, size_t, int);
  static Real real = socket_call_hook::Next<Real>("send");
  if (SendHook* hook = socket_call_hook::armed) {
    ++hook->calls;
    if (hook->failLeft > 0) {
      --hook->failLeft;
      errno = hook->failErrno;
      return -1;
    }
  }
  ssize_t sent = real(fd, data, length, flags);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ++socket_call_hook::sendsBlocked;
  return sent;
}

extern "C" ssize_t recv(int fd, void* data, size_t length, int flags) {
  using Real = ssize_t (*)(int, void*, size_t, int);
  static Real real = socket_call_hook::Next<Real>("recv");
  ++socket_call_hook::receives;
  return real(fd, data, length, flags);
}

extern "C" int connect(int fd, const struct sockaddr* address, socklen_t length) {
  using Real = int (*)(int, const struct sockaddr*, socklen_t);
  static Real real = socket_call_hook::Next<Real>("connect");
  ++socket_call_hook::connects;
  return real(fd, address, length);
}
