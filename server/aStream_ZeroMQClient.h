// The byte stream of a client link: a ZeroMQ DEALER connection to a link sharing server's
// frontend, presented as an ordinary aStream so that a link engine runs over it as over any
// transport. Every write is one frame to the server (one packet frame [address][length][data]);
// every frame from the server (a reply packet or a stream batch) is handed out byte by byte.
//
// Threads: the write procedure (the link's writer thread) sends on the server connection itself
// and the get and wait procedures (the link's reader thread) receive from it, one at a time under
// a lock of the stream's own, so that a frame passes no thread between the link and the
// messaging library. A thread of the stream's own only watches for interrupts (below). When the
// stream is deleted it tells the server it goes (an empty frame). The stream prints nothing.
//
// An absent or lost server is not reported: ZeroMQ connects, and reconnects, in the background;
// reads then say aErrNotReady and writes that cannot be queued are dropped, so the link's
// requests time out.
//
// czmq catches SIGINT and SIGTERM once it has started; the stream's watching thread hands such
// a signal back to the process's own handlers within a second. Do not fork after czmq started.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// A client stream to the server at ipv4 (network byte order) and port, owned by the caller. On
// failure *stream is null and nothing is left behind.
//
// The stream's procedures: get never waits (aErrNotReady without a frame; aStream_WaitReadable
// waits for one; an empty frame is dropped and reported once); put of a single byte is refused (a packet frame has
// at least two bytes); write always succeeds, retrying a full queue for about 100 ms before it
// drops the frame.
aErr aStream_CreateClient(uint32_t ipv4, uint16_t port, aStream** stream);
