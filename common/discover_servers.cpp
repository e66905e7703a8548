// The link-server search: beacons on a network interface, or requests to the slots of the
// loopback multicast group. Servers answer with their whole linkSpec.
#include <arpa/inet.h>
#include <czmq.h>

#include <vector>

#include "common/aByteOrder.h"
#include "common/aMulticast.h"
#include "common/discover.h"
#include "common/discover_steps.h"
#include "common/zBeaconInterface.h"

namespace {

// The searcher's own beacon repeats this often, and each wait for a server's beacon is as long.
constexpr int sBeaconIntervalMs = 100;
// Waits of one beacon search, whether something arrived or not.
constexpr int sBeaconWaits = 22;
constexpr uint32_t sInterfacesAsked = 50;

using sSearch = aDiscoverySteps::ServerSearch;

bool sSameServer(const linkSpec& a, const linkSpec& b) {
  return a.type == b.type && a.serialNumber == b.serialNumber && a.ipAddress == b.ipAddress && a.port == b.port;
}

// Remembers and reports a find not made before in this search.
void sOfferServer(sSearch* search, const linkSpec& found) {
  for (const linkSpec& known : search->remembered)
    if (sSameServer(known, found)) return;
  search->remembered.push_back(found);
  aDiscovery_Offer(&search->report, &found);
}

uint32_t sLoopback() { return htonl(INADDR_LOOPBACK); }

uint32_t sGroup(const char* dotted) {
  in_addr group{};
  inet_pton(AF_INET, dotted, &group);
  return group.s_addr;
}

// Asks the server holding slot k (already known to be taken) for its record.
void sAskSlot(sSearch* search, uint16_t k) {
  const uint32_t group = sGroup(aDISCOVERY_LOOPBACK_GROUP);
  aMulticast* receiver = aMulticast_Create(sLoopback(), group, aDISCOVERY_LOOPBACK_REPLY_PORT + k, 0);
  aMulticast* sender = aMulticast_Create(sLoopback(), group, aDISCOVERY_LOOPBACK_REQUEST_PORT + k, 1);
  uint8_t request[4];
  aByteOrder_WriteLE32(request, aDISCOVERY_LOOPBACK_REQUEST);
  if (receiver && sender && aMulticast_Send(sender, request, sizeof request) == sizeof request)
    aDiscoverySteps::takeSlotReply(receiver, search);
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&receiver);
}

// A receiver on a slot's request port can be made exactly when no server holds the slot.
bool sSlotTaken(uint16_t k) {
  aMulticast* probe =
      aMulticast_Create(sLoopback(), sGroup(aDISCOVERY_LOOPBACK_GROUP), aDISCOVERY_LOOPBACK_REQUEST_PORT + k, 0);
  if (!probe) return true;
  aMulticast_Destroy(&probe);
  return false;
}

void _findLinkSpecs_multicast(sSearch* search) {
  for (uint16_t k = 0; k < aDISCOVERY_LOOPBACK_SLOTS && !search->report.stopped; ++k)
    if (sSlotTaken(k)) sAskSlot(search, k);
}

// Runs one beacon actor on the interface the messaging library is set to: publishes the
// service name, listens to every beacon for a bounded number of waits.
void _findLinkSpecs_beaconHelper(sSearch* search) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (!beacon) return;
  zsock_send(beacon, "si", "CONFIGURE", int{aDISCOVERY_BEACON_PORT});
  char* hostAddress = zstr_recv(beacon);
  if (hostAddress && *hostAddress) {
    zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE, sBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", size_t{0});
    zsock_set_rcvtimeo(beacon, sBeaconIntervalMs);
    for (int wait = 0; wait < sBeaconWaits && !search->report.stopped; ++wait)
      aDiscoverySteps::takeBeacon(beacon, search);
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zstr_free(&hostAddress);
  zactor_destroy(&beacon);
}

// The interface lock is held from before the actor is configured until after it has stopped.
void _findLinkSpecs_beacon(sSearch* search, uint32_t networkInterface) {
  char interfaceText[INET_ADDRSTRLEN];
  if (aDiscovery_ConvertIPv4Interface(networkInterface, interfaceText, sizeof interfaceText) == 0 ||
      !zBeaconInterface_backupSetAndLock(interfaceText))
    return;
  _findLinkSpecs_beaconHelper(search);
  zBeaconInterface_restoreAndUnlock();
}

}  // namespace

void aDiscoverySteps::takeSlotReply(aMulticast* receiver, ServerSearch* search) {
  // One byte more than a record, so that a longer datagram is seen as the wrong size.
  uint8_t reply[sizeof(linkSpec) + 1];
  const int length = aMulticast_Receive(receiver, reply, sizeof reply);
  linkSpec found;
  if (length > 0 && aDiscovery_ParseLinkSpec(reply, size_t(length), &found) && found.ipAddress == sLoopback())
    sOfferServer(search, found);
}

void aDiscoverySteps::takeBeacon(void* beacon, ServerSearch* search) {
  char* senderAddress = zstr_recv(beacon);
  if (!senderAddress) return;
  zframe_t* content = zframe_recv(beacon);
  linkSpec found;
  if (content && aDiscovery_ParseLinkSpec(zframe_data(content), zframe_size(content), &found))
    sOfferServer(search, found);
  zframe_destroy(&content);
  zstr_free(&senderAddress);
}

uint8_t aDiscovery_Enumerate_OrvaneModules(aDiscoveryProc callback, void* ref, uint32_t networkInterface) {
  if (!callback) return 0;
  sSearch search{{callback, ref, 0, false}, {}};
  uint32_t interfaces[sInterfacesAsked];
  const bool local = networkInterface == htonl(INADDR_ANY) || networkInterface == sLoopback();
  if (local || aDiscovery_GetIPv4Interfaces(interfaces, sInterfacesAsked) == 0) _findLinkSpecs_multicast(&search);
  else _findLinkSpecs_beacon(&search, networkInterface);
  return search.report.count;
}
