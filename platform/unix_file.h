#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "aError.h"

// A file handle over a standard-library stream. Every operation checks the handle first
// (aVALIDFILE) and answers aErrParam for an invalid one, aErrMode for a mode it does not
// serve. A handle belongs to one thread at a time.
struct aFile {
  FILE* stream;
  int mode;
  uint16_t check;
};

#define aFILE_CHECK 0xFEED
#define aVALIDFILE(f) ((f) != nullptr && (f)->check == aFILE_CHECK)

// Open modes: read ("rb"), write ("wb", created or truncated), append ("ab+", reading and
// writing, positioned at the end).
#define aFILE_MODE_READ 0u
#define aFILE_MODE_WRITE 1u
#define aFILE_MODE_APPEND 2u

// Longest path a file operation accepts.
#define aFILE_MAX_PATH 4096

// True when the path can be examined and is not a directory.
bool aFile_Exists(const char* path);

// A new handle, or NULL (bad path or mode, failed open). errno tells why an open failed.
aFile* aFile_Open(const char* path, uint32_t mode);

// Closes the stream, frees the record and writes NULL into *file. aErrIO when closing the
// stream failed (data that could not be flushed is lost); the record is freed all the same.
aErr aFile_Close(aFile** file);

// Up to length bytes. Nothing read while length was above 0 gives aErrEOF (also for a read
// error); a short read is aErrNone.
aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count);

// Writes length bytes. Anything short of the full count is aErrIO; the count written is
// stored either way.
aErr aFile_Write(aFile* file, const uint8_t* data, size_t length, size_t* count);

// origin 1: from the current position, 2: from the end, anything else: from the start.
// A target before the start or past the end gives aErrRange and nothing moves.
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_GetPosition(aFile* file, int64_t* position);

// One line, its line feed kept, at most size - 1 bytes; *length counts the bytes read,
// NUL bytes included. aErrOverrun when the buffer filled before a line feed (the next call
// goes on with the rest of the line), aErrEOF at the end, aErrIO for a read error.
// A size under 2 leaves no room for a byte and gives aErrParam.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes a file: aErrNotFound, aErrPermission (EACCES), aErrIO for other failures.
aErr aFile_Delete(const char* path);

// Replaces the content of path with length bytes, so that the file is either wholly old or
// wholly new. The bytes go to a hidden temporary file in the same folder
// ("." + name + ".XXXXXX", mode 0666 less the umask), are flushed to the disk and then
// renamed over path. aErrNotFound when the temporary file cannot be made; any later failure
// removes it and gives aErrIO. errno tells the cause of a failure.
aErr aFile_ReplaceAtomically(const char* path, const uint8_t* data, size_t length);
