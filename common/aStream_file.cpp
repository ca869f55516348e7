// The file kind of stream: its ref is an aFile.
#include "aStream.h"
#include "unix_file.h"

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
  if (ref == nullptr) return aErrIO;
  // aFile_Read reports a read failure as the end of the file too.
  return aFile_Read(static_cast<aFile*>(ref), byte, 1, nullptr);
}

aErr sFilePut(const uint8_t* byte, void* ref) {
  if (ref == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* ref) {
  if (ref == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(ref), data, length, nullptr);
}

aErr sFileDelete(void* ref) {
  if (ref == nullptr) return aErrIO;
  aFile* file = static_cast<aFile*>(ref);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aStream** stream, uint32_t mode) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  if (path == nullptr) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  bool input = mode == aFILE_MODE_READ;
  aStream* made = aStream_Create(input ? sFileGet : nullptr, input ? nullptr : sFilePut,
                                 input ? nullptr : sFileWrite, sFileDelete, file);
  if (made == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = made;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFileStream(path, stream, aFILE_MODE_READ);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFileStream(path, stream, aFILE_MODE_WRITE);
}
