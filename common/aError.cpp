#include "aError.h"

#include <cstdint>

namespace {

const char* const ERROR_TEXT[] = {
#define aERR_NAME(name, text) #name,
    aERR_LIST(aERR_NAME)
#undef aERR_NAME
};

const char* const ERROR_DESCRIPTION[] = {
#define aERR_DESC(name, text) text,
    aERR_LIST(aERR_DESC)
#undef aERR_DESC
};

constexpr uint32_t kLast = aErrUnknown;
static_assert(sizeof(ERROR_TEXT) / sizeof(ERROR_TEXT[0]) == kLast + 1);

// Taken as unsigned, so negative codes land above the table too.
uint32_t sIndex(aErr err) {
  uint32_t code = static_cast<uint32_t>(err);
  return code > kLast ? kLast : code;
}

}  // namespace

const char* aError_GetErrorText(aErr err) { return ERROR_TEXT[sIndex(err)]; }

const char* aError_GetErrorDescription(aErr err) { return ERROR_DESCRIPTION[sIndex(err)]; }
