#pragma once
// What discovery reports, as a test sees it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "aDiscovery.h"

using RecordBytes = std::array<uint8_t, 128>;

// The 128 bytes of a record.
RecordBytes BytesOf(const linkSpec& spec);

// Builds expected record bytes from little-endian fields at their offsets, so that tests state
// the wire layout rather than the record's field names.
class RecordBuilder {
 public:
  RecordBuilder& U32(size_t offset, uint32_t value);
  RecordBuilder& Bytes(size_t offset, const std::vector<uint8_t>& bytes);
  const RecordBytes& bytes() const { return bytes_; }

 private:
  RecordBytes bytes_{};
};

// The record TCP/IP discovery makes of a device's reply, from the device's fields.
RecordBytes ExpectedTcpipRecord(uint32_t serial, uint8_t moduleAddress, uint8_t model,
                                const std::string& address, uint16_t tcpPort);

// An IPv4 address in network byte order, as discovery takes and gives it.
uint32_t IPv4(const std::string& dotted);

// A discovery callback that keeps a copy of every record it is given.
struct DiscoveryRecorder {
  bool setFound = true;  // mark every device as found
  int stopAt = 0;        // return false at this call (1: the first); 0: never
  std::vector<linkSpec> reports;
  int foundOnEntry = 0;  // calls whose found flag was not false on entry (never, when sound)

  static bool Proc(const linkSpec* spec, bool* found, void* ref);
  uint8_t Enumerate(linkType type, uint32_t networkInterface) {
    return aDiscovery_EnumerateModules(type, Proc, this, networkInterface);
  }
};

// Milliseconds of the steady clock since construction.
class Stopwatch {
 public:
  Stopwatch();
  int64_t ElapsedMs() const;

 private:
  int64_t start_;
};
