#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"

// Transport of a linkSpec record. Values above 7 are invalid; 0 is no transport.
typedef enum : int {
  USB = 1,            // device attached over USB
  TCPIP = 2,          // device reachable over TCP/IP
  SERIAL = 3,         // device on a serial line
  AORVEX = 4,         // client link to a link server
  AORVEX_USB = 5,     // link server fronting a USB link
  AORVEX_TCPIP = 6,   // link server fronting a TCP/IP link
  AORVEX_SERIAL = 7,  // link server fronting a serial link
} linkType;

// How to reach one device. Link servers send this record raw in their announcements, so its
// 128-byte layout is a wire format: integers little-endian, ipv4Address in network byte order,
// bytes the type does not use zero.
typedef struct linkSpec {
  uint32_t type;  // a linkType
  uint32_t serialNumber;
  uint32_t moduleAddress;  // low 8 bits used
  uint32_t routerAddress;  // low 8 bits used
  uint32_t routerSerialNumber;
  uint32_t model;  // low 8 bits used; 0 means any model as a search key
  union {
    struct {  // USB
      uint32_t usbId;  // equal to serialNumber
    };
    struct {  // TCP/IP and link servers
      uint32_t ipv4Address;  // network byte order
      uint32_t tcpPort;      // low 16 bits used
    };
    struct {  // serial line
      uint32_t baudRate;
      char portName[100];  // zero-terminated device path
    };
    uint8_t transport[104];
  };
} linkSpec;

static_assert(sizeof(linkSpec) == 128);
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, moduleAddress) == 8);
static_assert(offsetof(linkSpec, routerAddress) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, usbId) == 24);
static_assert(offsetof(linkSpec, ipv4Address) == 24);
static_assert(offsetof(linkSpec, tcpPort) == 28);
static_assert(offsetof(linkSpec, baudRate) == 24);
static_assert(offsetof(linkSpec, portName) == 28);

// A new zero-filled record with `type` set; NULL when memory is short.
linkSpec* aLinkSpec_Create(linkType type);
// A new copy of all 128 bytes; NULL for a NULL record or when memory is short.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the record and clears the caller's pointer; aErrParam for a NULL address or record.
aErr aLinkSpec_Destroy(linkSpec** spec);
