#include "common/internal/aLinkRegistry.h"

#include <atomic>
#include <new>

#include "common/aMutex.h"
#include "common/internal/aLink_internal.h"

namespace {

// The registry: newest entry first.
aLinkEntry* _links = nullptr;
aLinkID nextID = 1;

// Made by the first registry call; a function-local static, so two threads making their first
// call at once still get one lock. Never destroyed: link threads may outlive static teardown.
aMutex* sRegistryLock() {
  static aMutex* const lock = aMutex_Create("aLink_Managed");
  return lock;
}

// Runs body() with the registry lock held; fallback when the lock does not exist.
template <typename Result, typename Body>
Result sLocked(Body body, Result fallback) {
  aMutex* lock = sRegistryLock();
  if (!lock || aMutex_Lock(lock) != aErrNone) return fallback;
  Result result = body();
  aMutex_Unlock(lock);
  return result;
}

template <typename Match>
aLinkEntry* sFindLocked(Match match) {
  for (aLinkEntry* entry = _links; entry; entry = entry->next)
    if (match(*entry)) return entry;
  return nullptr;
}

aLinkEntry* sFindByIDLocked(aLinkID id) {
  return sFindLocked([id](const aLinkEntry& entry) { return entry.id == id; });
}

aLinkEntry* sFindByIdentifierLocked(uint32_t serialNumber, uint32_t type) {
  return sFindLocked(
      [=](const aLinkEntry& entry) { return entry.identifiers[0] == serialNumber && entry.type == type; });
}

// Counts the entries taken out of the registry, so that a thread's recent finds (below) are
// known to be still registered. Changed under the registry lock.
std::atomic<uint64_t> sUnlinks{0};

void sUnlinkLocked(aLinkEntry* target) {
  for (aLinkEntry** at = &_links; *at; at = &(*at)->next) {
    if (*at == target) {
      *at = target->next;
      target->next = nullptr;
      sUnlinks.fetch_add(1, std::memory_order_release);
      return;
    }
  }
}

// The entries this thread held last, by id, with the unlink count of when they were found:
// every request and every reply holds its link a few times, and a hit spares the registry lock.
// Any unlink since then sends the next hold to the registry. Ids are never given twice.
struct sRecentEntries {
  static constexpr size_t kSlots = 2;
  aLinkID ids[kSlots] = {};
  uint64_t unlinks[kSlots] = {};
  aLinkEntryRef entries[kSlots];
  size_t next = 0;
};
thread_local sRecentEntries tRecentEntries;

aLinkEntryRef sRecentEntry(aLinkID id) {
  const sRecentEntries& recent = tRecentEntries;
  const uint64_t unlinks = sUnlinks.load(std::memory_order_acquire);
  for (size_t slot = 0; slot < sRecentEntries::kSlots; ++slot)
    if (recent.ids[slot] == id && recent.unlinks[slot] == unlinks && recent.entries[slot]) return recent.entries[slot];
  return nullptr;
}

void sRememberEntry(aLinkID id, uint64_t unlinks, const aLinkEntryRef& entry) {
  sRecentEntries& recent = tRecentEntries;
  const size_t slot = recent.next++ % sRecentEntries::kSlots;
  recent.ids[slot] = id;
  recent.unlinks[slot] = unlinks;
  recent.entries[slot] = entry;
}

void sCountLocked(aLinkEntry* entry, int delta) { entry->useCount = static_cast<int16_t>(entry->useCount + delta); }

aLinkEntry* const kNoEntry = nullptr;

// What the last reference to an entry does.
void sDeleteEntry(aLinkEntry* entry) {
  delete entry->link;
  delete entry;
}

}  // namespace

aLinkID sCreate(uint32_t ident0, uint32_t ident1, uint32_t type) { return sCreate2(ident0, ident1, 0, type); }

aLinkID sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
  auto* entry = new (std::nothrow) aLinkEntry{};
  if (!entry) return 0;
  entry->link = new (std::nothrow) aLink{};
  if (!entry->link) {
    delete entry;
    return 0;
  }
  try {
    entry->self = aLinkEntryRef(entry, sDeleteEntry);
  } catch (...) {  // the deleter ran already
    return 0;
  }
  entry->identifiers[0] = ident0;
  entry->identifiers[1] = ident1;
  entry->identifiers[2] = ident2;
  entry->type = type;
  const aLinkID id = sLocked(
      [entry] {
        entry->id = nextID++;
        entry->link->id = entry->id;
        entry->next = _links;
        _links = entry;
        return entry->id;
      },
      aLinkID{0});
  if (id == 0) sFreeEntry(&entry);
  return id;
}

aLinkEntry* sLookupEntryByID(aLinkID id) {
  return sLocked([id] { return sFindByIDLocked(id); }, kNoEntry);
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t serialNumber, uint32_t type) {
  return sLocked([=] { return sFindByIdentifierLocked(serialNumber, type); }, kNoEntry);
}

aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  return sLocked(
      [=] {
        return sFindLocked([=](const aLinkEntry& entry) {
          return entry.identifiers[0] == ident0 && entry.identifiers[1] == ident1 && entry.identifiers[2] == ident2;
        });
      },
      kNoEntry);
}

aLinkEntry* sExtractEntry(aLinkID id) {
  return sLocked(
      [id] {
        aLinkEntry* entry = sFindByIDLocked(id);
        if (entry) sUnlinkLocked(entry);
        return entry;
      },
      kNoEntry);
}

int16_t sChangeUseCount(aLinkEntry* entry, int16_t delta) {
  if (!entry) return 0;
  return sLocked<int16_t>(
      [=] {
        sCountLocked(entry, delta);
        return entry->useCount;
      },
      int16_t{0});
}

aLink* sGetLink(aLinkID id) {
  aLinkEntry* entry = sLookupEntryByID(id);
  return entry ? entry->link : nullptr;
}

aLinkEntryRef sHoldEntry(aLinkID id) {
  if (aLinkEntryRef recent = sRecentEntry(id)) return recent;
  uint64_t unlinks = 0;
  aLinkEntryRef held = sLocked<aLinkEntryRef>(
      [id, &unlinks]() -> aLinkEntryRef {
        unlinks = sUnlinks.load(std::memory_order_relaxed);
        aLinkEntry* entry = sFindByIDLocked(id);
        return entry ? entry->self : nullptr;
      },
      nullptr);
  if (held) sRememberEntry(id, unlinks, held);
  return held;
}

aLinkRef sHoldLink(aLinkID id) {
  aLinkEntryRef entry = sHoldEntry(id);
  if (!entry || !entry->link) return nullptr;
  aLink* link = entry->link;
  return aLinkRef(std::move(entry), link);
}

aErr sAddUse(aLinkID id) {
  return sLocked<aErr>(
      [id]() -> aErr {
        aLinkEntry* entry = sFindByIDLocked(id);
        if (!entry) return aErrParam;
        sCountLocked(entry, +1);
        return aErrNone;
      },
      aErrParam);
}

aErr sAddUseByIdentifier(uint32_t serialNumber, uint32_t type, bool refuseServed, aLinkID* id) {
  if (!id) return aErrParam;
  return sLocked<aErr>(
      [=]() -> aErr {
        aLinkEntry* entry = sFindByIdentifierLocked(serialNumber, type);
        if (!entry) return aErrNotFound;
        *id = entry->id;
        if (refuseServed && entry->server) return aErrBusy;
        sCountLocked(entry, +1);
        return aErrNone;
      },
      aErrNotFound);
}

aErr sReleaseUse(aLinkID id, aLinkEntry** last) {
  if (!last) return aErrParam;
  *last = nullptr;
  return sLocked<aErr>(
      [=]() -> aErr {
        aLinkEntry* entry = sFindByIDLocked(id);
        if (!entry) return aErrParam;
        sCountLocked(entry, -1);
        if (entry->useCount <= 0) {
          sUnlinkLocked(entry);
          *last = entry;
        }
        return aErrNone;
      },
      aErrParam);
}

void sFreeEntry(aLinkEntry** entry) {
  if (!entry || !*entry) return;
  // Taken under the lock that holders copy it under; released outside it, since the last
  // release frees the entry.
  aMutex* lock = sRegistryLock();
  const bool locked = lock && aMutex_Lock(lock) == aErrNone;
  aLinkEntryRef registryReference = std::move((*entry)->self);
  if (locked) aMutex_Unlock(lock);
  *entry = nullptr;
}
