// Discovery responders: how searchers learn of a server. A network server answers UDP beacons
// that carry the service name with beacons of its own record (the beacon actor, driven by the
// broker); a local-only server, or one on a host without a network interface, answers requests
// on the loopback multicast group from a thread of its own. Neither answers before the model is
// set.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "common/aByteOrder.h"
#include "common/aMulticast.h"
#include "common/aTime.h"
#include "common/zBeaconInterface.h"
#include "server/aServer_internal.h"

namespace aServerInternal {

namespace {

constexpr uint32_t kInterfacesAsked = 50;
constexpr int kBeaconReceiveMs = 100;
constexpr int kPublishIntervalMs = 100;
// A beacon answer lasts this long, then up to one broker poll more.
constexpr uint64_t kPublishMs = 2000;
constexpr int kPipePollMs = 1000;

uint32_t _loopback() { return htonl(INADDR_LOOPBACK); }

uint32_t _address(const char* dotted) {
  in_addr address{};
  return dotted && inet_pton(AF_INET, dotted, &address) == 1 ? address.s_addr : 0;
}

void _configureBeacon(aServer* server) {
  zsock_send(server->discovery, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE);
  zsock_set_rcvtimeo(server->discovery, kBeaconReceiveMs);
}

// The interface lock covers the interface setting until the actor has taken it (its answer to
// CONFIGURE), so that a search cannot configure a beacon on another interface meanwhile.
void _createBeacon(aServer* server, const char* interfaceText) {
  const bool locked = zBeaconInterface_setAndLock(interfaceText) != 0;
  server->discovery = zactor_new(zbeacon, nullptr);
  char* host = nullptr;
  if (server->discovery) {
    zsock_send(server->discovery, "si", "CONFIGURE", int{aDISCOVERY_BEACON_PORT});
    // A signal that interrupts the wait for the answer does not end it.
    do host = zstr_recv(server->discovery);
    while (!host && errno == EINTR && !zsys_interrupted);
  }
  if (locked) zBeaconInterface_unlock();
  if (server->discovery) _configureBeacon(server);
  server->beaconHost = _address(host);
  zstr_free(&host);
}

// Takes the first free slot k: its request receiver, then its reply sender. A reply port that
// cannot be had sends the search round again from the start. Nothing when every request port
// is taken.
void _takeSlot(aMulticast** receiver, aMulticast** sender) {
  const uint32_t group = _address(aDISCOVERY_LOOPBACK_GROUP);
  for (int round = 0; round < aDISCOVERY_LOOPBACK_SLOTS; ++round) {
    uint16_t k = 0;
    while (k < aDISCOVERY_LOOPBACK_SLOTS &&
           !(*receiver = aMulticast_Create(_loopback(), group, aDISCOVERY_LOOPBACK_REQUEST_PORT + k, 0)))
      ++k;
    if (!*receiver) return;
    *sender = aMulticast_Create(_loopback(), group, aDISCOVERY_LOOPBACK_REPLY_PORT + k, 1);
    if (*sender) return;
    aMulticast_Destroy(receiver);
  }
}

void _answerLoopbackRequest(const aServer* server, aMulticast* receiver, aMulticast* sender) {
  uint8_t request[4];  // a longer datagram is cut to its first four bytes
  const int length = aMulticast_Receive(receiver, request, sizeof request);
  if (!_isLoopbackRequest(request, length) || !_isDiscoveryConfigured(server)) return;
  const linkSpec spec = _createNetworkSpec(server);
  aMulticast_Send(sender, &spec, sizeof spec);
}

// The loopback multicast responder's thread. The slot is taken before the start completes, so a
// started server can be found at once, and servers started one after the other hold slots in
// that order. The receive waits up to a second; the pipe is only looked at between receives,
// so that a request is never left waiting while the thread sleeps elsewhere.
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* ref) {
  const aServer* server = static_cast<const aServer*>(ref);
  zsock_signal(pipe, 0);
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  _takeSlot(&receiver, &sender);
  zpoller_t* poller = zpoller_new(pipe, nullptr);
  const bool runs = poller != nullptr;
  if (runs) {
    zsock_signal(pipe, 0);
    while (true) {
      if (receiver) _answerLoopbackRequest(server, receiver, sender);
      void* ready = zpoller_wait(poller, receiver ? 0 : kPipePollMs);
      if (ready == pipe || (!ready && aZmq_PollEnded(poller))) break;
    }
    zpoller_destroy(&poller);
  }
  aMulticast_Destroy(&receiver);
  aMulticast_Destroy(&sender);
  zsock_signal(pipe, runs ? 0 : 1);  // closing signal, or: ended at once
}

}  // namespace

bool _isLoopbackRequest(const uint8_t* bytes, int length) {
  uint8_t request[4];
  aByteOrder_WriteLE32(request, aDISCOVERY_LOOPBACK_REQUEST);
  return length == sizeof request && std::memcmp(bytes, request, sizeof request) == 0;
}

void _configureInterface(aServer* server) {
  uint32_t interfaces[kInterfacesAsked];
  const uint32_t found = aDiscovery_GetIPv4Interfaces(interfaces, kInterfacesAsked);
  if (!server->localOnly && found > 0) {
    if (server->interfaceAddress == 0 || server->interfaceAddress == _loopback())
      server->interfaceAddress = interfaces[0];
    char text[INET_ADDRSTRLEN];
    aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text);
    _createBeacon(server, text);
    server->useBeacon = 1;
    return;
  }
  // A local-only server serves the loopback interface, whatever interface it was given.
  if (server->localOnly) server->interfaceAddress = _loopback();
  server->beaconHost = _loopback();
  server->useBeacon = 0;
  server->discovery = _startActor(_serverWorker_multicastDiscovery, server);
}

void _serverWorker_broker_beacon(aServer* server) {
  char* senderAddress = zstr_recv(server->discovery);
  if (!senderAddress) return;
  zframe_t* content = zframe_recv(server->discovery);
  const bool service = content && zframe_size(content) >= aDISCOVERY_BEACON_FILTER_SIZE &&
                       std::memcmp(zframe_data(content), DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE) == 0;
  if (service && _isDiscoveryConfigured(server) && !server->publishing) {
    const linkSpec spec = _createNetworkSpec(server);
    zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof spec, kPublishIntervalMs);
    server->publishStart = aTime_GetMonotonicMSTicks();
    server->publishing = 1;
  }
  zframe_destroy(&content);
  zstr_free(&senderAddress);
}

void _silenceBeaconWhenDue(aServer* server) {
  if (!server->publishing || aTime_GetMonotonicMSTicks() - server->publishStart <= kPublishMs) return;
  zstr_sendx(server->discovery, "SILENCE", nullptr);
  server->publishing = 0;
}

void _stopDiscovery(aServer* server) {
  if (server->useBeacon) zactor_destroy(&server->discovery);  // stops its publishing too
  else _stopActor(&server->discovery);
}

linkSpec _createNetworkSpec(const aServer* server) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = static_cast<linkType>(server->advertisedType);
  spec.serialNumber = server->serialNumber;
  spec.module = server->moduleAddress;
  spec.model = server->model;
  spec.ipAddress = server->beaconHost;
  spec.port = server->frontendPort;
  return spec;
}

bool _isDiscoveryConfigured(const aServer* server) { return server->model != 0; }

}  // namespace aServerInternal
