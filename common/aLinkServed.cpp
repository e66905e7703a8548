// Device links served by a link sharing server, and the owner's client link chained to one.
#include <mutex>

#include "common/aLink.h"
#include "common/aLinkServing.h"
#include "common/aTime.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"

namespace {

// The installed procedures; every use takes a copy, so no call runs on a table being replaced.
std::mutex sServedProcsLock;
aLinkServedProcs sServedProcs{};

// The server's details are learnt in this many tries, pausing after every failed one.
constexpr int kDetailTries = 5;
constexpr uint32_t kDetailPauseMs = 10;

// The server for the device link, started and attached to its entry; its port and interface.
// Null on failure; a server that was attached stays attached (the device link's destroy ends it).
aServer* sStartServer(aLinkID deviceLink, uint32_t requestedInterface, uint8_t localOnly, uint16_t* port,
                      uint32_t* servedInterface) {
  const aLinkServedProcs served = aLink_ServedProcs();
  if (!served.createServer || !served.startServer || !served.getPort || !served.getInterface) return nullptr;
  const aLinkEntryRef entry = sHoldEntry(deviceLink);
  if (!entry) return nullptr;
  aServer* server = served.createServer(deviceLink, requestedInterface, localOnly);
  if (!server) return nullptr;
  entry->server = server;  // from here on the device counts as served
  if (served.startServer(server) != aErrNone || served.getPort(server, port) != aErrNone ||
      served.getInterface(server, servedInterface) != aErrNone)
    return nullptr;
  return server;
}

bool sLearnDetails(aLinkID client, aServer* server) {
  for (int attempt = 0; attempt < kDetailTries; ++attempt) {
    if (aLinkInternal::_aLink_ConfigureServerDetails(client, server) == aErrNone) return true;
    aTime_MSSleep(kDetailPauseMs);
  }
  return false;
}

}  // namespace

aLinkServedProcs aLink_ServedProcs() {
  const std::lock_guard<std::mutex> hold(sServedProcsLock);
  return sServedProcs;
}

void aLink_SetServedProcs(const aLinkServedProcs* procs) {
  const std::lock_guard<std::mutex> hold(sServedProcsLock);
  sServedProcs = procs ? *procs : aLinkServedProcs{};
}

aLinkID aLink_CreateServer(aLinkID deviceLink, uint16_t* port, uint32_t* networkInterface, uint8_t localOnly) {
  if (!port || !networkInterface || !deviceLink) return 0;
  uint32_t servedInterface = 0;
  aServer* server = sStartServer(deviceLink, *networkInterface, localOnly, port, &servedInterface);
  if (!server) return 0;
  aLinkID client = aLink_CreateClient(servedInterface, *port, 0);
  if (!client) return 0;
  const aLinkEntryRef clientEntry = sHoldEntry(client);
  if (!clientEntry) {
    aLink_Destroy(&client);
    return 0;
  }
  clientEntry->chainedID = deviceLink;
  if (!sLearnDetails(client, server)) {
    aLink_Destroy(&client);  // through the chain, the device link and its server go too
    return 0;
  }
  *networkInterface = servedInterface;
  return client;
}

aErr aLinkInternal::_aLink_ConfigureServerDetails(aLinkID client, aServer* server) {
  const aLinkServedProcs served = aLink_ServedProcs();
  if (!served.setModuleAddress || !served.setModel || !served.flushFIFO) return aErrParam;
  uint8_t address = 0;
  aErr result = _aLink_GetModuleAddress(client, &address);
  served.setModuleAddress(server, result == aErrNone ? address : 0);
  if (result == aErrNone) {
    uint8_t model = 0;
    result = _aLink_GetModel(client, address, &model);
    served.setModel(server, result == aErrNone ? model : 0);
  }
  if (result != aErrNone) served.flushFIFO(server);
  return result;
}
