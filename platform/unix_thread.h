#pragma once
#include <pthread.h>

// The procedure a thread runs: a POSIX start routine; nobody reads its result.
typedef void* (*aThreadProc)(void* arg);

// One joinable thread.
struct aThread {
  pthread_t id;
};

// Starts a joinable thread that runs proc(arg); NULL when it cannot be started (nothing
// stays allocated then) or proc is NULL.
aThread* aThread_Create(aThreadProc proc, void* arg);
// Joins the thread, frees the record and clears the handle. The result is the join's error
// number (0 when joined), not an aErr; a NULL address or handle gives aErrParam. A thread
// must not destroy itself.
int aThread_Destroy(aThread** thread);
// Pauses the caller for 5 microseconds.
void aThread_Yield();
// A spinning thread's hint to the processor, once per look: it leaves the core's other hardware
// thread its share and eases the spin's exit.
inline void aThread_CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}
