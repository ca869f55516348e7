#pragma once
#include <cstdint>

#include "aError.h"

// Wall-clock milliseconds since the Unix epoch (gettimeofday): follows changes of the system
// clock, so never use it for deadlines. Never the all-ones value; 0 when the clock cannot be
// read.
uint64_t aTime_GetMSTicks();

// Milliseconds of a clock that only moves forward (CLOCK_MONOTONIC), for every deadline and
// elapsed time.
uint64_t aTime_GetMonotonicMS();

// Sleeps `ms` milliseconds in usleep slices; a signal may end a slice early. Always aErrNone.
aErr aTime_MSSleep(uint64_t ms);

// The sleep of aTime_MSSleep.
void osMSSleep(uint64_t ms);

// Calls slice(us, ref) once per usleep slice of an `ms` millisecond sleep, largest first:
// slices of at most 999999 microseconds (usleep refuses a full second), none for 0 ms.
typedef void (*osSleepSliceProc)(uint32_t us, void* ref);
void osSleepSlices(uint64_t ms, osSleepSliceProc slice, void* ref);
