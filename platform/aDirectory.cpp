#include "aDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

const char* aDIR_PATH_SEP = "/";

const char* backwards_memcmp(const char* str, const char* text) {
  if (str == nullptr || text == nullptr) return nullptr;
  size_t n = strlen(str);
  size_t m = strlen(text);
  if (m == 0) return str;
  if (m > n) return nullptr;
  for (size_t i = n - m + 1; i-- > 0;) {
    if (memcmp(str + i, text, m) == 0) return str + i;
  }
  return nullptr;
}

bool aDirectory_Exists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool sMakeOne(const char* path, uint16_t mode) {
  // Something already there counts only when it is a directory, not a plain file.
  return mkdir(path, mode) == 0 || (errno == EEXIST && aDirectory_Exists(path));
}

}  // namespace

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr) return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;

  aErr err = aErrNone;
  std::string copy(path);
  const char sep = aDIR_PATH_SEP[0];

  // Walk upward to the deepest prefix that already is a directory.
  size_t start = 0;
  {
    std::string probe = copy;
    while (true) {
      const char* last = backwards_memcmp(probe.c_str(), aDIR_PATH_SEP);
      if (last == nullptr) {
        start = 0;
        break;
      }
      size_t at = static_cast<size_t>(last - probe.c_str());
      probe.resize(at);
      if (!probe.empty() && aDirectory_Exists(probe.c_str())) {
        start = at + 1;
        break;
      }
      if (probe.empty()) {  // reached the root of an absolute path
        start = 0;
        break;
      }
    }
  }

  // Walk downward, creating each missing prefix. A separator right where creation
  // begins (the root of an absolute path) is passed over.
  for (size_t i = start; i < copy.size(); ++i) {
    if (copy[i] != sep || i == start) continue;
    std::string prefix = copy.substr(0, i);
    if (!aDirectory_Exists(prefix.c_str()) && !sMakeOne(prefix.c_str(), mode)) {
      err = aErrPermission;
      break;
    }
  }

  // The whole path last; attempted even after a failure above.
  if (!aDirectory_Exists(copy.c_str()) && !sMakeOne(copy.c_str(), mode)) err = aErrPermission;
  return err;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  struct passwd* pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
  if (home == nullptr) home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  size_t len = strlen(home);
  if (len >= size) return aErrOverrun;
  memcpy(buffer, home, len + 1);
  return aErrNone;
}
