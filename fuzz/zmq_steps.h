// ZeroMQ helpers for the harnesses that drive the link sharing server's steps on the fuzzing
// thread. libFuzzer's -timeout timer interrupts that thread's calls into the messaging library
// every few hundred milliseconds: a call that fails with EINTR is made again, and a step whose
// receive was interrupted (it then took nothing) runs again until its message is gone.
#pragma once

#include <czmq.h>

#include <cerrno>
#include <cstdlib>

namespace fuzzzmq {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// Whether a message waits at the socket; an interrupted query is asked again, never guessed.
inline bool readable(zsock_t* socket) {
  int events = 0;
  size_t size = sizeof events;
  while (zmq_getsockopt(zsock_resolve(socket), ZMQ_EVENTS, &events, &size) != 0) {
    require(errno == EINTR);
    size = sizeof events;
  }
  return (events & ZMQ_POLLIN) != 0;
}

// The next frame or message at a socket that has one waiting, received again when interrupted.
inline zframe_t* receiveFrame(zsock_t* socket) {
  zframe_t* frame = nullptr;
  while (!(frame = zframe_recv(socket))) require(errno == EINTR);
  return frame;
}
inline zmsg_t* receiveMessage(zsock_t* socket) {
  zmsg_t* message = nullptr;
  while (!(message = zmsg_recv(socket))) require(errno == EINTR);
  return message;
}

// Sends without waiting, again when interrupted; true when sent whole.
inline bool sendBytes(zsock_t* socket, const void* bytes, size_t length) {
  for (;;) {
    const int sent = zmq_send(zsock_resolve(socket), bytes, length, ZMQ_DONTWAIT);
    if (sent >= 0) return static_cast<size_t>(sent) == length;
    if (errno != EINTR) return false;
  }
}
inline bool sendMessage(zmsg_t** message, zsock_t* socket) {
  for (;;) {
    zmsg_t* copy = zmsg_dup(*message);
    if (zmsg_send(&copy, socket) == 0) {
      zmsg_destroy(message);
      return true;
    }
    zmsg_destroy(&copy);
    if (errno != EINTR) return false;
  }
}

// Runs a step that reads one message from the socket until that message is taken: a step
// interrupted in its receive takes nothing and leaves it waiting. A step that never takes it is
// a fault of the step.
template <class Step>
void untilTaken(zsock_t* socket, Step step) {
  for (int tries = 0; tries < 8; ++tries) {
    step();
    if (!readable(socket)) return;
  }
  std::abort();
}

}  // namespace fuzzzmq
