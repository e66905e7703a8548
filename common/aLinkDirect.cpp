// Creation of a link over a caller's stream, and the destruction of every registered link.
#include "common/aLink.h"

#include "common/aLinkRegistry.h"
#include "common/aLink_internal.h"
#include "common/aStream.h"
#include "server/aServer_ZeroMQ.h"

namespace {

// Identifiers of a link over a caller's stream: such links are never looked up again.
constexpr uint32_t kStreamLinkSerial = 0xFFFFFFFF;
constexpr uint32_t kStreamLinkType = 0;

// Tears down an entry whose last use is gone and that is out of the registry already. The
// engine's own stop delivers force-route off without looking the id up again.
aErr sTearDown(aLinkEntry* entry) {
  aLink* link = entry->link;
  aErr result = aErrNone;
  if (!link) {
    result = aErrUnknown;
  } else if (aVALIDLINK(link)) {
    aLink_SetUserPacketFilter(link, nullptr, nullptr);
    aLink_Stop(link);
    if (entry->server) aServer_Destroy(&entry->server);  // it still uses the FIFOs
    if (entry->chainedID) {
      aLinkID chained = entry->chainedID;
      aLink_Destroy(&chained);
    }
    result = aLink_Finish(link);
  }
  sFreeEntry(&entry);
  return result;
}

}  // namespace

aLinkID aLink_Create(aStream* stream) {
  aLinkID id = stream ? sCreate(kStreamLinkSerial, 0, kStreamLinkType) : 0;
  if (!id || aLink_Init(id, stream) != id) {
    if (id) aLink_Destroy(&id);
    aStream_Destroy(&stream);
    return 0;
  }
  if (aLink_Start(id) != aErrNone) {
    aLink_Destroy(&id);  // the use count is still 0: this tears the link down, stream included
    return 0;
  }
  sAddUse(id);
  return id;
}

aErr aLink_Destroy(aLinkID* id) {
  if (!id) return aErrParam;
  aLinkEntry* last = nullptr;
  const aErr released = sReleaseUse(*id, &last);
  *id = 0;
  if (released != aErrNone) return aErrParam;
  return last ? sTearDown(last) : aErrNone;
}
