// Feeds arbitrary device input to the link reader's per-byte step, on a link record whose
// FIFOs are real and whose threads never run; the outbound FIFO is emptied after every step
// as the writer would. Marker bytes: F0 an empty read, F1 a stream error, F2 the end of the
// stream, F3 a 300 ms pause, F4 X the byte X itself, F5 the packet log on, F6 a filter that
// consumes packets of odd length switched on or off; any other byte is read as it is.
#include "FuzzCheck.h"
#include "LinkRecord.h"

namespace {

uint8_t sOddLength(const aPacket* packet, void*) { return packet->length % 2 == 1 ? 1 : 2; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LinkRecord record;
  aLink* link = record.link();
  CHECK(link != nullptr);
  uint64_t now = 1000;
  bool filter = false;
  for (size_t i = 0; i < size; ++i, ++now) {
    uint8_t byte = data[i];
    switch (byte) {
      case 0xF0: record.Empty(now); break;
      case 0xF1: record.Fail(aErrIO, now); break;
      case 0xF2: record.Fail(aErrEOF, now); break;
      case 0xF3: now += 300; break;
      case 0xF4:
        if (i + 1 < size) record.Feed({data[++i]}, now);
        break;
      case 0xF5: aLink_PacketDebug_Enable(record.ref()); break;
      case 0xF6:
        filter = !filter;
        aLink_InstallUserPacketFilter(record.ref(), filter ? sOddLength : nullptr, nullptr);
        break;
      default: record.Feed({byte}, now); break;
    }
    record.TakeOut();
    if (aPacketFifo_GetLength(link->inFifo) > 64) record.TakeIn();

    int status = link->status.load();
    CHECK(status == kLinkStatusRunning || status == kLinkStatusSyncing ||
          status == kLinkStatusIOError || status == kLinkStatusPacketError);
    CHECK(link->syncState.load() <= kSyncStateByte4);
    uint32_t hb = link->hbState.load();
    CHECK(hb == 0 || hb == 2 || hb == 3);
    CHECK(link->packet->count <= aPACKET_MAX_WIRE);
  }
  // Whatever was delivered is a well-formed packet from an even, non-zero address.
  for (const auto& wire : record.TakeIn()) {
    CHECK(wire.size() >= 2 && wire.size() == wire[1] + 2u);
    CHECK(wire[0] != 0 && wire[0] % 2 == 0);
  }
  return 0;
}
