#pragma once
#include <cstdint>

#include "aLink.h"

// A device link over a serial port: 8 data bits, no parity, one stop bit, framed, at one of the
// eight rates of unix_streamserial.h (any other rate: 0, nothing registered). A link already
// made for this serial number is handed out again with one more use, whatever port it was made
// on. The link is started without a handshake (AF 01 01 is its first frame). 0 on any failure.
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* port, uint32_t baudRate);
