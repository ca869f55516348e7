// Cost of a log call whose topic is off (the workflows log per packet) against an empty call
// with the same arguments: the mask must be tested before any formatting.
#include <chrono>
#include <cstdio>

#include "BenchFigure.h"
#include "Log.h"

namespace {

// The baseline: a call that does nothing but cannot be dropped by the compiler.
__attribute__((noinline)) void EmptyCall(unsigned, const char*, ...) { asm volatile("" ::: "memory"); }

template <class F>
double NanosPerCall(F call, long calls) {
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < calls; ++i) call(i);
  auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(calls);
}

}  // namespace

int main() {
  FILE* sink = fopen("/dev/null", "w");
  Log::SetOutput(sink);
  Log::DeactivatePackage(~0u);
  Log::ActivatePackage(DEBUG_APP);  // some topic on, but not the one logged
  const long calls = 20000000;
  const char* format = "packet %d from %08X: %s\n";
  // Best of three rounds each, interleaved, to keep noise of a shared machine out.
  double logged = 1e30, empty = 1e30;
  for (int round = 0; round < 3; ++round) {
    double l = NanosPerCall([&](long i) { Log::log(DEBUG_Network, format, static_cast<int>(i), 0x40F5849Au, "x"); },
                            calls);
    double e = NanosPerCall([&](long i) { EmptyCall(DEBUG_Network, format, static_cast<int>(i), 0x40F5849Au, "x"); },
                            calls);
    if (l < logged) logged = l;
    if (e < empty) empty = e;
  }
  PrintFigure("log_topic_off", logged, "ns/call", "empty_call", empty);
  fclose(sink);
  return 0;
}
