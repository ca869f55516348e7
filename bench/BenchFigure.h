#pragma once
#include <cstdio>

// Prints one figure in the form scripts read:
//   bench NAME: VALUE UNIT; baseline BASE: VALUE UNIT; ratio R
inline void PrintFigure(const char* name, double value, const char* unit, const char* baseName, double baseValue) {
  double ratio = baseValue != 0.0 ? value / baseValue : 0.0;
  printf("bench %s: %.4g %s; baseline %s: %.4g %s; ratio %.4g\n", name, value, unit, baseName, baseValue, unit, ratio);
  fflush(stdout);
}
