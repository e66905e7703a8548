// The link sharing server's life: creation, start (sockets, threads, discovery, the stream
// filter), the setters and flush, and the stop.
#include "server/aServer_ZeroMQ.h"

#include <arpa/inet.h>

#include <cerrno>
#include <new>

#include "common/aLinkServing.h"
#include "server/aInprocPair.h"
#include "server/aServer_internal.h"
#include "server/aStream_ZeroMQClient.h"

using namespace aServerInternal;

namespace {

bool _advertisedTypeOf(uint32_t linkType, uint32_t* advertised) {
  switch (linkType) {
    case USB:
      *advertised = ORVANE_USB;
      return true;
    case TCPIP:
      *advertised = ORVANE_TCPIP;
      return true;
    case SERIAL:
      *advertised = ORVANE_SERIAL;
      return true;
    default:
      return false;
  }
}

// Binds the socket to an ephemeral TCP port on the interface (127.0.0.1 when local only); the
// port, or -1.
int _findPortAndBindSocket(zsock_t* socket, bool localOnly, uint32_t networkInterface) {
  char text[INET_ADDRSTRLEN] = "127.0.0.1";
  if (!localOnly && aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0) return -1;
  const int port = zsock_bind(socket, "tcp://%s:*", text);
  return port > 0 ? port : -1;
}

bool _makeSockets(aServer* server) {
  server->frontend = zsock_new(ZMQ_ROUTER);
  // Set before the bind: it holds for every connection the frontend accepts. A message to a
  // client that has gone is refused, so that the broker learns of its going.
  if (server->frontend) {
    zsock_set_maxmsgsize(server->frontend, aSERVER_MAX_FRAME_SIZE);
    zsock_set_router_mandatory(server->frontend, 1);
  }
  server->frontendMonitor = zsock_new(ZMQ_PAIR);
  server->streamBrokerSocket = zsock_new(ZMQ_DEALER);
  server->streamFilterSocket = zsock_new(ZMQ_DEALER);
  server->replyBrokerSocket = zsock_new(ZMQ_DEALER);
  server->replyFilterSocket = zsock_new(ZMQ_DEALER);
  return server->frontend && server->frontendMonitor && server->streamBrokerSocket && server->streamFilterSocket &&
         server->replyBrokerSocket && server->replyFilterSocket &&
         aInprocMonitor_Join(server->frontend, server->frontendMonitor, ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED);
}

bool _initServer(aServer* server) {
  if (!_makeSockets(server)) return false;
  _configureInterface(server);
  const int frontendPort = _findPortAndBindSocket(server->frontend, server->localOnly, server->interfaceAddress);
  if (frontendPort < 0) return false;
  server->frontendPort = static_cast<uint16_t>(frontendPort);
  // Clients in this process (the owner's own link first of all) reach the frontend in-process.
  server->inprocPublished = aInprocFrontend_Publish(server->frontend, server->interfaceAddress, server->frontendPort);
  // The inner pairs join threads of this process only, so no other process can reach them. The
  // reader's side connects to a bound peer: in-process, its sends are taken from the first.
  if (!aInprocPair_Join(server->streamBrokerSocket, server->streamFilterSocket) ||
      !aInprocPair_Join(server->replyBrokerSocket, server->replyFilterSocket))
    return false;
  server->broker = _startActor(_serverWorker_broker, server);
  if (!server->broker) return false;
  server->filterInstalled = aLink_InstallUserPacketFilter(server->linkId, _streamingPacketFilter, server) == aErrNone;
  // A reply left from before the start must not be taken for a client's answer.
  aLink_DrainPackets(server->linkId, drainAll, nullptr);
  return server->filterInstalled && server->discovery;
}

void _deinitServer(aServer* server) {
  if (server->filterInstalled) aLink_InstallUserPacketFilter(server->linkId, nullptr, nullptr);
  server->filterInstalled = false;
  if (server->inprocPublished) aInprocFrontend_Withdraw(server->interfaceAddress, server->frontendPort);
  server->inprocPublished = false;
  _stopActor(&server->broker);
  _stopDiscovery(server);
  zsock_destroy(&server->replyBrokerSocket);
  zsock_destroy(&server->replyFilterSocket);
  zsock_destroy(&server->streamBrokerSocket);
  zsock_destroy(&server->streamFilterSocket);
  if (server->frontend && server->frontendMonitor) zmq_socket_monitor(zsock_resolve(server->frontend), nullptr, 0);
  zsock_destroy(&server->frontendMonitor);
  zsock_destroy(&server->frontend);
  server->pools.clear();
}

}  // namespace

namespace aServerInternal {

zactor_t* _startActor(zactor_fn* body, aServer* server) {
  zactor_t* actor = zactor_new(body, server);
  if (actor && aZmq_WaitSignal(actor) != 0) zactor_destroy(&actor);
  return actor;
}

void _stopActor(zactor_t** actor) {
  if (!*actor) return;
  // An actor that ended by itself (an interrupt) has its closing signal queued already, and a
  // send to it must not wait for a reader that is gone.
  zsock_set_sndtimeo(*actor, 0);
  zsock_signal(*actor, 0);
  aZmq_WaitSignal(*actor);
  zactor_destroy(actor);
}

}  // namespace aServerInternal

aServer* aServer_Create(aLinkID linkId, uint32_t networkInterface, uint8_t localOnly) {
  uint32_t type = 0;
  uint32_t serialNumber = 0;
  uint32_t advertised = 0;
  if (!aLink_DescribeUnserved(linkId, &type, &serialNumber) || !_advertisedTypeOf(type, &advertised)) return nullptr;
  aServer* server = new (std::nothrow) aServer{};
  if (!server) return nullptr;
  server->linkId = linkId;
  server->serialNumber = serialNumber;
  server->advertisedType = advertised;
  server->localOnly = localOnly ? 1 : 0;
  server->interfaceAddress = networkInterface ? networkInterface : htonl(INADDR_LOOPBACK);
  return server;
}

aErr aServer_Start(aServer* server) {
  if (!server) return aErrParam;
  if (!server->startTried) {
    server->startTried = true;
    server->startResult = _initServer(server) ? aErrNone : aErrResource;
  }
  return server->startResult;
}

aErr aServer_Destroy(aServer** server) {
  if (!server || !*server) return aErrParam;
  _deinitServer(*server);
  delete *server;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  if (!server || !port) return aErrParam;
  *port = server->frontendPort;
  return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* networkInterface) {
  if (!server || !networkInterface) return aErrParam;
  *networkInterface = server->interfaceAddress;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (!server) return aErrParam;
  server->moduleAddress = address;
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (!server) return aErrParam;
  server->model = model;
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (!server) return aErrParam;
  if (server->broker) zsock_signal(server->broker, kFlushSignal);
  return aErrNone;
}

void aServer_RegisterWithLinkCore() {
  static const aLinkServedProcs kServer{
      aServer_Destroy,      aStream_CreateClient,     aServer_Create,   aServer_Start,    aServer_GetPort,
      aServer_GetInterface, aServer_SetModuleAddress, aServer_SetModel, aServer_FlushFIFO};
  aLink_SetServedProcs(&kServer);
}
