#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned mask, const char* format, ...) {
  // The mask is tested before any formatting: most calls are for topics that are off.
  if (mask != 0 && (mask & package_bitmask) == 0) return;
  if (fh == nullptr) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof(buffer) ? static_cast<size_t>(n) : sizeof(buffer) - 1;
  // One write per line, so lines from two threads never interleave.
  fwrite(buffer, 1, len, fh);
  fflush(fh);
}

void Log::SetOutput(FILE* out) { fh = out; }

void Log::ActivatePackage(unsigned mask) { package_bitmask |= mask; }

void Log::DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
