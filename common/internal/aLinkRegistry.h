// The link registry (internal to the library): one entry per device link, named by its aLinkID,
// found again by the module's identifiers, and counted by its holders. Each entry carries the
// link's engine record, allocated with it.
//
// Contracts:
// - One process-wide lock, made on the first registry call, guards the list, the next id and
//   every use count. It is held only while searching, inserting, unlinking or counting; never
//   while a link is started, stopped or waited on.
// - Entries are shared-owned: the registry holds one reference from creation until the entry is
//   freed after its last use, and every operation in progress holds another (sHoldEntry,
//   sHoldLink), so an entry and its engine record live until the last operation that found
//   them returns, even when another thread destroys the link meanwhile. The plain lookups
//   (sLookupEntryBy...) hand out the bare pointer: only for a caller that knows the link
//   outlives its use (its creator, its own teardown, tests).
// - `server` and `chainedID` are atomics: they are set while other threads look at them.
// - Use counts are changed only under the lock, and the operations that find an entry and count
//   it (sAddUse, sAddUseByIdentifier, sReleaseUse) do both in one hold of the lock, so two
//   holders releasing at once can never both see themselves as the last.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/aLink.h"
#include "common/aLinkServing.h"
#include "common/aStream.h"

struct aLink;
struct aServer;

// Identifiers[0..2] by type: 0 caller's stream (0xFFFFFFFF, 0, 0); 1 USB (serial, 0, 0);
// 2 TCP/IP (serial, IPv4 in network order, port); 3 serial (serial, 0, 0); 4 client of a link
// sharing server (server's IPv4, its port, process-wide client counter).
struct aLinkEntry {
  aLinkID id;
  std::atomic<aLinkID> chainedID;  // device link destroyed together with this client link, or 0
  std::atomic<aServer*> server;    // link sharing server attached to this device link, or null
  uint32_t identifiers[3];
  uint32_t type;
  int16_t useCount;
  aLink* link;  // the engine record, owned with the entry; null only when it could not be allocated
  aLinkEntry* next;
  // The registry's own reference, from registration until sFreeEntry; holders copy it.
  std::shared_ptr<aLinkEntry> self;
};

// One operation's hold on an entry, or on its engine record (which keeps the entry alive).
using aLinkEntryRef = std::shared_ptr<aLinkEntry>;
using aLinkRef = std::shared_ptr<aLink>;

// sCreate2(ident0, ident1, 0, type).
aLinkID sCreate(uint32_t ident0, uint32_t ident1, uint32_t type);

// Registers a new entry with a zeroed engine record, use count 0, newest first; its id. 0 when
// memory runs out or the registry lock cannot be made.
aLinkID sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type);

// The entry with that id, or null.
aLinkEntry* sLookupEntryByID(aLinkID id);

// The newest entry whose identifiers[0] and type match, or null.
aLinkEntry* sLookupEntryByIdentifier(uint32_t serialNumber, uint32_t type);

// The newest entry, of any type, whose three identifiers match, or null.
aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);

// Unlinks the entry with that id and hands it to the caller, who frees it; null when absent.
aLinkEntry* sExtractEntry(aLinkID id);

// useCount += delta (kept to 16 bits) under the lock; nothing for a null entry. The new count
// (0 for a null entry).
int16_t sChangeUseCount(aLinkEntry* entry, int16_t delta);

// The entry's engine record, or null.
aLink* sGetLink(aLinkID id);

// Shared ownership of the registered entry with that id (of its engine record, for sHoldLink),
// for the length of one operation; null when the id names no entry (or the entry has no engine
// record). Freed entries stay alive until the last hold goes.
aLinkEntryRef sHoldEntry(aLinkID id);
aLinkRef sHoldLink(aLinkID id);

// Adds one use to the entry with that id. aErrParam when there is none.
aErr sAddUse(aLinkID id);

// Finds the newest entry by (serial number, type) and adds one use to it, in one hold of the
// lock; *id receives its id. aErrNotFound when there is none; aErrBusy, with no use added and
// *id set, when refuseServed is set and a link sharing server is attached to it.
aErr sAddUseByIdentifier(uint32_t serialNumber, uint32_t type, bool refuseServed, aLinkID* id);

// Drops one use of the entry with that id; when no use remains (count 0 or below) the entry is
// unlinked in the same hold of the lock and handed to the caller to tear down and free (*last).
// aErrParam when there is no such entry; *last is null unless this was the last use.
aErr sReleaseUse(aLinkID id, aLinkEntry** last);

// Drops the registry's reference to an entry that is no longer in the registry (its engine must
// have been torn down); the entry is freed now, or when the last operation holding it returns.
void sFreeEntry(aLinkEntry** entry);

// aLink_Reset of the entry (see there); aErrParam for a null entry or one without an engine.
aErr aLink_ResetLink(aLinkEntry* entry);

// The link sharing side's procedures as installed now (a copy; null members when none).
aLinkServedProcs aLink_ServedProcs();
