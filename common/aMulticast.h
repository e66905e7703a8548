// UDP multicast sockets over IPv4, one group and port per handle: a sender sends datagrams to
// the group, a receiver binds the port (exclusively: a second receiver on the same port cannot
// be made, which is how a port in use is detected) and receives what is sent to it. Both join
// the group on the handle's interface and send through it, with a time-to-live of 1 and
// multicast loopback on. Used by the loopback link-server search and its responders.
//
// A handle belongs to one thread at a time.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

typedef struct aMulticast aMulticast;

// A new sender (sender != 0) or receiver for the group and port. Addresses are IPv4 in
// network byte order; an interface of 0 or 127.0.0.1 means 127.0.0.1 (multicast then stays on
// the loopback interface). Null when an address cannot be resolved, the socket cannot be made,
// bound or joined to the group, or memory runs out.
aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, int sender);

// Sends one datagram to the group and port. Bytes sent; -1 on failure, -2 for a null handle,
// -3 for a receiver.
int aMulticast_Send(aMulticast* multicast, const void* data, size_t length);

// Receives one datagram (truncated to size). Bytes received; -1 on failure or when nothing
// came within 1 second, -2 for a null handle, -3 for a sender (the socket is not touched).
int aMulticast_Receive(aMulticast* multicast, void* buffer, size_t size);

// Releases the addresses, closes the socket, frees the record and clears *multicast.
// 0, or -2 for a null pointer or handle.
int aMulticast_Destroy(aMulticast** multicast);

// Diagnostic: prints the address as numeric host and service on standard error. Returns
// getnameinfo's result.
namespace aMulticastDiagnostics {
int _printAddress(const struct sockaddr* address, socklen_t length);
}  // namespace aMulticastDiagnostics
