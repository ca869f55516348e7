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
