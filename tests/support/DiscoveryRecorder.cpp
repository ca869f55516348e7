#include "DiscoveryRecorder.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>

namespace {
int64_t sNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

RecordBytes BytesOf(const linkSpec& spec) {
  RecordBytes bytes;
  memcpy(bytes.data(), &spec, bytes.size());
  return bytes;
}

RecordBuilder& RecordBuilder::U32(size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  return *this;
}

RecordBuilder& RecordBuilder::Bytes(size_t offset, const std::vector<uint8_t>& bytes) {
  memcpy(bytes_.data() + offset, bytes.data(), bytes.size());
  return *this;
}

RecordBytes ExpectedTcpipRecord(uint32_t serial, uint8_t moduleAddress, uint8_t model,
                                const std::string& address, uint16_t tcpPort) {
  struct in_addr in;
  inet_pton(AF_INET, address.c_str(), &in);
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&in.s_addr);
  return RecordBuilder()
      .U32(0, 2)
      .U32(4, serial)
      .U32(8, moduleAddress)
      .U32(12, moduleAddress)
      .U32(16, serial)
      .U32(20, model)
      .Bytes(24, {a[0], a[1], a[2], a[3]})
      .U32(28, tcpPort)
      .bytes();
}

uint32_t IPv4(const std::string& dotted) {
  struct in_addr in;
  in.s_addr = 0;
  inet_pton(AF_INET, dotted.c_str(), &in);
  return in.s_addr;
}

bool DiscoveryRecorder::Proc(const linkSpec* spec, bool* found, void* ref) {
  DiscoveryRecorder* self = static_cast<DiscoveryRecorder*>(ref);
  self->reports.push_back(*spec);
  if (*found) ++self->foundOnEntry;
  *found = self->setFound;
  return self->stopAt == 0 || static_cast<int>(self->reports.size()) < self->stopAt;
}

Stopwatch::Stopwatch() : start_(sNowMs()) {}

int64_t Stopwatch::ElapsedMs() const { return sNowMs() - start_; }
