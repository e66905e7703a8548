// TCP client stream to an Ethernet module. The socket never blocks once connected: get answers
// at once (aErrNotReady when nothing is waiting), and the stream's wait procedure lets a reader
// sleep until input arrives (aStream_WaitReadable). Small request/reply packets go out at once
// (TCP_NODELAY).
//
// A lost connection (reset, not connected, timed out) met by a read or a write is re-established
// once, by whichever thread meets it first; when that fails the stream stays disconnected and
// every later get or write gives aErrConnection without touching the network. A module that
// closed its side leaves get answering aErrNotReady; the next write that meets the closed
// connection reconnects.
#pragma once

#include <cstdint>

#include "common/aStream.h"

// Sends a write tries in a row without progress (the socket's buffer full, or a reconnect) ...
constexpr int aSOCKET_MAX_SEND_RETRY = 10;
// ... pausing this long after each.
constexpr uint32_t aSOCKET_RETRY_DELAY_MS = 60;
// The longest a connect may take before it counts as timed out.
constexpr uint32_t aSOCKET_CONNECT_TIMEOUT_MS = 3000;

// Connects to the IPv4 address (network byte order) and port (host order). The stream pointer is
// cleared first; on success it receives the stream. Every failure (null stream pointer, no
// memory, socket or connection failure) is aErrResource.
//
// Writes send the whole buffer: bytes the socket cannot take are retried up to
// aSOCKET_MAX_SEND_RETRY times without progress, after which the write gives aErrWrite (part of
// the buffer may then be on the wire). After a reconnect the buffer is sent again from its start,
// so the new connection never begins in the middle of a frame.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

// A socket stream's second delete procedure, for a socket owned elsewhere (an accepted
// connection its owner closes): frees a valid record without closing its socket. aErrIO, with
// nothing freed, for a record that is not a socket stream's. No maker installs it.
aErr sSocketStreamAcceptDelete(void* ref);
