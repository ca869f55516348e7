#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

// Separator used by every path the system builds.
extern const char* aDIR_PATH_SEP;

// Last occurrence of `text` inside `str`: the start of `str` for an empty text, NULL when
// the text is longer than the string or absent.
const char* backwards_memcmp(const char* str, const char* text);

// True when the path is not NULL, can be examined and is a directory.
bool aDirectory_Exists(const char* path);

// Makes the directory exist, creating each missing directory on the way with `mode`.
// aErrNone, or aErrPermission when a creation fails.
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Home directory of the real user: its password-database entry, else $HOME.
// The buffer is always terminated; a path that does not fit gives aErrOverrun, no or an
// empty home gives aErrNotFound, both with an empty buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// One listed entry. `path` (folder and name joined) lives only during the callback; size
// and isDirectory come from stat, so they describe the target of a symbolic link.
struct aDirectoryListData {
  const char* path;
  uint32_t size;  // low 32 bits of the size in bytes
  uint32_t isDirectory;
};

// Listing callback: the listing goes on only while it returns true.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// Calls proc for every entry, "." and ".." included, in the order the system gives them.
// aErrNotFound when the folder cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// Removes an empty folder; aErrUnknown on any failure.
aErr aDirectory_Delete(const char* path);

// Removes a folder with everything below it. Symbolic links are removed as links and never
// followed, so nothing outside the tree is touched.
aErr aDirectory_DeleteTree(const char* path);

// The current working directory; aErrParam when it does not fit or cannot be read.
aErr aDirectory_CWD(char* buffer, size_t size);

// Path of the running program, cut to size - 1 characters. aErrParam for no buffer or a
// size of 0, aErrRead when /proc/self/exe cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// Builds a path from up to 10 parts (first included), the list ended by NULL. A "/" goes
// between two parts unless one side already has it, and never before the first text
// built: "" and "b" give "b". aErrParam for a missing destination, a part that is the
// destination, or more than 10 parts; aErrOverrun when the result would need more than
// size - 2 characters (the destination keeps what was built so far).
aErr aDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
    __attribute__((sentinel));

// aDirectory_BuildPath with two parts.
aErr aDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second);
