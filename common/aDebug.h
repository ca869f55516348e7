#pragma once
#include <cstdint>

// The library's debug trace to standard output: off unless a program switches it on.
// aCorvantisDebuggingLevel selects topics by bit.
extern bool aCorvantisDebuggingEnable;
extern uint32_t aCorvantisDebuggingLevel;
