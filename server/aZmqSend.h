// Sending on a ZeroMQ socket without ever blocking the sender: a peer that is gone or slow
// costs the message, never the sender's thread. The one way the server and its client stream
// hand bytes to a socket.
#pragma once

#include <czmq.h>

#include <cstddef>

// Sends a copy of the bytes as one frame (flags: ZFRAME_MORE or 0) without waiting; true when
// sent. The copy is freed in every case.
bool aZmq_SendWithoutWaiting(zsock_t* socket, const void* bytes, size_t size, int flags);
