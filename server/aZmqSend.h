// Calls on ZeroMQ sockets that neither block the caller without need nor take a signal for an
// answer: a peer that is gone or slow costs the message, never the sender's thread, and a wait
// that a signal interrupted (the process installs its own handlers, and czmq installs one for
// SIGINT and SIGTERM) is waited again instead of being read as "nothing came" or "the end". The
// one way the server and its client stream hand bytes to a socket and wait on one.
#pragma once

#include <czmq.h>

#include <cstddef>

// Sends a copy of the bytes as one frame (flags: ZFRAME_MORE or 0) without waiting; true when
// sent. The copy is freed in every case.
bool aZmq_SendWithoutWaiting(zsock_t* socket, const void* bytes, size_t size, int flags);

// After a zpoller_wait that returned no socket: true when the poller ended for good (the
// messaging context ends, or czmq's handler caught SIGINT or SIGTERM), false when it only timed
// out or another signal interrupted it.
bool aZmq_PollEnded(zpoller_t* poller);

// zsock_wait, waited again after an interruption that did not end the wait's reason; -1 when
// the socket failed otherwise.
int aZmq_WaitSignal(void* socket);

// One message part without waiting, received again when a signal interrupted it; false when
// none is there.
bool aZmq_ReceivePart(void* socket, zmq_msg_t* part);
// The next frame without waiting, as aZmq_ReceivePart; null when none is there.
zframe_t* aZmq_ReceiveFrameWithoutWaiting(zsock_t* socket);
