#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "unix_mutex.h"

// The process-wide registry of link-engine links. Private to the link layer: the link engine,
// the link factories and the link server include it; users name a link by its aLinkRef only.
//
// Every operation takes the registry lock ("aLink_Managed", made once by whichever call comes
// first) and releases it before it returns; no other lock is ever taken under it.

struct aLink;
struct aServer;

// Keys of a link made from a caller's stream (type 0).
#define aLINK_STREAM_IDENT 0xFFFFFFFFu

struct linkItem {
  uint32_t id;            // the link's aLinkRef; never 0
  uint32_t deviceLinkId;  // client links made for a server: the device link they hold a use of
  aServer* server;        // the link server fronting this device link (owned), or NULL
  uint32_t ident0;
  uint32_t ident1;
  uint32_t ident2;
  uint32_t type;      // a linkType; 0 for a link over a caller's stream
  int16_t use_count;  // holders of the aLinkRef; never raised past INT16_MAX
  aLink* link;        // the link record, owned
  linkItem* next;     // the next older entry
  // Lifetime, under the registry lock: the list holds one pin while the entry is registered,
  // every link operation one while it runs. The last pin of a retired entry frees it.
  uint32_t pins;
  bool registered;
  void (*releaseLink)(aLink* link);  // set when retired; frees what pinned users may touch
};

// A new entry with the keys and a zero-filled link record whose ref is the id: its id, or 0
// when memory runs out or every id is in use (nothing is registered then). Ids count from 1;
// after 2^32 - 1 they wrap, skipping 0 and every id still registered.
aLinkRef sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type);
aLinkRef sCreate(uint32_t ident0, uint32_t ident1, uint32_t type);

// Lookups without a pin: the entry stays valid only while the caller holds a use of the link.
linkItem* sLookupEntryByID(aLinkRef ref);
// The newest entry with this ident0 and type.
linkItem* sLookupEntryByIdentifier(uint32_t key, uint32_t type);
// The newest entry with these three keys, type not compared.
linkItem* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);
// The entry's link record, or NULL when no entry has that id.
aLink* sGetLink(aLinkRef ref);

// The same lookups with a pin: the entry and its record stay allocated until sUnpinEntry,
// even when the link's last use is released meanwhile. NULL when none matches.
linkItem* sPinEntryByID(aLinkRef ref);
linkItem* sPinEntryByIdentifier(uint32_t key, uint32_t type);
linkItem* sPinEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);
// Drops a pin and clears the handle; a NULL handle or entry does nothing.
void sUnpinEntry(linkItem** entry);

// Adds delta to use_count. aErrParam for a NULL entry; aErrNotFound for an entry no longer
// registered (its last use is gone: it cannot be handed out again); aErrRange when the count
// would pass INT16_MAX (nothing changes). A count of 0 may go to -1.
aErr sChangeUseCount(linkItem* entry, int delta);

// Releases one use in one lock hold: lowers use_count and, when it is then 0 or below, takes
// the entry out of the registry. The extracted entry is returned (the caller retires it);
// NULL otherwise. *found tells whether an entry had the id, *remaining the count after the
// release.
linkItem* sReleaseUse(aLinkRef ref, bool* found, int* remaining);

// The server an entry holds, read under the registry lock (a server is attached by one thread
// while another may be sharing the entry); NULL for a NULL entry.
aServer* sEntryServer(linkItem* entry);
// Attaches `server` in place of `expected` under the registry lock; false, with nothing
// changed, when the entry holds another or is NULL.
bool sSwapEntryServer(linkItem* entry, aServer* expected, aServer* server);

// Takes the entry with that id out of the registry and returns it, or NULL (list unchanged).
linkItem* sExtractEntry(aLinkRef ref);

// Ends an extracted entry: drops the registry's pin and clears the handle. When no other pin
// is held, release(link) runs now (outside the lock) and the entry is freed; otherwise the
// last sUnpinEntry does it. release may be NULL.
void sRetireEntry(linkItem** entry, void (*release)(aLink* link));

// RAII pin by id, for the length of one link operation.
class LinkPin {
 public:
  explicit LinkPin(aLinkRef ref) : entry_(sPinEntryByID(ref)) {}
  ~LinkPin() { sUnpinEntry(&entry_); }
  LinkPin(const LinkPin&) = delete;
  LinkPin& operator=(const LinkPin&) = delete;
  linkItem* entry() const { return entry_; }
  // The entry's record, or NULL when the link is unregistered.
  aLink* link() const { return entry_ != nullptr ? entry_->link : nullptr; }

 private:
  linkItem* entry_;
};

// For tests of the registry itself: the lock (made on first use) and how often it was made,
// the number of registered entries, and the id the next creation tries first.
aMutex* sRegistryLock();
int sRegistryLockCreations();
size_t sRegistryCount();
void sRegistrySetNextID(uint32_t id);
