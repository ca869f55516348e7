// Link: the packet log, written to a text file by a logger thread.
#include <cstdio>
#include <string>

#include "LinkImpl.h"
#include "aPacketDebug.h"
#include "unix_file.h"
#include "unix_time.h"

namespace Tavrin::Corvantis {

namespace {

constexpr uint64_t kIdlePauseMs = 5;
const uint8_t kStart[] = "START";  // its terminating zero goes into the record

// One line of the file: "<length> <mark> ", the body, "\r\n".
std::string sLogLine(int kind, const uint8_t* data, uint32_t length) {
  std::string line = std::to_string(length) + (kind == aPACKETLOG_KIND_SENT ? " > " : " < ");
  char hex[8];
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == aPACKETLOG_KIND_TEXT) {
      line.push_back(static_cast<char>(data[i]));
    } else {
      snprintf(hex, sizeof hex, "0x%X ", data[i]);
      line += hex;
    }
  }
  line += "\r\n";
  return line;
}

}  // namespace

void Link::impl::readDebugBuffer(void* file, uint32_t ref) {
  // Room for the longest record: a shorter buffer would leave a long one in the ring for ever.
  uint8_t data[aPACKETLOG_MAX_RECORD];
  uint32_t length = sizeof data;
  int kind = 0;
  if (aLink_PacketDebug_Read(ref, &kind, &length, data) != aErrNone) {
    // Empty, or no log (a reset dropped it): the thread must not spin.
    aTime_MSSleep(kIdlePauseMs);
    return;
  }
  std::string line = sLogLine(kind, data, length);
  size_t written = 0;
  aFile_Write(static_cast<aFile*>(file), reinterpret_cast<const uint8_t*>(line.data()), line.size(), &written);
}

void Link::impl::stopPacketLogger() {
  if (packetLogger != nullptr) aLogger_Disable(packetLogger);
}

aErr Link::enablePacketLog(const char* path) {
  aLinkRef ref = impl_->linkRef;
  if (ref == 0) return aErrConfiguration;
  if (path == nullptr) return aErrParam;
  // A logger made for an earlier link would read a ref that is gone.
  if (impl_->packetLogger != nullptr && impl_->packetLogger->ref != ref) aLogger_Destroy(&impl_->packetLogger);
  bool made = false;
  if (impl_->packetLogger == nullptr) {
    impl_->packetLogger = aLogger_Create(ref, impl::readDebugBuffer, path);
    if (impl_->packetLogger == nullptr) return aErrIO;
    made = true;
  }
  aErr err = aLink_PacketDebug_Enable(ref);
  if (err != aErrNone) {
    if (made) aLogger_Destroy(&impl_->packetLogger);
    return err;
  }
  err = aLogger_Enable(impl_->packetLogger);
  if (err != aErrNone) return err;
  aLink_PacketDebug_Write(ref, aPACKETLOG_KIND_TEXT, sizeof kStart, kStart);
  return aErrNone;
}

aErr Link::disablePacketLog() {
  if (impl_->linkRef == 0) return aErrConfiguration;
  aLink_PacketDebug_Disable(impl_->linkRef);
  return aLogger_Disable(impl_->packetLogger);
}

}  // namespace Tavrin::Corvantis
