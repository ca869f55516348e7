#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "aDefs.h"
#include "aError.h"

namespace {

// Devices send these numbers back in reply packets, so each code's number, name and text are
// typed out here rather than taken from the list the library is built from: a reordered or
// renamed entry there fails this table.
struct ErrorRow {
  int number;
  aErr code;
  const char* name;
  const char* description;
};

const ErrorRow kErrorTable[] = {
    {0, aErrNone, "aErrNone", "Success, no error"},
    {1, aErrMemory, "aErrMemory", "Memory allocation"},
    {2, aErrParam, "aErrParam", "Invalid parameter"},
    {3, aErrNotFound, "aErrNotFound", "Not found"},
    {4, aErrFileNameLength, "aErrFileNameLength", "File name too long"},
    {5, aErrBusy, "aErrBusy", "Resource busy"},
    {6, aErrIO, "aErrIO", "Input/Output error"},
    {7, aErrMode, "aErrMode", "Invalid Mode"},
    {8, aErrWrite, "aErrWrite", "Write error"},
    {9, aErrRead, "aErrRead", "Read error"},
    {10, aErrEOF, "aErrEOF", "End of file"},
    {11, aErrNotReady, "aErrNotReady", "Not ready, no bytes available"},
    {12, aErrPermission, "aErrPermission", "Insufficient permissions"},
    {13, aErrRange, "aErrRange", "Value out of range"},
    {14, aErrSize, "aErrSize", "Invalid Size"},
    {15, aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
    {16, aErrParse, "aErrParse", "Parse error"},
    {17, aErrConfiguration, "aErrConfiguration", "Configuration error"},
    {18, aErrTimeout, "aErrTimeout", "Timeout occurred"},
    {19, aErrInitialization, "aErrInitialization", "Initialization error"},
    {20, aErrVersion, "aErrVersion", "Invalid version"},
    {21, aErrUnimplemented, "aErrUnimplemented", "Functionality unimplemented"},
    {22, aErrDuplicate, "aErrDuplicate", "Duplicate request"},
    {23, aErrCancel, "aErrCancel", "Cancellation occurred, or did not complete"},
    {24, aErrPacket, "aErrPacket", "Packet byte invalid"},
    {25, aErrConnection, "aErrConnection", "Connection error"},
    {26, aErrIndexRange, "aErrIndexRange", "Index out of range"},
    {27, aErrShortCommand, "aErrShortCommand", "Corvantis command to short"},
    {28, aErrInvalidEntity, "aErrInvalidEntity", "Invalid entity error"},
    {29, aErrInvalidOption, "aErrInvalidOption", "Invalid option code"},
    {30, aErrResource, "aErrResource", "Resource unavailable"},
    {31, aErrMedia, "aErrMedia", "Media error"},
    {32, aErrAsyncReturn, "aErrAsyncReturn", "Asynchronous return error"},
    {33, aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
    {34, aErrUnknown, "aErrUnknown", "Unknown error"},
};

}  // namespace

TEST(aError, EveryCodeHasItsFixedNumberNameAndDescription) {
  for (const ErrorRow& row : kErrorTable) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(static_cast<int>(row.code), row.number);
    aErr byNumber = static_cast<aErr>(row.number);
    EXPECT_STREQ(aError_GetErrorText(byNumber), row.name);
    EXPECT_STREQ(aError_GetErrorDescription(byNumber), row.description);
  }
}

TEST(aError, CodesAboveTheTableAndNegativeCodesAreUnknown) {
  for (int code : {35, 1000, -1}) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(code)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(code)), "Unknown error");
  }
}

TEST(aDefs, ModelNameSet) {
  std::set<std::string> names;
  for (uint32_t model = 0; model <= 40; ++model) {
    SCOPED_TRACE(model);
    const char* name = aDefs_GetModelName(model);
    bool named = model == 4 || model == 5 || (model >= 13 && model <= 27);
    if (!named) {
      EXPECT_STREQ(name, "Unknown");
      continue;
    }
    EXPECT_STRNE(name, "Unknown");
    EXPECT_LE(strlen(name), 12u);
    names.insert(name);
  }
  EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
  EXPECT_EQ(names.size(), 17u);  // distinct
  for (const auto& a : names)
    for (const auto& b : names)
      if (a != b) {
        EXPECT_NE(b.rfind(a, 0), 0u) << a << " is a prefix of " << b;
      }
}
