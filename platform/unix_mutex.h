#pragma once
#include <pthread.h>

#include "aError.h"

// A named, non-recursive mutex: a thread that locks it twice blocks itself.
struct aMutex {
  pthread_mutex_t mutex;
  char name[256];  // diagnostics only; at most 255 characters
};

// A new unlocked mutex, or NULL. A NULL name gives ""; a name of 256 characters or more
// gives NULL.
aMutex* aMutex_Create(const char* name);
// The mutex's name, owned by the mutex; "" for a NULL mutex.
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Lock(aMutex* mutex);
// Never blocks: aErrBusy when another holder has it.
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
// Destroys and frees the mutex and clears the handle, even when the destruction reports an
// error: the caller must not destroy a mutex that a thread holds or waits for.
aErr aMutex_Destroy(aMutex** mutex);

// The operations whose POSIX error numbers are translated.
enum aMutexOperation { aMutexOpLock, aMutexOpTryLock, aMutexOpUnlock, aMutexOpDestroy };

// The aErr for the error number `err` (0 for success) that `op`'s POSIX call returned.
aErr aMutex_TranslateErrno(aMutexOperation op, int err);
