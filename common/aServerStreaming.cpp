// The server's filter on the device link's reader thread: stream packets are gathered into
// batches for the broker and never queued on the link.
#include <cstring>

#include "aServerInternal.h"
#include "aUEI.h"

uint8_t _streamingPacketFilter(const aPacket* packet, void* ref) {
  aServer* server = static_cast<aServer*>(ref);
  uint8_t consumed = 0;
  if (aUEI_isStreamPacket(packet)) {
    // Never full here: a batch above kStreamBatchFill went out at the previous packet.
    size_t wire = static_cast<size_t>(packet->length) + 2;
    memcpy(server->streamBatch + server->streamBatchLength, &packet->address, wire);
    server->streamBatchLength = static_cast<uint16_t>(server->streamBatchLength + wire);
    consumed = 1;
  }
  bool heartbeat = packet->length == 2 && packet->payload[0] == 0;
  if ((heartbeat || server->streamBatchLength > kStreamBatchFill) && server->streamBatchLength > 0) {
    // Without waiting: the reader thread never blocks on the broker. A batch that cannot go
    // is lost.
    zmq_send(zsock_resolve(server->streamingFilterSocket), server->streamBatch, server->streamBatchLength,
             ZMQ_DONTWAIT);
    server->streamBatchLength = 0;
  }
  return consumed;
}
