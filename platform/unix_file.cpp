#include "unix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kOpenModes[] = {"rb", "wb", "ab+"};

bool sPathOk(const char* path) {
  return path != nullptr && path[0] != '\0' && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sCanRead(const aFile* f) { return f->mode == aFILE_MODE_READ || f->mode == aFILE_MODE_APPEND; }
bool sCanWrite(const aFile* f) { return f->mode == aFILE_MODE_WRITE || f->mode == aFILE_MODE_APPEND; }

// The process umask without changing it: umask() can only be read by setting it, which
// would race with other threads creating files.
mode_t sCurrentUmask() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status != nullptr) {
    char line[256];
    while (fgets(line, sizeof(line), status) != nullptr) {
      unsigned mask;
      if (sscanf(line, "Umask: %o", &mask) == 1) {
        fclose(status);
        return static_cast<mode_t>(mask);
      }
    }
    fclose(status);
  }
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

// Removes the temporary file without losing the errno of the failure that led here.
aErr sDiscard(const std::string& temp, FILE* stream) {
  int saved = errno;
  if (stream != nullptr) fclose(stream);
  unlink(temp.c_str());
  errno = saved;
  return aErrIO;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFile* aFile_Open(const char* path, uint32_t mode) {
  if (!sPathOk(path) || mode > aFILE_MODE_APPEND) return nullptr;
  aFile* f = static_cast<aFile*>(malloc(sizeof(aFile)));
  if (f == nullptr) return nullptr;
  f->stream = fopen(path, kOpenModes[mode]);
  if (f->stream == nullptr) {
    int saved = errno;
    free(f);
    errno = saved;
    return nullptr;
  }
  f->mode = static_cast<int>(mode);
  f->check = aFILE_CHECK;
  if (mode == aFILE_MODE_APPEND) fseeko(f->stream, 0, SEEK_END);
  return f;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr) return aErrParam;
  aFile* f = *file;
  *file = nullptr;
  if (!aVALIDFILE(f)) return aErrParam;
  // fclose flushes what is still buffered; its failure is the only report of a write
  // that the disk refused late (ENOSPC, EIO, EFBIG).
  int rc = fclose(f->stream);
  f->check = 0;
  f->stream = nullptr;
  free(f);
  return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || buffer == nullptr) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  size_t n = fread(buffer, 1, length, file->stream);
  if (count != nullptr) *count = n;
  return (n == 0 && length > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const uint8_t* data, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!aVALIDFILE(file) || data == nullptr) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  size_t n = fwrite(data, 1, length, file->stream);
  if (count != nullptr) *count = n;
  return n == length ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!aVALIDFILE(file) || size == nullptr) return aErrParam;
  *size = 0;
  off_t here = ftello(file->stream);
  if (here < 0) return aErrIO;
  if (fseeko(file->stream, 0, SEEK_END) != 0) return aErrIO;
  off_t end = ftello(file->stream);
  if (end >= 0) *size = static_cast<size_t>(end);
  if (fseeko(file->stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, int64_t* position) {
  if (!aVALIDFILE(file)) return aErrParam;
  off_t here = ftello(file->stream);
  if (here < 0) return aErrIO;
  if (position != nullptr) *position = here;
  return aErrNone;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!aVALIDFILE(file)) return aErrParam;
  int64_t here = 0;
  size_t size = 0;
  if (aFile_GetPosition(file, &here) != aErrNone || aFile_GetSize(file, &size) != aErrNone) return aErrIO;
  int64_t base = origin == 1 ? here : origin == 2 ? static_cast<int64_t>(size) : 0;
  // Offsets near the int64 limits must not wrap into range.
  if ((offset > 0 && base > INT64_MAX - offset)) return aErrRange;
  int64_t target = base + offset;
  if (target < 0 || target > static_cast<int64_t>(size)) return aErrRange;
  if (fseeko(file->stream, target, SEEK_SET) != 0) return aErrIO;
  return ftello(file->stream) < 0 ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (length == nullptr) return aErrParam;
  *length = 0;
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (!aVALIDFILE(file)) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  if (buffer == nullptr || size < 2 || size > INT32_MAX) return aErrParam;
  // Pre-filled with line feeds, the last NUL in the buffer is the terminator fgets wrote,
  // which counts the bytes read even when the line holds NUL bytes.
  memset(buffer, '\n', size);
  if (fgets(buffer, static_cast<int>(size), file->stream) == nullptr) {
    buffer[0] = '\0';
    return feof(file->stream) ? aErrEOF : aErrIO;
  }
  const char* end = static_cast<const char*>(memrchr(buffer, '\0', size));
  *length = static_cast<size_t>(end - buffer);
  if (*length == size - 1 && buffer[*length - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!aVALIDFILE(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!aVALIDFILE(file) || format == nullptr) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  int n = vfprintf(file->stream, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  if (errno == ENOENT) return aErrNotFound;
  if (errno == EACCES) return aErrPermission;
  return aErrIO;
}

aErr aFile_ReplaceAtomically(const char* path, const uint8_t* data, size_t length) {
  if (!sPathOk(path) || (data == nullptr && length > 0)) return aErrParam;
  std::string target(path);
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) return aErrParam;
  // The leading dot keeps the half-written file out of every listing of the store.
  std::string temp = folder + "." + name + ".XXXXXX";
  if (temp.size() > aFILE_MAX_PATH) return aErrFileNameLength;

  int fd = mkstemp(temp.data());
  if (fd < 0) return aErrNotFound;
  // mkstemp makes 0600; the new file gets what a plain create would have given it.
  if (fchmod(fd, 0666 & ~sCurrentUmask()) != 0) {
    close(fd);
    return sDiscard(temp, nullptr);
  }
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    close(fd);
    return sDiscard(temp, nullptr);
  }
  if (length > 0 && fwrite(data, 1, length, stream) != length) return sDiscard(temp, stream);
  if (fflush(stream) != 0 || fsync(fileno(stream)) != 0) return sDiscard(temp, stream);
  if (fclose(stream) != 0) return sDiscard(temp, nullptr);
  struct stat st;
  if (stat(temp.c_str(), &st) != 0) return sDiscard(temp, nullptr);
  if (static_cast<size_t>(st.st_size) != length) {
    errno = EIO;
    return sDiscard(temp, nullptr);
  }
  if (rename(temp.c_str(), path) != 0) return sDiscard(temp, nullptr);
  return aErrNone;
}
