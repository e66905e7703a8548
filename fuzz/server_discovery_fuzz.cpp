// Feeds the datagrams a link sharing server hears from searchers to its discovery steps: a UDP
// beacon as the beacon actor hands it to the broker (sender address, then content), through an
// in-process stand-in for the actor, and a loopback discovery request as the responder receives
// it (cut to four bytes). Checks that only a beacon that begins with the service name, heard
// while the model is known and no answer runs, starts an answer, and that the answer carries the
// server's own record; and that only a request beginning BA DC CD AB is taken for one.
//
// Input: [flags][sender address length][sender address][content]; flags bit 0: the model is
// known, bit 1: an answer is already running. The whole input is also a loopback datagram.
#include <czmq.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/discover.h"
#include "fuzz/zmq_steps.h"
#include "server/aInprocPair.h"
#include "server/aServer_internal.h"

using namespace aServerInternal;

namespace {

void _require(bool condition) {
  if (!condition) std::abort();
}

// A server record whose beacon actor is one end of an in-process pair; the test holds the other.
struct BeaconServer {
  BeaconServer() {
    server.serialNumber = 0x12345678;
    server.advertisedType = ORVANE_TCPIP;
    server.moduleAddress = 0x06;
    server.beaconHost = 0x0100070A;
    server.frontendPort = 40000;
    server.useBeacon = 1;
    standIn = zsock_new(ZMQ_PAIR);
    actorSide = zsock_new(ZMQ_PAIR);
    _require(standIn && actorSide && aInprocPair_Join(standIn, actorSide));
    // czmq's calls take any of its socket kinds and tell them apart by their own tag.
    server.discovery = reinterpret_cast<zactor_t*>(standIn);
  }
  ~BeaconServer() {
    server.discovery = nullptr;
    zsock_destroy(&standIn);
    zsock_destroy(&actorSide);
  }
  aServer server;
  zsock_t* standIn = nullptr;
  zsock_t* actorSide = nullptr;
};

BeaconServer* _beaconServer() {
  static BeaconServer beacon;
  return &beacon;
}

// The answer the broker asked the actor to publish, checked against the server's record.
void _checkPublished(BeaconServer* beacon) {
  zmsg_t* command = fuzzzmq::receiveMessage(beacon->actorSide);
  _require(zmsg_size(command) == 3);
  char* verb = zmsg_popstr(command);
  _require(verb && std::strcmp(verb, "PUBLISH") == 0);
  zstr_free(&verb);
  zframe_t* record = zmsg_pop(command);
  const linkSpec expected = _createNetworkSpec(&beacon->server);
  _require(zframe_size(record) == sizeof expected && std::memcmp(zframe_data(record), &expected, sizeof expected) == 0);
  zframe_destroy(&record);
  zmsg_destroy(&command);
}

void _hearBeacon(BeaconServer* beacon, const uint8_t* data, size_t size) {
  aServer* server = &beacon->server;
  const uint8_t flags = data[0];
  server->model = (flags & 1) ? 0x09 : 0;
  server->publishing = (flags & 2) ? 1 : 0;
  const size_t addressLength = std::min<size_t>(data[1], size - 2);
  const uint8_t* content = data + 2 + addressLength;
  const size_t contentSize = size - 2 - addressLength;
  zmsg_t* heard = zmsg_new();
  zmsg_addmem(heard, data + 2, addressLength);
  zmsg_addmem(heard, content, contentSize);
  _require(fuzzzmq::sendMessage(&heard, beacon->actorSide));
  // The broker reads the whole beacon (once its receive was not interrupted).
  fuzzzmq::untilTaken(beacon->standIn, [server] { _serverWorker_broker_beacon(server); });
  const bool service = contentSize >= aDISCOVERY_BEACON_FILTER_SIZE &&
                       std::memcmp(content, DISCOVERY_BEACON_FILTER, aDISCOVERY_BEACON_FILTER_SIZE) == 0;
  const bool answers = service && (flags & 1) && !(flags & 2);
  _require(fuzzzmq::readable(beacon->actorSide) == answers);
  _require(server->publishing == ((flags & 2) || answers));
  if (answers) _checkPublished(beacon);
}

void _hearLoopbackRequest(const uint8_t* data, size_t size) {
  const int received = static_cast<int>(std::min<size_t>(size, 4));
  const bool request = size >= 4 && data[0] == 0xBA && data[1] == 0xDC && data[2] == 0xCD && data[3] == 0xAB;
  _require(_isLoopbackRequest(data, received) == request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  _hearLoopbackRequest(data, size);
  if (size >= 2) _hearBeacon(_beaconServer(), data, size);
  return 0;
}
