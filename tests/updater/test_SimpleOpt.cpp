#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimpleOpt.h"

namespace {

using Parser = CSimpleOptTempl<char>;

const Parser::SOption kTable[] = {
    {1, "-a", ARG_NONE},        {2, "-b", ARG_SEPARATE},  {3, "-c", ARG_COMBINED}, {4, "-d", ARG_OPTIONAL},
    {5, "-m", ARG_MULTI},       {6, "--alpha", ARG_NONE}, {7, "--alps", ARG_SEPARATE},
    {8, "--beta", ARG_NONE},    {9, "word", ARG_NONE},    {10, "-Long", ARG_NONE}, {-1, nullptr, ARG_NONE},
};

struct Parsed {
  std::string options;  // "id:text=arg" or "E<code>:text", blank-separated
  std::string order;    // the vector afterwards, "|"-separated
};

// Runs the parser over "prog" and `args`; an option of kind 4 takes two arguments.
Parsed Parse(int flags, const std::vector<std::string>& args) {
  std::vector<std::string> store = {"prog"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  Parser parser(static_cast<int>(store.size()), argv.data(), kTable, flags);
  Parsed out;
  while (parser.Next()) {
    if (!out.options.empty()) out.options += " ";
    if (parser.LastError() != 0) {
      out.options += "E" + std::to_string(parser.LastError()) + ":" + parser.OptionText();
      continue;
    }
    out.options += std::to_string(parser.OptionId()) + ":" + parser.OptionText();
    if (parser.OptionArg()) out.options += std::string("=") + parser.OptionArg();
    if (parser.OptionId() == 5) {
      char** multi = parser.MultiArg(2);
      out.options += multi ? "[" + std::string(multi[0]) + "," + multi[1] + "]" : "!" + std::to_string(parser.LastError());
    }
  }
  for (size_t i = 0; i + 1 < argv.size(); ++i) out.order += (i ? "|" : "") + std::string(argv[i]);
  return out;
}

}  // namespace

TEST(SimpleOpt, Table) {
  struct Row {
    const char* name;
    int flags;
    std::vector<std::string> args;
    const char* options;
    const char* order;  // nullptr: not checked
  };
  const Row rows[] = {
      {"options first, ordinary arguments last in their order", 0, {"x", "-a", "y", "-b", "v", "z"},
       "1:-a 2:-b=v", "prog|-a|-b|v|x|y|z"},
      {"argument after an equals sign, cut there", 0, {"-b=v"}, "2:-b=v", "prog|-b"},
      {"argument to a kind 0 option", 0, {"-a=1"}, "E-3:-a", nullptr},
      {"missing argument", 0, {"-b"}, "E-5:-b", nullptr},
      {"argument beginning with a dash is the next option", 0, {"-b", "-a"}, "E-6:-b 1:-a", nullptr},
      {"combined needs its argument in the entry", 0, {"-c", "-c=v"}, "E-5:-c 3:-c=v", nullptr},
      {"optional argument", 0, {"-d", "-d=v", "x"}, "4:-d 4:-d=v", "prog|-d|-d|x"},
      {"ambiguous abbreviation", 0, {"--al", "--alp"}, "E-2:--al E-2:--alp", nullptr},
      {"unique abbreviation reads as the full text", 0, {"--alph", "--b", "wor"}, "6:--alpha 8:--beta 9:word",
       nullptr},
      {"unknown options and other dash counts", 0, {"-z", "---beta", "-ab"}, "E-1:-z E-1:---beta E-1:-ab", nullptr},
      {"case matters by default", 0, {"-A", "WORD"}, "E-1:-A", "prog|-A|WORD"},
      {"multiple arguments", 0, {"-m", "p", "q", "r"}, "5:-m[p,q]", "prog|-m|p|q|r"},
      {"multiple arguments missing", 0, {"-m", "p"}, "5:-m!-5", nullptr},
      {"odd entries", 0, {"-", "--", "-=", "=", ""}, "E-1:- E-1:-- E-1:-=", "prog|-|--|-=|=|"},
      {"exact", OPT_FLAG_EXACT, {"--alph", "--alpha"}, "E-1:--alph 6:--alpha", nullptr},
      {"pedantic", OPT_FLAG_PEDANTIC, {"-b=v", "-b", "w"}, "E-4:-b 2:-b=w", nullptr},
      {"short arguments", OPT_FLAG_SHORTARG, {"-cvalue", "-dx", "-bvalue"}, "3:-c=value 4:-d=x E-1:-bvalue",
       nullptr},
      {"clumps", OPT_FLAG_CLUMP, {"-aa", "-acv", "-az", "-ab"}, "1:-a 1:-a 1:-a 3:-c=v 1:-a E-1:-z 1:-a E-5:-b",
       nullptr},
      {"clump letters that fail pass over without errors", OPT_FLAG_CLUMP | OPT_FLAG_NOERR, {"-za", "-zz", "-a"},
       "1:-a 1:-a", nullptr},
      {"no errors: unknown dash entries are ordinary and may be arguments", OPT_FLAG_NOERR, {"-z", "-b", "-x"},
       "2:-b=-x", "prog|-b|-x|-z"},
      {"argv[0] takes part", OPT_FLAG_USEALL, {"-a"}, "1:-a", "-a|prog"},
      {"case-blind one-letter options", OPT_FLAG_ICASE_SHORT, {"-A", "-long"}, "1:-a E-1:-long", nullptr},
      {"case-blind long options", OPT_FLAG_ICASE_LONG, {"--ALPHA", "-long", "-A"}, "6:--alpha 10:-Long E-1:-A",
       nullptr},
      {"case-blind words", OPT_FLAG_ICASE_WORD, {"WORD"}, "9:word", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Parsed p = Parse(r.flags, r.args);
    EXPECT_EQ(p.options, r.options);
    if (r.order) {
      EXPECT_EQ(p.order, r.order);
    }
  }
}

TEST(SimpleOpt, LongVectorKeepsEveryEntry) {
  std::vector<std::string> args;
  std::string options, order = "prog";
  for (int i = 0; i < 150; ++i) {
    args.push_back("w" + std::to_string(i));
    args.push_back("-b");
    args.push_back(std::to_string(i));
    options += (i ? " " : "") + std::string("2:-b=") + std::to_string(i);
    order += "|-b|" + std::to_string(i);
  }
  for (int i = 0; i < 150; ++i) order += "|w" + std::to_string(i);
  Parsed p = Parse(0, args);
  EXPECT_EQ(p.options, options);
  EXPECT_EQ(p.order, order);
}

TEST(SimpleOpt, EmptyVector) {
  Parser none(0, nullptr, kTable, 0);
  EXPECT_FALSE(none.Next());
  char prog[] = "prog";
  char* argv[] = {prog, nullptr};
  Parser justProgram(1, argv, kTable, 0);
  EXPECT_FALSE(justProgram.Next());
  EXPECT_FALSE(justProgram.Next());  // stays finished
}
