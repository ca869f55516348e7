#pragma once
// The private part of Link, for the units of the object API.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "StreamTable.h"
#include "aLogger.h"

namespace Tavrin::Corvantis {

// The stream worker's longest sleep on an empty ring: a backstop only, since every push and
// every stop wakes it.
constexpr std::chrono::milliseconds kWorkerIdleBound{1000};
// How long the worker watches an emptied ring, when it does, before it sleeps.
constexpr std::chrono::microseconds kWorkerWatch{50};
// A sleep of the worker shorter than this (its wake-up's own delay included) counts as samples
// coming close together, so that it watches the next time the ring empties.
constexpr std::chrono::microseconds kWorkerShortSleep{4 * kWorkerWatch};
// How far apart the watching worker looks at the ring.
constexpr std::chrono::microseconds kWorkerLook{5};

struct Link::impl {
  impl(Link& owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  Link& owner;
  aLinkRef linkRef = 0;            // 0: none held
  aLogger* packetLogger = nullptr;  // the packet log's logger thread, made for one link
  aOrvexConfig config;
  // Value streams. The filter (on the held link's reader thread, under the link's filter lock)
  // takes streamsLock; nothing takes the two in the other order.
  StreamMap streams;
  std::thread* callbackWorker = nullptr;  // joinable while set; null when none was started
  Tavrin::LocklessQueue_SPSC<asyncPacket> callbackQueue{kCallbackRing};
  Tavrin::ConsumerWake callbackWake;  // the filter's push and a stop wake the sleeping worker
  // Packet copies the worker is done with, back to the filter for the next samples: the worker
  // pushes, the filter pops (closeStreams, once neither runs, destroys what is left).
  Tavrin::LocklessQueue_SPSC<aPacket*> spareQueue{kCallbackRing};
  std::promise<void> stopWorker;
  std::mutex streamsLock;
  // A stop asked from inside a callback (on the worker): the worker ends once it returns. The
  // worker shares it, so that it reads nothing of the Link after that callback.
  std::shared_ptr<std::atomic<bool>> endAfterCallback;
  std::string name;                // at most 1024 characters
  linkSpec* specifier = nullptr;   // owned copy; none until one is set

  aErr discoveryAndConnectHelper(linkType type, uint32_t serial, uint8_t model, Link* link);
  aErr connectHelper();
  // Steps of connectHelper before the wait. An error means no link is held by this call:
  // the factory was not reached, or it gave 0.
  aErr createFromSpecifier();
  aErr linkCreateHelper(linkSpec& spec);
  aErr waitForLink(uint16_t tries);
  aErr setSpecifier(linkSpec spec);
  aErr getSpecifier(linkSpec* out);
  const char* getName() { return name.c_str(); }

  static constexpr uint16_t kCallbackRing = 500;

  // Installs (on) or removes this Link's stream filter on the held link, and starts or stops
  // the callback worker; off also clears `streams`. aErrConnection without a link.
  aErr installStreamFilter(bool on);
  void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
  static void asyncWork(Tavrin::LocklessQueue_SPSC<asyncPacket>* ring, Tavrin::LocklessQueue_SPSC<aPacket*>* spares,
                        Tavrin::ConsumerWake* wake, std::future<void> stop,
                        std::shared_ptr<std::atomic<bool>> endAfterCallback);
  bool onWorker() const;
  aErr startWorker();
  // Joins the worker, then destroys the packet copies left in the ring. From inside a callback
  // it only marks the worker to end after that callback.
  void stopWorkerThread();
  void dropQueuedSamples();
  // Everything of the streams, for the destructor: worker joined, filter removed, table and
  // ring emptied.
  void closeStreams();
  // Removes this Link's filter from the held link when it is still the one installed.
  aErr removeOwnFilter();
  // The device's stream control: set of option 1 (on) or 2 (off) of command 0x5D with the
  // key's low 32 bits, and its acknowledgement.
  aErr sendStreamControl(uint8_t module, uint64_t key, bool enable);

  // Stops the logger thread (it reads the link by ref) before the link goes.
  void stopPacketLogger();
  // The logger's drain procedure: one record of the link's packet log to one line of the file.
  static void readDebugBuffer(void* file, uint32_t ref);
};

// A device's module address: even and not 0.
inline bool sIsModuleAddress(uint8_t address) { return address != 0 && (address & 1) == 0; }

// Puts one packet [payload] to `address` on the link: aErrResource when it cannot be made,
// else the put's result.
aErr sPutPayload(aLinkRef ref, uint8_t address, uint8_t length, const uint8_t* payload);

// The result of a wait on the link that ended without a reply: aErrConnection when the link no
// longer runs (its device went away, or it was stopped), so that a device that is gone never
// reads as a slow one; aErrTimeout when it still runs and nothing came in time.
aErr sNoReply(aLinkRef ref);

// The held link of a Link (0: none), for the library's own tests.
aLinkRef heldLinkRef(const Link& link);

}  // namespace Tavrin::Corvantis
