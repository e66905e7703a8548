#include "server/aZmqSend.h"

bool aZmq_SendWithoutWaiting(zsock_t* socket, const void* bytes, size_t size, int flags) {
  zframe_t* frame = zframe_new(bytes, size);
  if (!frame) return false;
  if (zframe_send(&frame, socket, flags | ZFRAME_DONTWAIT) == 0) return true;
  zframe_destroy(&frame);  // a frame that was not sent stays the sender's
  return false;
}
