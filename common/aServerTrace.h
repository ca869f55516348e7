#pragma once
// The link server's debug trace: standard output, flushed after each line, only with the
// library's debug switch and the server's topic bit (0x4) or the announced-record bit (0x200).
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "aDebug.h"

constexpr uint32_t kServerTrace = 0x4;
constexpr uint32_t kServerSpecTrace = 0x200;

__attribute__((format(printf, 2, 3))) inline void aServer_TraceTopic(uint32_t topic, const char* format, ...) {
  if (!aCorvantisDebuggingEnable || (aCorvantisDebuggingLevel & topic) == 0) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

#define aServer_Trace(...) aServer_TraceTopic(kServerTrace, __VA_ARGS__)
