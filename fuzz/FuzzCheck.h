#pragma once
#include <cstdio>
#include <cstdlib>

// A property that must hold for every input: report it and abort, so libFuzzer keeps the input.
#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);  \
      abort();                                                         \
    }                                                                  \
  } while (0)
