#pragma once
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

// A link-engine link: a byte stream to a device (or a link server) turned into two packet
// queues by a reader and a writer thread. Users name a link by its aLinkRef alone; every
// operation on ref 0, an unknown ref or a released ref gives the result noted in brackets.
//
// The reader answers the device's heartbeats itself, offers every inbound packet first to one
// optional user filter, and keeps the stream framed: an odd address at a packet start, a
// length byte above 28 or a stream error starts the synchronisation handshake, during which
// no packet is delivered.

// 0 means no link.
typedef uint32_t aLinkRef;

typedef enum : int {
  kLinkStatusStopped = 0,
  kLinkStatusStarting = 1,
  kLinkStatusRunning = 2,
  kLinkStatusStopping = 3,
  kLinkStatusSyncing = 4,
  kLinkStatusInvalid = 5,
  kLinkStatusIOError = 6,
  kLinkStatusPacketError = 8,
} linkStatus;

// Called on the link's reader thread with every complete inbound packet, under the link's
// filter lock; returning 1 consumes the packet (neither queued nor answered). A filter must
// not install or remove a filter, nor stop or destroy its own link: the lock is not recursive
// and a thread cannot join itself. The same holds for code running on the link's threads.
typedef uint8_t (*aUserPacketFilterProc)(const aPacket* packet, void* ref);

// A link over the caller's stream: registered, started (reader and writer running, AF 01 01
// queued). The link owns the stream from the call on and destroys it on every failure.
// 0 on failure, with nothing left registered.
aLinkRef aLink_Create(aStream* stream);
// Releases one use and sets *ref to 0. At the last use: removes the filter, queues AF 01 00,
// joins both threads after the writer has flushed its queue, and frees the link and its
// stream. [aErrParam]
aErr aLink_Destroy(aLinkRef* ref);

// A link to a device over TCP/IP (address in network byte order, port in host order): a
// socket stream that makes its connection again by itself when the device resets it. Links
// are found by serial number alone, so a second create for the same serial, whatever its
// address or port, shares the link and counts one more use. No handshake: the device's
// framing is trusted from the first byte. 0 on failure, with nothing left registered.
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// A link to a device attached over USB: the family device whose serial-number string is the
// serial number as "%08X", through the kernel driver's node when it exists, else through
// libusb. The create runs the handshake and fails when the device does not answer it (about
// 2 s). A second create for the same serial number shares the link whatever its status; one
// for a device a link server fronts gives 0. 0 on failure, with nothing left registered.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
// Rebuilds the transport of a link whose device was reset or unplugged: stops it, drops its
// FIFOs (queued packets are lost) and stream, makes a new stream (up to 20 tries, 100 ms
// apart) and starts it again, keeping its ref, use count and keys; the filter, pooled mode
// and the packet log are gone. No handshake. When no stream can be made the link stays
// stopped at status 5 with empty FIFOs and the last stream error is returned; a later reset
// tries again. aErrParam, with the link untouched, for a link whose transport cannot be made
// again (serial, a caller's stream). A client link gets a new connection to its server. Resets, starts,
// stops and the last release of one link run one after another; other holders' calls made
// meanwhile complete against the old state, the new one, or see a link that is not
// running. [aErrParam]
aErr aLink_Reset(aLinkRef ref);

// linkStatus [5]
int aLink_GetStatus(aLinkRef ref);
// The oldest inbound packet, without waiting; the caller destroys it. [NULL]
aPacket* aLink_GetPacket(aLinkRef ref);
// The oldest inbound packet, waiting up to ms, whatever the status. [NULL]
aPacket* aLink_AwaitPacket(aLinkRef ref, uint64_t ms);
// The oldest inbound packet that match accepts, without waiting. [NULL]
aPacket* aLink_GetFirst(aLinkRef ref, aPacketMatchProc match, const void* user);
// The first inbound packet that match accepts, waiting up to ms while the link runs with
// status 2; NULL at once for 0 ms and while the status is anything else. [NULL]
aPacket* aLink_AwaitFirst(aLinkRef ref, aPacketMatchProc match, const void* user, uint64_t ms);
// Removes and frees the queued inbound packets that match accepts; how many. [0]
uint32_t aLink_DrainPackets(aLinkRef ref, aPacketMatchProc match, const void* user);
// Queues a copy for the writer; aErrParam for a NULL or invalid packet, aErrNotReady while
// another holder's reset has no FIFO in place. [aErrParam]
aErr aLink_PutPacket(aLinkRef ref, const aPacket* packet);
// Sets the filter, or removes it with NULL. Once this returns, the old filter is not running
// and is never called again. [aErrParam]
aErr aLink_InstallUserPacketFilter(aLinkRef ref, aUserPacketFilterProc filter, void* user);
// Removes the filter only while it is still the pair (filter, user), so that one holder of a
// shared link never removes another holder's filter: aErrNone when it removed it, aErrNotFound
// when another filter or none is installed (nothing changes), aErrParam for a NULL filter.
// Once this returns, the pair is not running and is never called again. [aErrParam]
aErr aLink_RemoveUserPacketFilterIf(aLinkRef ref, aUserPacketFilterProc filter, void* user);
// Pooled mode: the writer gathers queued packets into writes of up to 4096 bytes. [aErrParam]
aErr aLink_EnablePooledPackets(aLinkRef ref, bool on);
// Runs the handshake and waits up to about 2 s for it: aErrNone when it completed,
// aErrNotReady otherwise (the reader keeps trying) and at once for a stopped link. Then
// drops the unsent AD 00 packets and, after 100 ms, the late answers. [aErrParam]
aErr aLink_Sync(aLinkRef ref);
// Queues AF 01 on. [aErrNotFound]
aErr aLink_ForceRoute(aLinkRef ref, uint8_t on);
// Starts the reader and writer and queues AF 01 01. aErrParam for a link without stream,
// aErrResource when a thread cannot be made, aErrIndexRange when they are not both up with
// status 2 within about 2 s. [aErrParam]
aErr aLink_Start(aLinkRef ref);

// The link's packet log: a ring of records (1 sent, 2 received, 3 text) fed by the threads.
// Size in bytes, before the first enable: above 0x4000000 aErrParam, negative means 0 (the
// default, 64 KiB), aErrBusy once the log exists. [aErrParam]
aErr aLink_PacketDebug_SetLogSize(aLinkRef ref, int32_t size);
// Makes the log (and its lock) on first use and marks it enabled. [aErrParam]
aErr aLink_PacketDebug_Enable(aLinkRef ref);
// Marks the log disabled; recording goes on while the link has a log. aErrNotReady without
// a log. [aErrParam]
aErr aLink_PacketDebug_Disable(aLinkRef ref);
// Takes the oldest record: *length holds the buffer's capacity on entry, the record's length
// on return. aErrNotReady without a log, else the ring's answer. [aErrParam]
aErr aLink_PacketDebug_Read(aLinkRef ref, int* kind, uint32_t* length, uint8_t* data);
// Stores a record of at most 255 bytes (a marker, as a rule kind 3). [aErrParam]
aErr aLink_PacketDebug_Write(aLinkRef ref, uint8_t kind, uint32_t length, const uint8_t* data);
