#include "aLinkManagerInternal.h"

#include <climits>
#include <mutex>
#include <new>

#include "aLinkInternal.h"
#include "unix_mutex.h"

namespace {

struct Links {
  linkItem* head = nullptr;
  uint32_t nextID = 1;
  aMutex* lock = nullptr;
  size_t count = 0;
  int lockCreations = 0;
};

Links _links;
std::once_flag sLockOnce;

aMutex* sLock() {
  std::call_once(sLockOnce, [] {
    _links.lock = aMutex_Create("aLink_Managed");
    ++_links.lockCreations;
  });
  return _links.lock;
}

// Holds the registry lock for one scope.
class Held {
 public:
  Held() : lock_(sLock()) { aMutex_Lock(lock_); }
  ~Held() { aMutex_Unlock(lock_); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  aMutex* lock_;
};

linkItem* sFindByIDLocked(aLinkRef ref) {
  if (ref == 0) return nullptr;
  for (linkItem* item = _links.head; item != nullptr; item = item->next) {
    if (item->id == ref) return item;
  }
  return nullptr;
}

linkItem* sFindByIdentifierLocked(uint32_t key, uint32_t type) {
  for (linkItem* item = _links.head; item != nullptr; item = item->next) {
    if (item->ident0 == key && item->type == type) return item;
  }
  return nullptr;
}

linkItem* sFindByTridentLocked(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  for (linkItem* item = _links.head; item != nullptr; item = item->next) {
    if (item->ident0 == ident0 && item->ident1 == ident1 && item->ident2 == ident2) return item;
  }
  return nullptr;
}

// The next free id, wrapping past 2^32 - 1 and skipping 0 and registered ids; 0 when every
// id is taken.
uint32_t sDrawIDLocked() {
  for (uint64_t tries = 0; tries <= UINT32_MAX; ++tries) {
    uint32_t id = _links.nextID++;
    if (id != 0 && sFindByIDLocked(id) == nullptr) return id;
  }
  return 0;
}

void sUnlinkLocked(linkItem* entry) {
  linkItem** at = &_links.head;
  while (*at != nullptr && *at != entry) at = &(*at)->next;
  if (*at == nullptr) return;
  *at = entry->next;
  entry->next = nullptr;
  entry->registered = false;
  --_links.count;
}

linkItem* sPinLocked(linkItem* entry) {
  if (entry != nullptr) ++entry->pins;
  return entry;
}

// Frees an entry that nobody pins any more.
void sFree(linkItem* entry) {
  if (entry->releaseLink != nullptr && entry->link != nullptr) entry->releaseLink(entry->link);
  delete entry->link;
  delete entry;
}

}  // namespace

aLinkRef sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
  linkItem* entry = new (std::nothrow) linkItem{};
  aLink* link = new (std::nothrow) aLink{};
  if (entry == nullptr || link == nullptr) {
    delete entry;
    delete link;
    return 0;
  }
  entry->ident0 = ident0;
  entry->ident1 = ident1;
  entry->ident2 = ident2;
  entry->type = type;
  entry->link = link;
  entry->pins = 1;
  entry->registered = true;
  Held held;
  uint32_t id = sDrawIDLocked();
  if (id == 0) {
    delete link;
    delete entry;
    return 0;
  }
  entry->id = id;
  link->ref = id;
  entry->next = _links.head;
  _links.head = entry;
  ++_links.count;
  return id;
}

aLinkRef sCreate(uint32_t ident0, uint32_t ident1, uint32_t type) {
  return sCreate2(ident0, ident1, 0, type);
}

linkItem* sLookupEntryByID(aLinkRef ref) {
  Held held;
  return sFindByIDLocked(ref);
}

linkItem* sLookupEntryByIdentifier(uint32_t key, uint32_t type) {
  Held held;
  return sFindByIdentifierLocked(key, type);
}

linkItem* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  Held held;
  return sFindByTridentLocked(ident0, ident1, ident2);
}

aLink* sGetLink(aLinkRef ref) {
  Held held;
  linkItem* entry = sFindByIDLocked(ref);
  return entry != nullptr ? entry->link : nullptr;
}

linkItem* sPinEntryByID(aLinkRef ref) {
  Held held;
  return sPinLocked(sFindByIDLocked(ref));
}

linkItem* sPinEntryByIdentifier(uint32_t key, uint32_t type) {
  Held held;
  return sPinLocked(sFindByIdentifierLocked(key, type));
}

linkItem* sPinEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  Held held;
  return sPinLocked(sFindByTridentLocked(ident0, ident1, ident2));
}

void sUnpinEntry(linkItem** entry) {
  if (entry == nullptr || *entry == nullptr) return;
  linkItem* item = *entry;
  *entry = nullptr;
  bool last;
  {
    Held held;
    last = --item->pins == 0;
  }
  if (last) sFree(item);
}

aErr sChangeUseCount(linkItem* entry, int delta) {
  if (entry == nullptr) return aErrParam;
  Held held;
  if (!entry->registered) return aErrNotFound;
  int count = entry->use_count + delta;
  if (count > INT16_MAX) return aErrRange;
  // Far below any real count; the 16-bit field keeps what it can.
  entry->use_count = static_cast<int16_t>(count < INT16_MIN ? INT16_MIN : count);
  return aErrNone;
}

linkItem* sReleaseUse(aLinkRef ref, bool* found, int* remaining) {
  Held held;
  linkItem* entry = sFindByIDLocked(ref);
  if (found != nullptr) *found = entry != nullptr;
  if (entry == nullptr) {
    if (remaining != nullptr) *remaining = 0;
    return nullptr;
  }
  if (entry->use_count > INT16_MIN) --entry->use_count;
  if (remaining != nullptr) *remaining = entry->use_count;
  if (entry->use_count > 0) return nullptr;
  sUnlinkLocked(entry);
  return entry;
}

aServer* sEntryServer(linkItem* entry) {
  if (entry == nullptr) return nullptr;
  Held held;
  return entry->server;
}

bool sSwapEntryServer(linkItem* entry, aServer* expected, aServer* server) {
  if (entry == nullptr) return false;
  Held held;
  if (entry->server != expected) return false;
  entry->server = server;
  return true;
}

linkItem* sExtractEntry(aLinkRef ref) {
  Held held;
  linkItem* entry = sFindByIDLocked(ref);
  if (entry != nullptr) sUnlinkLocked(entry);
  return entry;
}

void sRetireEntry(linkItem** entry, void (*release)(aLink* link)) {
  if (entry == nullptr || *entry == nullptr) return;
  linkItem* item = *entry;
  *entry = nullptr;
  bool last;
  {
    Held held;
    sUnlinkLocked(item);  // nothing when already extracted
    item->releaseLink = release;
    last = --item->pins == 0;
  }
  if (last) sFree(item);
}

aMutex* sRegistryLock() { return sLock(); }

int sRegistryLockCreations() {
  Held held;
  return _links.lockCreations;
}

size_t sRegistryCount() {
  Held held;
  return _links.count;
}

void sRegistrySetNextID(uint32_t id) {
  Held held;
  _links.nextID = id;
}
