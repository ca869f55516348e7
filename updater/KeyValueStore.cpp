#include "KeyValueStore.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "unix_file.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

// Lines are read in pieces of this size and joined.
constexpr size_t kReadBufferSize = 2048;
// Longest line kept (line feed not counted): room for a -f path of 4096 characters and
// far more. A longer line is skipped alone.
constexpr size_t kMaxLineLength = 65536;

std::function<time_t()>& sTimeSource() {
  static std::function<time_t()> source;
  return source;
}

bool sIsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// [begin, end) of text with white space removed on both sides; never looks outside it.
std::string sTrim(const std::string& text, size_t begin, size_t end) {
  while (begin < end && sIsSpace(text[begin])) ++begin;
  while (end > begin && sIsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string sFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string sFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

void KeyValueStore::SetTimeSource(std::function<time_t()> source) { sTimeSource() = std::move(source); }

std::string KeyValueStore::TimeStamp() {
  const auto& source = sTimeSource();
  time_t now = source ? source() : time(nullptr);
  struct tm local;
  char text[64];
  // The text of ctime() without its line feed.
  if (localtime_r(&now, &local) == nullptr || strftime(text, sizeof(text), "%a %b %e %H:%M:%S %Y", &local) == 0)
    return "";
  return text;
}

KeyValueStore::KeyValueStore(const char* file) {
  if (file != nullptr) Load(file);
}

KeyValueStore::~KeyValueStore() { values.clear(); }

void KeyValueStore::Load(const char* file) {
  if (file == nullptr) return;
  errno = 0;
  aFile* handle = aFile_Open(file, aFILE_MODE_READ);
  if (handle == nullptr) {
    int error = errno != 0 ? errno : EINVAL;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", file, error);
    // Only a file that is not there may be created; any other failure (a link loop, a
    // folder, too many open files) hides a file whose history must survive.
    if (error == ENOENT) {
      unread = false;
      Add(KEY_CREATED_TIME, TimeStamp());
      Save(file);
    } else {
      unread = true;
    }
    path = file;
    dirty = false;
    return;
  }
  path = file;
  dirty = false;
  unread = false;
  ReadLines(handle);
  aFile_Close(&handle);
}

void KeyValueStore::ReadLines(aFile* handle) {
  char buffer[kReadBufferSize];
  std::string line;
  bool tooLong = false;
  while (true) {
    size_t length = 0;
    aErr err = aFile_ReadLine(handle, buffer, sizeof(buffer), &length);
    if (err != aErrNone && err != aErrOverrun && err != aErrEOF) {
      Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path.c_str(), errno);
      unread = true;
      return;
    }
    if (err == aErrEOF && line.empty() && !tooLong) return;
    if (err != aErrEOF && !tooLong) {
      line.append(buffer, length);
      // Bounded: once the line is known to be too long, the rest is read and dropped.
      if (line.size() > kMaxLineLength + 1) {
        tooLong = true;
        line.clear();
      }
    }
    if (err == aErrOverrun) continue;
    if (!tooLong) {
      size_t text = line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0);
      tooLong = text > kMaxLineLength;
    }
    if (tooLong) {
      Log::log(DEBUG_Attributes, "Attibutes: Error - skipped a line over 65536 characters in '%s'\n", path.c_str());
    } else {
      Store(line);
    }
    line.clear();
    tooLong = false;
    if (err == aErrEOF) return;
  }
}

void KeyValueStore::Store(const std::string& raw) {
  // A NUL byte ends the line's text: values are handed out as C strings.
  std::string line = raw.substr(0, raw.find('\0'));
  if (line.size() < 3 || line[0] == '#') return;
  size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  values[sTrim(line, 0, equals)] = sTrim(line, equals + 1, line.size());
}

void KeyValueStore::Save(const char* file) {
  std::string target = file != nullptr ? file : path;
  if (target.empty()) {
    target = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", target.c_str());
  }
  if (unread && target == path) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - not replacing unread attributes file: '%s'\n", target.c_str());
    return;
  }
  path = target;
  if (dirty) Add(KEY_UPDATED_TIME, TimeStamp());

  std::string text;
  for (const auto& [key, value] : values) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  if (aFile_ReplaceAtomically(path.c_str(), bytes, text.size()) != aErrNone) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             path.c_str(), errno);
    return;
  }
  dirty = false;
  unread = false;
}

const std::string& KeyValueStore::Lookup(const char* key) { return values[key != nullptr ? key : ""]; }

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const std::string& value = Lookup(key);
  if (value.empty()) return defaultValue;
  long n = strtol(value.c_str(), nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const std::string& value = Lookup(key);
  if (value.empty()) return defaultValue;
  long long n = strtoll(value.c_str(), nullptr, 16);
  if (n > static_cast<long long>(UINT32_MAX)) return UINT32_MAX;
  if (n < INT32_MIN) n = INT32_MIN;
  // Negative values keep their 32-bit pattern ("-1" is 0xFFFFFFFF).
  return static_cast<uint32_t>(n);
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string& value = Lookup(key);
  if (value.empty()) return defaultValue;
  return strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string& value = Lookup(key);
  if (value.empty()) return defaultValue;
  return strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  auto it = values.find(key != nullptr ? key : "");
  if (it != values.end()) return it->second;
  return defaultValue != nullptr ? defaultValue : "";
}

const char* KeyValueStore::operator[](const char* key) const {
  auto it = values.find(key != nullptr ? key : "");
  return it != values.end() ? it->second.c_str() : nullptr;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
  std::string& slot = values[key != nullptr ? key : ""];
  if (slot != value) {
    slot = value;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const char* value) { return Add(key, std::string(value ? value : "")); }

bool KeyValueStore::Add(const char* key, int value) { return Add(key, sFormat("%d", value)); }

bool KeyValueStore::Add(const char* key, double value) { return Add(key, sFormat("%f", value)); }

bool KeyValueStore::AddHex(const char* key, uint32_t value) { return Add(key, sFormat("0x%08X", value)); }

bool KeyValueStore::Add(const KeyValueStore& other) {
  for (const auto& [key, value] : other.values) values[key] = value;
  if (!other.values.empty()) dirty = true;
  return true;
}

bool KeyValueStore::Clear() {
  values.clear();
  dirty = true;
  return true;
}
