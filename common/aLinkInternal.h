#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aPacketDebug.h"
#include "unix_mutex.h"
#include "unix_thread.h"

// The link engine's record and the operations the link factories and the link server use.

#define aLINK_CHECK 0xCEED

// Link-level packets use odd addresses, which no device has.
#define aLINK_SYNC_ADDRESS 0xAD   // cmdSYNC: AD 00, sent six in a row
#define aLINK_ROUTE_ADDRESS 0xAF  // cmdFORCEROUTE: AF 01 on
#define aLINK_SYNC_COUNT 6

// The pooled writer's batch; a batch holding more than kPoolFill bytes takes no more packets,
// so the greatest packet always fits.
constexpr uint32_t kPoolBytes = 4096;
constexpr uint32_t kPoolFill = kPoolBytes - aPACKET_MAX_WIRE;

// While a handshake is under way, empty reads restart it only after this long without a
// received byte, so that a kind that pauses between the bytes of an answer (framing) can
// finish it.
constexpr uint64_t kSyncQuietMs = 250;
// After an empty read the reader waits this long at most for the stream to become readable.
// A running link's reader has nothing else to do until a byte comes but notice a stop, and a
// stop wakes a stream that can be woken (aStream_Wake): over such a stream it waits
// kReaderIdleWaitMs, so that an idle link wakes four times a second rather than a hundred.
constexpr uint32_t kReaderWaitMs = 10;
constexpr uint32_t kReaderIdleWaitMs = 250;
// In a request/reply exchange each step follows the last within microseconds, while a thread
// that sleeps is woken on another processor at a far higher cost. So the reader keeps asking
// a dry stream, the writer watches for puts and a caller for inbound packets, this long
// before they sleep.
constexpr auto kHandOffSpin = std::chrono::microseconds(50);
// Pause after a stream read error.
constexpr uint64_t kReadErrorPauseMs = 100;

enum {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

struct aServer;

// Words shared between the link's threads and its callers are atomic; the rest belongs to
// one thread at a time (the reader's parse state to the reader, the stream to the reader
// for get and the writer for write, the filter to whoever holds userFilterSema, the packet
// log to whoever holds logSema).
//
// A link has many holders in many threads, and any of them may reset, start, stop or release
// it while the others go on calling it. The life-cycle lock keeps those four from
// overlapping; the calls of the others never take it. They find FIFOs by atomic ids (a
// destroyed FIFO refuses them), and the filter lock and the log lock, once made, live as
// long as the record, which lives as long as the registry entry.
struct aLink {
  std::atomic<uint16_t> check;
  uint32_t ref;
  std::atomic<uint8_t> running;
  std::atomic<int> status;
  std::atomic<aPacketFifoId> inFifo;
  aPacket* packet;  // the reader's parse packet
  std::atomic<aPacketFifoId> outFifo;
  aThread* readerThread;
  aThread* writerThread;
  aThreadProc readerProc;
  aThreadProc writerProc;
  std::atomic<uint8_t> readerRunning;
  std::atomic<uint8_t> writerRunning;
  aStream* stream;  // owned
  std::atomic<uint32_t> hbState;
  std::atomic<uint32_t> syncState;
  uint8_t syncAddress;
  std::atomic<aPacketLog*> packetLog;
  std::atomic<uint32_t> logSize;
  std::atomic<aMutex*> logSema;
  aUserPacketFilterProc filterProc;
  void* filterRef;
  aMutex* userFilterSema;
  std::atomic<uint8_t> pooled;
  // The reader's pacing of handshake restarts (monotonic ms).
  uint64_t syncStartMs;
  uint64_t syncLastByteMs;
  // Held by start, stop, reset and the last release for their whole length.
  std::mutex lifecycle;
  // Raised after each put into the outbound FIFO by a holder, and into the inbound FIFO by
  // the reader: what the writer and the waiting callers watch while they spin.
  std::atomic<uint32_t> outPuts;
  std::atomic<uint32_t> inPuts;
};

// Spins until word differs from seen or kHandOffSpin has passed; true when it changed.
bool aLink_SpinUntilChanged(const std::atomic<uint32_t>& word, uint32_t seen);

inline bool aVALIDLINK(const aLink* link) { return link != nullptr && link->check.load() == aLINK_CHECK; }

// The pinned record of ref while it is initialised and not yet released, else NULL: the
// unregistered-link case of every operation. Held for the length of one operation.
class PinnedLink {
 public:
  explicit PinnedLink(aLinkRef ref) : pin_(ref) {}
  aLink* link() const { return aVALIDLINK(pin_.link()) ? pin_.link() : nullptr; }

 private:
  LinkPin pin_;
};

// The thread procedures of a link (aLinkReader.cpp, aLinkWriter.cpp).
aThreadProc aLink_ReaderProc();
aThreadProc aLink_WriterProc();
// Writes what the outbound FIFO holds (the route-off packet among it), as the writer does
// when it ends; only by the thread that writes the stream: the writer, or the stop once it
// has joined the writer.
void aLink_FlushOutbound(aLink* link);
// Records a packet's wire form in the link's packet log, when it has one.
void aLink_RecordPacket(aLink* link, uint8_t kind, const aPacket* packet);

// Fills the link record of a registered entry for a stream (NULL: status 5): new FIFOs, parse
// packet and filter lock. The ref, or 0 when no entry or record exists or those cannot be
// made.
aLinkRef aLink_Init(aLinkRef ref, aStream* stream);
// The work of aLink_Init on a record whose FIFOs and stream are gone (a new one, or one being
// reset, with its life-cycle lock held): the filter, pooled mode and packet log are dropped;
// the filter lock and the log lock are kept. False when something cannot be made.
bool aLink_InitRecord(aLink* link, aLinkRef ref, aStream* stream);
// Stops the threads: queues AF 01 00 when both run, clears running and joins every thread
// that exists; the writer first writes what is queued. aErrUnknown when a join fails.
// aLink_Stop takes the life-cycle lock; aLink_StopLocked expects it held.
aErr aLink_Stop(aLink* link);
aErr aLink_StopLocked(aLink* link);
// aLink_Start's work, with the life-cycle lock held.
aErr aLink_StartLocked(aLink* link);
// Releases what the record holds besides its FIFOs and stream (parse packet, packet log and
// its lock, filter lock) and clears its check word; the registry calls it when the last pin
// of a destroyed link goes, when nobody can reach the record any more.
void aLink_ReleaseRecord(aLink* link);

// The reader thread's work, one step per stream read, so that it can be driven without
// threads: aLink_ReaderBegin once, then aLink_ReaderStep with each read's result and byte
// (nowMs from aTime_GetMonotonicMS). The caller does the waiting: kReaderWaitMs (or
// kReaderIdleWaitMs) for readability after aErrNotReady, kReadErrorPauseMs after any other
// error.
void aLink_ReaderBegin(aLink* link);
void aLink_ReaderStep(aLink* link, aErr result, uint8_t byte, uint64_t nowMs);

// Match procedure that accepts every packet: empties a FIFO through the drain functions.
inline uint8_t drainAll(const aPacket*, const void*) { return 1; }

// Filled in by the link server: destroys the server a device link's entry holds, at the
// link's last release. NULL until then (no entry holds a server before).
extern void (*aLink_ServerReleaseHook)(aServer** server);

// The transport stream of a link being made, for aLink_CreateRegistered; ref is the maker's.
// The link owns *stream once the maker returns, whatever its result.
typedef aErr (*aLinkStreamMaker)(void* ref, aStream** stream);

// The factories' path for a device that may have a link already: the newest entry with this
// key and type gains a use and its id is the result. 0 when there is none (*found false), and
// when the entry cannot take another use or, with refuseServed, a link server fronts it
// (*found true). found may be NULL.
aLinkRef aLink_ShareRegistered(uint32_t key, uint32_t type, bool refuseServed, bool* found);

// The factories' common path for a new link: registers an entry with these keys, makes its stream, fills
// the record, counts the first use, starts the link and, with sync set, runs the handshake
// (whose failure fails the creation). 0 on any failure, with nothing left registered; the id
// drawn is not reused.
aLinkRef aLink_CreateRegistered(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type,
                                aLinkStreamMaker make, void* makerRef, bool sync);

// The work of aLink_Reset on an entry (see there). [aErrParam for NULL or no link record]
aErr aLink_ResetLink(linkItem* entry);
