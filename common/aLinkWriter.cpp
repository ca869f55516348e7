// The link's writer thread: queued packets to the stream, one write each or pooled.
#include <memory>
#include <new>

#include "aLinkInternal.h"

namespace {

// The writer notices a stop between awaits. The stop clears running before it queues
// AF 01 00, so the put that wakes the writer finds running cleared, and what the writer's
// final flush missed the stop writes after the join (aLink_FlushOutbound).
constexpr uint64_t kWriterAwaitMs = 1000;

aErr sWritePacket(aLink* link, const aPacket* packet) {
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t count = 0;
  aErr err = aPacket_GetBytes(packet, wire, sizeof wire, &count);
  if (err != aErrNone) return err;
  return aStream_Write(link->stream, wire, count);
}

// Appends the packet's wire form to the batch; false when it has none.
bool sAppend(uint8_t* batch, uint32_t* fill, const aPacket* packet) {
  size_t count = 0;
  if (aPacket_GetBytes(packet, batch + *fill, kPoolBytes - *fill, &count) != aErrNone) return false;
  *fill += static_cast<uint32_t>(count);
  return true;
}

// The first packet and whatever follows it without waiting, in one write of at most 4096
// bytes.
void sWriteBatch(aLink* link, uint8_t* batch, const aPacket* first) {
  uint32_t fill = 0;
  sAppend(batch, &fill, first);
  while (fill <= kPoolFill) {
    aPacket* next = aPacketFifo_Get(link->outFifo);
    if (next == nullptr) break;
    sAppend(batch, &fill, next);
    aPacket_Destroy(&next);
  }
  if (fill > 0) aStream_Write(link->stream, batch, fill);
}

void* sOutPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  std::unique_ptr<uint8_t[]> batch(new (std::nothrow) uint8_t[kPoolBytes]);
  link->writerRunning = 1;
  bool wrote = false;
  while (link->running.load() == 1) {
    uint32_t seen = link->outPuts.load(std::memory_order_acquire);
    aPacket* packet = aPacketFifo_Get(link->outFifo);
    // The next request of an exchange often comes moments after the last: watch for it
    // before sleeping. An await that ran out finds nothing to watch for.
    if (packet == nullptr && wrote && aLink_SpinUntilChanged(link->outPuts, seen))
      packet = aPacketFifo_Get(link->outFifo);
    if (packet == nullptr) packet = aPacketFifo_Await(link->outFifo, kWriterAwaitMs);
    wrote = packet != nullptr;
    if (packet == nullptr) continue;
    // Write failures only lose the packets: the reader notices a dead stream.
    if (link->pooled.load() == 1 && batch != nullptr) {
      sWriteBatch(link, batch.get(), packet);
    } else {
      sWritePacket(link, packet);
    }
    aLink_RecordPacket(link, aPACKETLOG_KIND_SENT, packet);
    aPacket_Destroy(&packet);
  }
  aLink_FlushOutbound(link);
  return nullptr;
}

}  // namespace

aThreadProc aLink_WriterProc() { return sOutPipeProcess; }

void aLink_FlushOutbound(aLink* link) {
  // Each packet on its own; after the first failed write the rest are freed unwritten, since
  // every write over a dead transport may take seconds.
  bool failed = false;
  while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
    if (!failed) failed = sWritePacket(link, packet) != aErrNone;
    aPacket_Destroy(&packet);
  }
}
