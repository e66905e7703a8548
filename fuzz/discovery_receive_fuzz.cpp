// Feeds datagrams to discovery's receiving steps as they arrive from the network, through real
// sockets: the Ethernet-module query's receive loop on a UDP socket on loopback, the loopback
// server search's slot reply on a multicast receiver of the loopback group (what a server sends
// stays on the loopback interface), and the beacon search's take of a beacon from an in-process
// stand-in for the beacon actor (sender address, then content).
//
// Checks that the finds are exactly the datagrams each step must accept, in order, each as its
// parser reads it: Ethernet replies of 8 to 16 bytes (an oversized one is not cut down to fit),
// whole 128-byte server records (a slot's only when it advertises 127.0.0.1), a server heard
// twice in one search reported once.
//
// Input: records [length][bytes], each one datagram; the same datagrams go to all three steps.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/discover.h"
#include "common/discover_steps.h"
#include "server/aInprocPair.h"

namespace {

using Datagram = std::vector<uint8_t>;

// Few enough that the datagrams of one input never fill a socket's receive buffer.
constexpr size_t kMaxDatagrams = 48;
constexpr int kBeaconWaitMs = 1000;

void require(bool condition) {
  if (!condition) std::abort();
}

std::vector<Datagram> datagramsOf(const uint8_t* data, size_t size) {
  std::vector<Datagram> datagrams;
  for (size_t at = 0; at < size && datagrams.size() < kMaxDatagrams;) {
    const size_t length = std::min<size_t>(data[at], size - at - 1);
    ++at;
    datagrams.emplace_back(data + at, data + at + length);
    at += length;
  }
  return datagrams;
}

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

bool sameRecord(const linkSpec& a, const linkSpec& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The callback's side of a search: every find, counted; stops once `stopAfter` came.
struct Finds {
  std::vector<linkSpec> found;
  size_t stopAfter = SIZE_MAX;
};

bool takeFind(const linkSpec* found, bool* counted, void* ref) {
  Finds* finds = static_cast<Finds*>(ref);
  finds->found.push_back(*found);
  *counted = true;
  return finds->found.size() < finds->stopAfter;
}

void requireFinds(const Finds& finds, const aDiscoveryReport& report, const std::vector<linkSpec>& expected) {
  require(finds.found.size() == expected.size() && report.count == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) require(sameRecord(finds.found[i], expected[i]));
}

// A UDP socket bound to loopback at a port the system picks; its address in `address`.
int boundUdpSocket(sockaddr_in* address) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = loopback();
  socklen_t length = sizeof *address;
  require(fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof *address) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(address), &length) == 0);
  return fd;
}

// Every datagram to the reply socket, then one good reply that ends the query: the loop takes
// what is waiting and hands on the acceptable replies, the ending one last.
void checkEthernetLoop(const std::vector<Datagram>& datagrams) {
  sockaddr_in to{};
  const int listener = boundUdpSocket(&to);
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  require(sender >= 0);
  const uint8_t ending[aDISCOVERY_ETHERNET_REPLY_MAX] = {0x7E, 0x04, 0x22, 0xB8, 0xFE, 0xDC, 0xBA, 0x98, 1, 2, 3, 4, 5};
  std::vector<Datagram> sent = datagrams;
  sent.emplace_back(ending, ending + sizeof ending);
  std::vector<linkSpec> expected;
  for (const Datagram& datagram : sent) {
    require(sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
            ssize_t(datagram.size()));
    linkSpec spec;
    if (aDiscovery_ParseEthernetReply(datagram.data(), datagram.size(), loopback(), &spec)) expected.push_back(spec);
  }
  Finds finds;
  finds.stopAfter = expected.size();
  aDiscoveryReport report{takeFind, &finds, 0, false};
  aDiscoverySteps::receiveEthernetReplies(listener, &report);
  requireFinds(finds, report, expected);
  close(sender);
  close(listener);
}

// The finds a server search must make of the records: whole ones that pass `wanted`, each server
// once, in the order first heard.
template <class Wanted>
std::vector<linkSpec> serverFinds(const std::vector<Datagram>& datagrams, Wanted wanted) {
  std::vector<linkSpec> expected;
  for (const Datagram& datagram : datagrams) {
    linkSpec spec;
    if (!aDiscovery_ParseLinkSpec(datagram.data(), datagram.size(), &spec) || !wanted(spec)) continue;
    const bool known = std::any_of(expected.begin(), expected.end(), [&spec](const linkSpec& seen) {
      return seen.type == spec.type && seen.serialNumber == spec.serialNumber && seen.ipAddress == spec.ipAddress &&
             seen.port == spec.port;
    });
    if (!known) expected.push_back(spec);
  }
  return expected;
}

// A slot of the loopback group on a port of the harness's own (outside the servers' slots), its
// receiver and a sender to it; made once.
struct Slot {
  Slot() {
    in_addr group{};
    inet_pton(AF_INET, aDISCOVERY_LOOPBACK_GROUP, &group);
    for (int tries = 0; tries < 20 && !receiver; ++tries) {
      sockaddr_in free{};
      const int probe = boundUdpSocket(&free);
      close(probe);
      receiver = aMulticast_Create(loopback(), group.s_addr, ntohs(free.sin_port), 0);
      if (receiver) sender = aMulticast_Create(loopback(), group.s_addr, ntohs(free.sin_port), 1);
    }
    require(receiver && sender);
  }
  ~Slot() {
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
  }
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
};

void checkSlotReplies(const std::vector<Datagram>& datagrams) {
  static Slot slot;
  Finds finds;
  aDiscoverySteps::ServerSearch search{{takeFind, &finds, 0, false}, {}};
  for (const Datagram& datagram : datagrams) {
    require(aMulticast_Send(slot.sender, datagram.data(), datagram.size()) == int(datagram.size()));
    aDiscoverySteps::takeSlotReply(slot.receiver, &search);
  }
  requireFinds(finds, search.report,
               serverFinds(datagrams, [](const linkSpec& spec) { return spec.ipAddress == loopback(); }));
}

// The beacon actor's stand-in: the harness sends on one end, the search takes from the other.
struct BeaconPair {
  BeaconPair() {
    actor = zsock_new(ZMQ_PAIR);
    search = zsock_new(ZMQ_PAIR);
    require(actor && search && aInprocPair_Join(actor, search));
    zsock_set_rcvtimeo(search, kBeaconWaitMs);
  }
  ~BeaconPair() {
    zsock_destroy(&search);
    zsock_destroy(&actor);
  }
  zsock_t* actor = nullptr;
  zsock_t* search = nullptr;
};

void checkBeacons(const std::vector<Datagram>& datagrams) {
  static BeaconPair pair;
  Finds finds;
  aDiscoverySteps::ServerSearch search{{takeFind, &finds, 0, false}, {}};
  for (const Datagram& datagram : datagrams) {
    zmsg_t* beacon = zmsg_new();
    zmsg_addstr(beacon, "127.0.0.1");
    zmsg_addmem(beacon, datagram.data(), datagram.size());
    require(zmsg_send(&beacon, pair.actor) == 0);
    aDiscoverySteps::takeBeacon(pair.search, &search);
  }
  requireFinds(finds, search.report, serverFinds(datagrams, [](const linkSpec&) { return true; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Datagram> datagrams = datagramsOf(data, size);
  checkEthernetLoop(datagrams);
  checkSlotReplies(datagrams);
  checkBeacons(datagrams);
  return 0;
}
