// Sockets joined inside this process. The in-process transport is unreachable from any other
// process, so what it carries between two threads cannot be read, taken or forged from outside;
// and it skips the messaging library's I/O thread, a wake-up in each direction. The sockets stay
// their caller's; the table of published frontends is locked, so any thread may use it.
#pragma once

#include <czmq.h>

#include <cstdint>
#include <string>

// Binds `bound` to an in-process endpoint of its own and connects `connected` to it; true when
// both succeeded.
bool aInprocPair_Join(zsock_t* bound, zsock_t* connected);

// Starts monitoring the events of `watched` (ZMQ_EVENT_* bits) on a new in-process endpoint
// and connects the PAIR socket `monitor` to it; true when both succeeded. The monitor is stopped
// with zmq_socket_monitor(watched, nullptr, 0) before either socket closes.
bool aInprocMonitor_Join(zsock_t* watched, zsock_t* monitor, int events);

// A server frontend of this process also listens in-process: clients in this process that
// connect to its address (IPv4, network byte order) and port take that way instead of TCP.
// Publish binds the socket to a new in-process endpoint and notes it for the address and port;
// false when the bind failed. Withdraw forgets it (before the socket closes).
bool aInprocFrontend_Publish(zsock_t* frontend, uint32_t ipv4, uint16_t port);
void aInprocFrontend_Withdraw(uint32_t ipv4, uint16_t port);
// The in-process endpoint of this process's frontend at that address and port; empty for none.
std::string aInprocFrontend_Find(uint32_t ipv4, uint16_t port);
