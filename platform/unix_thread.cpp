#include "unix_thread.h"

#include <time.h>

#include <new>

#include "aError.h"

aThread* aThread_Create(aThreadProc proc, void* arg) {
  if (proc == nullptr) return nullptr;
  aThread* thread = new (std::nothrow) aThread;
  if (thread == nullptr) return nullptr;
  if (pthread_create(&thread->id, nullptr, proc, arg) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) return aErrParam;
  int err = pthread_join((*thread)->id, nullptr);
  delete *thread;
  *thread = nullptr;
  return err;
}

void aThread_Yield() {
  struct timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
}
