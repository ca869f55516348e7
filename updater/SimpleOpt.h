#pragma once
#include <climits>
#include <new>
#include <vector>

// Argument kinds of an option table row.
enum {
  ARG_NONE = 0,      // no argument; "=text" after the option is an error
  ARG_SEPARATE = 1,  // "=text" in the same entry, else the next entry
  ARG_COMBINED = 2,  // "=text" in the same entry (or -xtext with OPT_FLAG_SHORTARG)
  ARG_OPTIONAL = 3,  // may carry "=text" in the same entry
  ARG_MULTI = 4,     // the caller takes its arguments with MultiArg
};

// Parser flags; the updater uses none of them.
enum {
  OPT_FLAG_EXACT = 0x1,         // no abbreviations
  OPT_FLAG_SHORTARG = 0x4,      // -xvalue gives a one-letter option of kind 2 or 3 its argument
  OPT_FLAG_CLUMP = 0x8,         // -abc reads as -a -b -c
  OPT_FLAG_USEALL = 0x10,       // argv[0] takes part
  OPT_FLAG_NOERR = 0x20,        // unknown "-x" entries are ordinary; arguments may begin with "-"
  OPT_FLAG_PEDANTIC = 0x40,     // "=text" after an option of kind 1 is an error
  OPT_FLAG_ICASE_SHORT = 0x100, // case-blind one-dash one-letter options
  OPT_FLAG_ICASE_LONG = 0x200,  // case-blind longer and two-dash options
  OPT_FLAG_ICASE_WORD = 0x400,  // case-blind options without a dash
};

// Errors reported by LastError.
enum {
  OPT_ERR_INVALID = -1,         // "-" entry that matches no row
  OPT_ERR_AMBIGUOUS = -2,       // abbreviation of more than one row
  OPT_ERR_ARG_UNEXPECTED = -3,  // "=text" after an option of kind 0
  OPT_ERR_ARG_FORM = -4,        // "=text" after an option of kind 1, pedantic
  OPT_ERR_ARG_MISSING = -5,     // no argument left
  OPT_ERR_ARG_INVALID = -6,     // the would-be argument begins with "-"
};

// Walks an argument vector against an option table. It reorders the vector's entries
// (options first, ordinary arguments last, in their order) and writes a terminator over
// the "=" of matched options; it never reads beyond the given count.
template <class SOCHAR>
class CSimpleOptTempl {
 public:
  struct SOption {
    int id;            // the application's id of the option
    const SOCHAR* text;  // as typed, dashes included; null ends the table (with id -1)
    int argType;       // ARG_*
  };

  CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* table, int flags = 0) {
    Init(argc, argv, table, flags);
  }

  bool Init(int argc, SOCHAR** argv, const SOption* table, int flags = 0) {
    argCount = (argc > 0 && argv != nullptr) ? argc : 0;
    args = argv;
    this->table = table;
    this->flags = flags;
    activeCount = argCount;
    searchIndex = HasFlag(OPT_FLAG_USEALL) ? 0 : 1;
    currentIndex = 0;
    currentId = -1;
    currentText = nullptr;
    currentArg = nullptr;
    clumpRest = nullptr;
    lastError = 0;
    letterBuffer[0] = letterBuffer[1] = letterBuffer[2] = letterBuffer[3] = 0;
    // Sized to the vector, however long: the set-aside never needs a fixed buffer.
    try {
      reorderBuffer.assign(static_cast<size_t>(argCount), nullptr);
    } catch (const std::bad_alloc&) {
      argCount = activeCount = 0;
      return false;
    }
    return true;
  }

  // Moves to the next option; false when none is left.
  bool Next();

  int LastError() const { return lastError; }
  int OptionId() const { return currentId; }
  // The matched row's text (an abbreviation reads as the full text), else the entry as typed.
  const SOCHAR* OptionText() const { return currentText; }
  SOCHAR* OptionArg() const { return currentArg; }

  // Takes the next `count` entries as arguments of the current option; null (with the error
  // set) when too few are left or, without OPT_FLAG_NOERR, one of them begins with "-".
  SOCHAR** MultiArg(int count);

 private:
  static constexpr int kExact = INT_MAX;

  bool NextClumped();
  bool HasFlag(int flag) const { return (flags & flag) == flag; }
  SOCHAR PrepareArg(const SOCHAR* entry) const { return entry[0]; }
  static SOCHAR* FindEquals(SOCHAR* text) {
    for (; *text; ++text)
      if (*text == '=') return text;
    return nullptr;
  }
  int LookupOption(const SOCHAR* text, bool exactOnly) const;
  int CalcMatch(const SOCHAR* rowText, const SOCHAR* typed, bool exactOnly) const;
  static bool IsEqual(SOCHAR a, SOCHAR b, bool foldCase) {
    if (foldCase) {
      if (a >= 'A' && a <= 'Z') a = static_cast<SOCHAR>(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = static_cast<SOCHAR>(b - 'A' + 'a');
    }
    return a == b;
  }
  void ShuffleArg(int start, int count);
  static void Copy(SOCHAR** dst, SOCHAR* const* src, int count) {
    for (int i = 0; i < count; ++i) dst[i] = src[i];
  }

  const SOption* table = nullptr;
  int flags = 0;
  int currentIndex = 0;
  int currentId = -1;
  int searchIndex = 1;
  int activeCount = 0;
  int argCount = 0;
  SOCHAR** args = nullptr;
  const SOCHAR* currentText = nullptr;
  SOCHAR* currentArg = nullptr;
  SOCHAR* clumpRest = nullptr;
  SOCHAR letterBuffer[4];
  int lastError = 0;
  std::vector<SOCHAR*> reorderBuffer;
};

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::Next() {
  for (;;) {
    // Letters left in a clumped entry come first.
    while (clumpRest != nullptr && *clumpRest) {
      if (NextClumped() || !HasFlag(OPT_FLAG_NOERR)) return true;
    }
    clumpRest = nullptr;

    currentIndex = searchIndex;
    currentId = -1;
    currentText = nullptr;
    currentArg = nullptr;
    lastError = 0;

    int match = OPT_ERR_INVALID;
    bool startedClump = false;
    int i = searchIndex;
    for (; i < activeCount; ++i) {
      SOCHAR* entry = args[i];
      if (entry == nullptr) continue;
      currentText = entry;
      currentArg = nullptr;
      SOCHAR* equals = nullptr;
      if (PrepareArg(entry) == '-') {
        equals = FindEquals(entry);
        if (equals) {
          *equals = 0;
          currentArg = equals + 1;
        }
      }
      match = LookupOption(entry, false);
      bool singleDashWord = entry[0] == '-' && entry[1] != 0 && entry[1] != '-' && entry[2] != 0;
      if (match < 0 && equals == nullptr && singleDashWord) {
        if (HasFlag(OPT_FLAG_SHORTARG)) {
          letterBuffer[0] = '-';
          letterBuffer[1] = entry[1];
          letterBuffer[2] = 0;
          int row = LookupOption(letterBuffer, true);
          if (row >= 0 && (table[row].argType == ARG_COMBINED || table[row].argType == ARG_OPTIONAL)) {
            match = row;
            currentArg = entry + 2;
          }
        }
        if (match < 0 && HasFlag(OPT_FLAG_CLUMP)) {
          clumpRest = entry + 1;
          startedClump = true;
          break;
        }
      }
      if (match >= 0) break;
      if (equals) *equals = '=';  // not an option of the table: leave the entry as it was
      if (entry[0] == '-' && !HasFlag(OPT_FLAG_NOERR)) break;  // an option in error
      currentText = nullptr;
      currentArg = nullptr;
    }

    if (startedClump) {
      int passed = i - currentIndex;
      searchIndex = i + 1;
      ShuffleArg(currentIndex, passed);
      searchIndex -= passed;
      continue;
    }

    if (i >= activeCount) {
      ShuffleArg(currentIndex, activeCount - currentIndex);
      searchIndex = activeCount;
      currentText = nullptr;
      currentArg = nullptr;
      return false;
    }

    searchIndex = i + 1;
    if (match >= 0) {
      currentId = table[match].id;
      currentText = table[match].text;
      int kind = table[match].argType;
      if (kind == ARG_NONE && currentArg != nullptr) {
        lastError = OPT_ERR_ARG_UNEXPECTED;
      } else if (kind == ARG_SEPARATE && currentArg != nullptr && HasFlag(OPT_FLAG_PEDANTIC)) {
        lastError = OPT_ERR_ARG_FORM;
      } else if (kind == ARG_COMBINED && currentArg == nullptr) {
        lastError = OPT_ERR_ARG_MISSING;
      }
    } else {
      lastError = match;
      currentArg = nullptr;
    }

    // The ordinary arguments passed over go to the end; the option moves up to currentIndex.
    int passed = i - currentIndex;
    ShuffleArg(currentIndex, passed);
    searchIndex -= passed;

    if (match >= 0 && lastError == 0 && table[match].argType == ARG_SEPARATE && currentArg == nullptr) {
      SOCHAR** taken = MultiArg(1);
      if (taken) currentArg = taken[0];
    }
    return true;
  }
}

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::NextClumped() {
  letterBuffer[0] = '-';
  letterBuffer[1] = *clumpRest++;
  letterBuffer[2] = 0;
  currentText = letterBuffer;
  currentArg = nullptr;
  currentId = -1;
  lastError = 0;
  int row = LookupOption(letterBuffer, true);
  if (row < 0) {
    lastError = row;
    return false;
  }
  currentText = table[row].text;
  int kind = table[row].argType;
  if (kind == ARG_NONE) {
    currentId = table[row].id;
    return true;
  }
  if (kind == ARG_COMBINED && *clumpRest) {
    currentId = table[row].id;
    currentArg = clumpRest;
    clumpRest = nullptr;
    return true;
  }
  lastError = OPT_ERR_ARG_MISSING;
  return false;
}

template <class SOCHAR>
SOCHAR** CSimpleOptTempl<SOCHAR>::MultiArg(int count) {
  if (count <= 0) return nullptr;
  if (searchIndex < 0 || searchIndex > activeCount || activeCount - searchIndex < count) {
    lastError = OPT_ERR_ARG_MISSING;
    return nullptr;
  }
  if (!HasFlag(OPT_FLAG_NOERR)) {
    for (int n = 0; n < count; ++n) {
      const SOCHAR* entry = args[searchIndex + n];
      if (entry != nullptr && entry[0] == '-') {
        lastError = OPT_ERR_ARG_INVALID;
        return nullptr;
      }
    }
  }
  SOCHAR** taken = &args[searchIndex];
  searchIndex += count;
  return taken;
}

template <class SOCHAR>
int CSimpleOptTempl<SOCHAR>::CalcMatch(const SOCHAR* rowText, const SOCHAR* typed, bool exactOnly) const {
  int rowDashes = 0;
  while (rowText[rowDashes] == '-') ++rowDashes;
  int typedDashes = 0;
  while (typed[typedDashes] == '-') ++typedDashes;
  if (rowDashes != typedDashes) return 0;

  int caseFlag = OPT_FLAG_ICASE_LONG;
  if (rowDashes == 0) {
    caseFlag = OPT_FLAG_ICASE_WORD;
  } else if (rowDashes == 1 && rowText[1] != 0 && rowText[2] == 0) {
    caseFlag = OPT_FLAG_ICASE_SHORT;
  }
  bool fold = !exactOnly && HasFlag(caseFlag);

  const SOCHAR* r = rowText + rowDashes;
  const SOCHAR* t = typed + typedDashes;
  int compared = 0;
  for (; *r && *t; ++r, ++t, ++compared) {
    if (!IsEqual(*r, *t, fold)) return 0;
  }
  if (*r == 0 && *t == 0) return kExact;
  if (*t == 0 && compared > 0) return compared;  // an abbreviation
  return 0;
}

template <class SOCHAR>
int CSimpleOptTempl<SOCHAR>::LookupOption(const SOCHAR* text, bool exactOnly) const {
  if (table == nullptr || text == nullptr) return OPT_ERR_INVALID;
  bool abbreviations = !exactOnly && !HasFlag(OPT_FLAG_EXACT);
  int best = -1;
  int bestLength = 0;
  int bestCount = 0;
  for (int n = 0; table[n].text != nullptr; ++n) {
    int length = CalcMatch(table[n].text, text, exactOnly);
    if (length == kExact) return n;
    if (!abbreviations || length == 0) continue;
    if (length > bestLength) {
      best = n;
      bestLength = length;
      bestCount = 1;
    } else if (length == bestLength) {
      ++bestCount;
    }
  }
  if (best < 0) return OPT_ERR_INVALID;
  return bestCount > 1 ? OPT_ERR_AMBIGUOUS : best;
}

template <class SOCHAR>
void CSimpleOptTempl<SOCHAR>::ShuffleArg(int start, int count) {
  if (count <= 0 || start < 0 || start + count > argCount) return;
  SOCHAR** buffer = reorderBuffer.data();
  Copy(buffer, args + start, count);
  int tail = argCount - start - count;
  Copy(args + start, args + start + count, tail);
  Copy(args + start + tail, buffer, count);
  activeCount -= count;
}
