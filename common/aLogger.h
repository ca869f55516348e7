#pragma once
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "aError.h"
#include "unix_file.h"
#include "unix_thread.h"

// A logger: a thread that calls a drain procedure back to back with an open append-mode file
// until it is disabled. The drain procedure paces itself. Enable, Disable and Destroy belong
// to the thread that owns the logger; the drain procedure may call Disable (which then
// changes nothing) but Destroy refuses it.

// Called with the logger's file (an aFile*) and its ref.
typedef void (*aLoggerProc)(void* file, uint32_t ref);

#define aLOGGER_CHECK 0xDEED

struct aLogger {
  uint32_t ref;
  aLoggerProc proc;
  aFile* file;  // owned; NULL once closed
  pthread_t thread;  // the logger thread while it runs, else the thread that made or stopped it
  std::atomic<uint8_t> enabled;
  uint16_t check;
  aThread* worker;  // the running logger thread, to join
};

inline bool aVALIDLOGGER(const aLogger* logger) {
  return logger != nullptr && logger->check == aLOGGER_CHECK;
}

// A stopped logger writing to path (opened for appending, unbuffered), or NULL when the
// record or the file cannot be had.
aLogger* aLogger_Create(uint32_t ref, aLoggerProc proc, const char* path);
// Starts the thread. aErrParam for an invalid logger, aErrNone when it runs already,
// aErrResource when the thread cannot be made.
aErr aLogger_Enable(aLogger* logger);
// Stops and joins the thread. aErrParam for an invalid logger; aErrNone when stopped, and on
// the logger thread itself (nothing changes); aErrUnknown when the join fails.
aErr aLogger_Disable(aLogger* logger);
// Stops the logger, closes its file and frees it, clearing the handle. aErrNone for a NULL
// or invalid logger. When the thread is not stopped nothing is closed or freed: aErrBusy on
// the logger thread, the disable's error otherwise.
aErr aLogger_Destroy(aLogger** logger);
