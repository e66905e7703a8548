#include "server/aZmqSend.h"

#include <cerrno>

bool aZmq_SendWithoutWaiting(zsock_t* socket, const void* bytes, size_t size, int flags) {
  zframe_t* frame = zframe_new(bytes, size);
  if (!frame) return false;
  if (zframe_send(&frame, socket, flags | ZFRAME_DONTWAIT) == 0) return true;
  zframe_destroy(&frame);  // a frame that was not sent stays the sender's
  return false;
}

bool aZmq_PollEnded(zpoller_t* poller) {
  if (!zpoller_terminated(poller)) return false;
  // czmq reports an interrupted poll as terminated whatever the signal was; only its own flag
  // (SIGINT, SIGTERM) or the end of the context ends the caller's loop.
  return zsys_interrupted || errno != EINTR;
}

int aZmq_WaitSignal(void* socket) {
  for (;;) {
    const int status = zsock_wait(socket);
    if (status != -1 || errno != EINTR) return status;
  }
}

bool aZmq_ReceivePart(void* socket, zmq_msg_t* part) {
  for (;;) {
    if (zmq_msg_recv(part, socket, ZMQ_DONTWAIT) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

zframe_t* aZmq_ReceiveFrameWithoutWaiting(zsock_t* socket) {
  zmq_msg_t part;
  zmq_msg_init(&part);
  zframe_t* frame =
      aZmq_ReceivePart(zsock_resolve(socket), &part) ? zframe_new(zmq_msg_data(&part), zmq_msg_size(&part)) : nullptr;
  zmq_msg_close(&part);
  return frame;
}
