#include "unix_mutex.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// How each operation reads the error numbers it can meet; the rest is aErrUnknown.
struct ErrnoRow {
  int err;
  aErr byOperation[4];  // indexed by aMutexOperation
};

constexpr aErr kOther = aErrUnknown;

const ErrnoRow kErrnoTable[] = {
    {0, {aErrNone, aErrNone, aErrNone, aErrNone}},
    {EINVAL, {aErrParam, aErrParam, aErrParam, aErrParam}},
    {EDEADLK, {aErrDuplicate, kOther, kOther, kOther}},
    {EBUSY, {kOther, aErrBusy, kOther, aErrBusy}},
    {EPERM, {kOther, kOther, aErrPermission, kOther}},
    {EAGAIN, {kOther, kOther, kOther, aErrResource}},
};

}  // namespace

aErr aMutex_TranslateErrno(aMutexOperation op, int err) {
  if (op < aMutexOpLock || op > aMutexOpDestroy) return aErrUnknown;
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.err == err) return row.byOperation[op];
  }
  return aErrUnknown;
}

aMutex* aMutex_Create(const char* name) {
  if (name == nullptr) name = "";
  size_t length = strnlen(name, sizeof(aMutex::name));
  if (length >= sizeof(aMutex::name)) return nullptr;

  aMutex* mutex = new (std::nothrow) aMutex;
  if (mutex == nullptr) return nullptr;
  memcpy(mutex->name, name, length + 1);
  if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
    delete mutex;
    return nullptr;
  }
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : ""; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return aMutex_TranslateErrno(aMutexOpLock, pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return aMutex_TranslateErrno(aMutexOpTryLock, pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  return aMutex_TranslateErrno(aMutexOpUnlock, pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) return aErrParam;
  aErr err = aMutex_TranslateErrno(aMutexOpDestroy, pthread_mutex_destroy(&(*mutex)->mutex));
  delete *mutex;
  *mutex = nullptr;
  return err;
}
