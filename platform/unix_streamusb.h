#pragma once
// The USB stream kind: an aStream over the USB driver.
#include <cstdint>

#include "aError.h"
#include "aStream.h"

// The stream of the family device whose serial-number string is `serial` as "%08X": over the
// kernel driver's node when it exists, else through libusb. *out is NULL on failure.
// aErrParam for serial 0 or no out; otherwise the open's error (aErrNotFound: no such device).
aErr aStream_CreateUSB(uint32_t serial, aStream** out);
