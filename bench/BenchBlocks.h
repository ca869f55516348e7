#pragma once
#include <cstddef>
#include <functional>
#include <vector>

// A figure and its baseline measured in the same run, in alternating blocks, so that a change
// of the machine's load meets both: `block` timed calls of one, then of the other, until each
// has `each`. Every call returns its own time (µs); a negative time ends the run early.
// False when a call failed.
inline bool AlternateBlocks(size_t block, size_t each, const std::function<double()>& figureOnce,
                            const std::function<double()>& baselineOnce, std::vector<double>* figure,
                            std::vector<double>* baseline) {
  figure->clear();
  baseline->clear();
  while (figure->size() < each) {
    for (size_t i = 0; i < block && baseline->size() < each; ++i) {
      double us = baselineOnce();
      if (us < 0) return false;
      baseline->push_back(us);
    }
    for (size_t i = 0; i < block && figure->size() < each; ++i) {
      double us = figureOnce();
      if (us < 0) return false;
      figure->push_back(us);
    }
  }
  return true;
}
