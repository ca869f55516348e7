// Feeds client frames to the link server's routing decisions, as records: a client byte (its
// low two bits the client 0 to 3; bit 7 set: the frame is the worker's outcome for the head
// slot instead, its first 3 bytes the command), a length byte, then that many frame bytes (cut
// at the input's end). Hand-offs go to a recording sink; every seventh fails.
#include <vector>

#include "FuzzCheck.h"
#include "aServerRouting.h"

namespace {

struct Sink {
  size_t handOffs = 0;
  size_t owed = 0;  // successful hand-offs whose request gets an answer
};

bool sHandOff(void* ref, const uint8_t* wire, size_t size) {
  Sink* sink = static_cast<Sink*>(ref);
  if (++sink->handOffs % 7 == 0) return false;
  CHECK(size >= 2 && size <= 30);
  aPacket* packet = _zFrame_To_aPacket(wire, size);
  CHECK(packet != nullptr);
  CHECK(!_isBlacklistedPacket(packet));
  if (_isResponseRequired(packet, true)) ++sink->owed;
  aPacket_Destroy(&packet);
  return true;
}

bool sToClient(void*, const serverIdentity& identity, const uint8_t*, size_t) {
  CHECK(identity.size() == 1 && identity[0] < 4);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  serverRouting* routing = serverRouting_Create();
  Sink recorder;
  serverRoutingSink sink{sHandOff, sToClient, &recorder};
  size_t i = 0;
  while (i + 2 <= size) {
    uint8_t client = data[i];
    size_t length = data[i + 1];
    i += 2;
    if (length > size - i) length = size - i;
    const uint8_t* frame = data + i;
    i += length;
    if ((client & 0x80) != 0) {
      std::vector<serverFrame> parts;
      parts.push_back({frame, length < 3 ? length : 3});
      if (length > 3) parts.push_back({frame + 3, length - 3});
      serverRouting_WorkerOutcome(routing, parts.data(), parts.size(), sink);
    } else {
      serverIdentity identity{static_cast<uint8_t>(client & 3)};
      serverRouting_ClientRequest(routing, identity, frame, length, sink);
    }
    CHECK(routing->replySlots.size() <= recorder.owed);
    CHECK(routing->pools.size() <= 4);
    CHECK(routing->streamSubscribers.size() <= 4);
  }
  serverRouting_Destroy(&routing);
  return 0;
}
