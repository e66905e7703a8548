// Library-internal: the receiving steps of discovery, each the part of a search that takes what
// arrived from the network and turns it into finds. The searches call them; they are named here
// so that they can be driven on their own, through sockets a caller made.
#pragma once

#include <cstdint>
#include <vector>

#include "common/aMulticast.h"
#include "common/discover.h"

namespace aDiscoverySteps {

// The finds of one link-server search, so that a server heard twice is reported once.
struct ServerSearch {
  aDiscoveryReport report;
  std::vector<linkSpec> remembered;
};

// The Ethernet-module query's receive loop on the reply socket: hands every acceptable reply
// (8 to 16 bytes from an IPv4 sender) to the report until it says stop or no acceptable reply
// came for 2 s. Ignored datagrams do not extend the window.
void receiveEthernetReplies(int listener, aDiscoveryReport* report);

// Receives one datagram on a loopback slot's reply receiver and offers it as a server record
// when it is a whole record that advertises 127.0.0.1.
void takeSlotReply(aMulticast* receiver, ServerSearch* search);

// Takes the next beacon from a beacon actor (or any socket that delivers what one does: the
// sender's address, then the beacon's content), if one comes within the socket's receive
// time-out, and offers its content as a server record.
void takeBeacon(void* beacon, ServerSearch* search);

}  // namespace aDiscoverySteps
