#pragma once
// Error codes of the library; devices send the same numbering back in reply packets.

#define aERR_LIST(X)                                                   \
  X(aErrNone, "Success, no error")                                     \
  X(aErrMemory, "Memory allocation")                                   \
  X(aErrParam, "Invalid parameter")                                    \
  X(aErrNotFound, "Not found")                                         \
  X(aErrFileNameLength, "File name too long")                          \
  X(aErrBusy, "Resource busy")                                         \
  X(aErrIO, "Input/Output error")                                      \
  X(aErrMode, "Invalid Mode")                                          \
  X(aErrWrite, "Write error")                                          \
  X(aErrRead, "Read error")                                            \
  X(aErrEOF, "End of file")                                            \
  X(aErrNotReady, "Not ready, no bytes available")                     \
  X(aErrPermission, "Insufficient permissions")                        \
  X(aErrRange, "Value out of range")                                   \
  X(aErrSize, "Invalid Size")                                          \
  X(aErrOverrun, "Buffer/queue overrun")                               \
  X(aErrParse, "Parse error")                                          \
  X(aErrConfiguration, "Configuration error")                          \
  X(aErrTimeout, "Timeout occurred")                                   \
  X(aErrInitialization, "Initialization error")                        \
  X(aErrVersion, "Invalid version")                                    \
  X(aErrUnimplemented, "Functionality unimplemented")                  \
  X(aErrDuplicate, "Duplicate request")                                \
  X(aErrCancel, "Cancellation occurred, or did not complete")          \
  X(aErrPacket, "Packet byte invalid")                                 \
  X(aErrConnection, "Connection error")                                \
  X(aErrIndexRange, "Index out of range")                              \
  X(aErrShortCommand, "Corvantis command to short")                    \
  X(aErrInvalidEntity, "Invalid entity error")                         \
  X(aErrInvalidOption, "Invalid option code")                          \
  X(aErrResource, "Resource unavailable")                              \
  X(aErrMedia, "Media error")                                          \
  X(aErrAsyncReturn, "Asynchronous return error")                      \
  X(aErrStreamStale, "Stream value is stale")                          \
  X(aErrUnknown, "Unknown error")

typedef enum : int {  // int-sized: device codes and out-of-range values pass through
#define aERR_ENUM(name, text) name,
  aERR_LIST(aERR_ENUM)
#undef aERR_ENUM
} aErr;

// Symbolic name of a code ("aErrTimeout"); codes outside 0..34 give "aErrUnknown".
const char* aError_GetErrorText(aErr err);
// One-line description of a code; codes outside 0..34 give "Unknown error".
const char* aError_GetErrorDescription(aErr err);
