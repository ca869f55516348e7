// The option parser and the option reader over arbitrary argument vectors: the input split at
// NUL bytes into at most 200 entries; the first byte picks the parser's flags.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Options.h"
#include "Parameters.h"
#include "SimpleOpt.h"

namespace {

using Parser = CSimpleOptTempl<char>;

volatile size_t gLengths = 0;

// Every argument kind, with one-letter, long and dash-less texts.
const Parser::SOption kTable[] = {
    {0, "-a", ARG_NONE},       {1, "-b", ARG_SEPARATE},  {2, "-c", ARG_COMBINED}, {3, "-d", ARG_OPTIONAL},
    {4, "-e", ARG_MULTI},      {5, "--long", ARG_SEPARATE}, {6, "--longer", ARG_NONE}, {7, "--lo", ARG_COMBINED},
    {8, "word", ARG_OPTIONAL}, {9, "-Mixed", ARG_NONE},  {-1, nullptr, ARG_NONE},
};

int FlagsFrom(uint8_t b) {
  static const int bits[] = {OPT_FLAG_EXACT,  OPT_FLAG_SHORTARG, OPT_FLAG_CLUMP,       OPT_FLAG_USEALL,
                             OPT_FLAG_NOERR,  OPT_FLAG_PEDANTIC, OPT_FLAG_ICASE_SHORT,
                             OPT_FLAG_ICASE_LONG | OPT_FLAG_ICASE_WORD};
  int flags = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1 << i)) flags |= bits[i];
  return flags;
}

// Fresh writable copies of the entries, since the parser writes into them.
struct Vector {
  std::vector<std::string> store;
  std::vector<char*> argv;
  explicit Vector(const std::vector<std::string>& entries) : store(entries) {
    for (auto& s : store) argv.push_back(s.data());
    argv.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store.size()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> entries;
  std::string current;
  for (size_t i = 1; i < size && entries.size() < 200; ++i) {
    if (data[i] == 0) {
      entries.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (entries.size() < 200 && (!current.empty() || size > 1)) entries.push_back(current);

  {
    Vector v(entries);
    std::vector<char*> before(v.argv.begin(), v.argv.end() - 1);
    Parser parser(v.argc(), v.argv.data(), kTable, FlagsFrom(data[0]));
    // At most one option per entry, or per letter of a clumped entry: the walk must end.
    size_t limit = entries.size() + 8;
    for (const auto& e : entries) limit += e.size();
    size_t steps = 0;
    while (parser.Next()) {
      if (++steps > limit) abort();
      const char* text = parser.OptionText();
      if (text == nullptr) abort();
      // Touch every text handed out, so a bad pointer shows under the sanitizers.
      size_t length = strlen(text);
      if (parser.OptionArg()) length += strlen(parser.OptionArg());
      if (parser.OptionId() == 4 && parser.LastError() == 0) {
        char** more = parser.MultiArg(2);
        if (more) length += strlen(more[0]) + strlen(more[1]);
      }
      gLengths = gLengths + length;
    }
    // Reordering keeps every entry exactly once.
    std::vector<char*> after(v.argv.begin(), v.argv.end() - 1);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (before != after) abort();
  }

  static FILE* devnull = fopen("/dev/null", "w");
  static CLI_Display display(devnull, devnull, false);
  Log::SetOutput(devnull);
  Log::DeactivatePackage(~0u);
  Vector v(entries);
  Parameters params;
  _get_params(display, v.argc(), v.argv.data(), &params);
  return 0;
}
