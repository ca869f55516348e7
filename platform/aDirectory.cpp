#include "aDirectory.h"

#include <dirent.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

namespace {

// The walks join paths into buffers of this size.
constexpr size_t kWalkPathSize = 2048;

bool sIsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

}  // namespace

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (path == nullptr || proc == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char joined[kWalkPathSize];
  while (struct dirent* entry = readdir(dir)) {
    if (aDirectory_JoinPath(joined, sizeof(joined), path, entry->d_name) != aErrNone) continue;
    struct stat st;
    if (stat(joined, &st) != 0) continue;
    aDirectoryListData data = {joined, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode) ? 1u : 0u};
    if (!proc(&data, ref)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  // A tree given as a link to a folder is not descended into: what it points at lies
  // outside the tree, and nothing outside is ever removed.
  struct stat top;
  if (lstat(path, &top) == 0 && S_ISLNK(top.st_mode)) return aErrNotFound;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  aErr err = aErrNone;
  char joined[kWalkPathSize];
  while (err == aErrNone) {
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (sIsDotEntry(entry->d_name)) continue;
    if (aDirectory_JoinPath(joined, sizeof(joined), path, entry->d_name) != aErrNone) continue;
    // lstat: a link to a folder is an entry of this tree, not a way out of it.
    struct stat st;
    if (lstat(joined, &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      err = aDirectory_DeleteTree(joined);
    } else if (unlink(joined) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", joined);
      err = aErrUnknown;
    }
  }
  closedir(dir);
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  char link[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", link, sizeof(link));
  if (n < 0) return aErrRead;
  size_t count = static_cast<size_t>(n) < size - 1 ? static_cast<size_t>(n) : size - 1;
  memcpy(buffer, link, count);
  buffer[count] = '\0';
  return aErrNone;
}

aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...) {
  constexpr size_t kMaxParts = 10;
  if (destination == nullptr) return aErrParam;
  if (size == 0) return aErrParam;
  destination[0] = '\0';
  if (first == nullptr) return aErrParam;

  const char* parts[kMaxParts];
  size_t count = 0;
  parts[count++] = first;
  bool tooMany = false;
  va_list args;
  va_start(args, first);
  while (const char* part = va_arg(args, const char*)) {
    if (count == kMaxParts) {
      tooMany = true;
      break;
    }
    parts[count++] = part;
  }
  va_end(args);
  if (tooMany) return aErrParam;
  for (size_t i = 0; i < count; ++i)
    if (parts[i] == destination) return aErrParam;

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(destination, first, length + 1);

  const char sep = aDIR_PATH_SEP[0];
  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    // Nothing built yet: a separator here would make a relative part absolute.
    bool needSep = length > 0 && destination[length - 1] != sep && part[0] != sep;
    if (room > 1 && needSep) {
      destination[length++] = sep;
      destination[length] = '\0';
      --room;
    }
    size_t partLength = strlen(part);
    if (partLength >= room) return aErrOverrun;
    memcpy(destination + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(destination, size, first, second, static_cast<const char*>(nullptr));
}
