#include "aLogger.h"

#include <new>

namespace {

// The logger whose thread this is, so that its own calls are recognised without reading a
// field that the owner writes.
thread_local const aLogger* sOwnLogger = nullptr;

void* sLoggerProcess(void* arg) {
  aLogger* logger = static_cast<aLogger*>(arg);
  if (!aVALIDLOGGER(logger)) return nullptr;
  sOwnLogger = logger;
  while (logger->enabled.load() == 1) logger->proc(logger->file, logger->ref);
  sOwnLogger = nullptr;
  return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t ref, aLoggerProc proc, const char* path) {
  aLogger* logger = new (std::nothrow) aLogger{};
  if (logger == nullptr) return nullptr;
  logger->file = aFile_Open(path, aFILE_MODE_APPEND);
  if (logger->file == nullptr || aFile_SetUnbuffered(logger->file) != aErrNone) {
    if (logger->file != nullptr) aFile_Close(&logger->file);
    delete logger;
    return nullptr;
  }
  logger->ref = ref;
  logger->proc = proc;
  logger->thread = pthread_self();
  logger->check = aLOGGER_CHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger) || logger->proc == nullptr) return aErrParam;
  if (logger->enabled.load() == 1) return aErrNone;
  logger->enabled = 1;
  logger->worker = aThread_Create(sLoggerProcess, logger);
  if (logger->worker == nullptr) {
    logger->enabled = 0;
    logger->thread = pthread_self();
    return aErrResource;
  }
  logger->thread = logger->worker->id;
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (logger->enabled.load() == 0) return aErrNone;
  if (sOwnLogger == logger) return aErrNone;
  logger->enabled = 0;
  int joined = aThread_Destroy(&logger->worker);
  logger->thread = pthread_self();
  return joined == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !aVALIDLOGGER(*logger)) return aErrNone;
  aLogger* doomed = *logger;
  if (sOwnLogger == doomed) return aErrBusy;
  aErr err = aLogger_Disable(doomed);
  if (err != aErrNone) return err;
  aFile_Close(&doomed->file);
  doomed->check = 0;
  delete doomed;
  *logger = nullptr;
  return aErrNone;
}
