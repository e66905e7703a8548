#include "server/aZmqWatch.h"

#include <czmq.h>

#include <cerrno>

#include "common/aTime.h"

bool aZmqWatch::add(void* socket, bool alwaysAsk) {
  int fd = -1;
  size_t size = sizeof fd;
  if (!socket || zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0) return false;
  _sockets.push_back(Watched{socket, alwaysAsk, true});
  _descriptors.push_back(pollfd{fd, POLLIN, 0});
  return true;
}

void* aZmqWatch::askSockets() {
  for (Watched& watched : _sockets) {
    if (!watched.ask && !watched.alwaysAsk) continue;
    int events = 0;
    size_t size = sizeof events;
    if (zmq_getsockopt(watched.socket, ZMQ_EVENTS, &events, &size) != 0) {
      if (errno == EINTR) continue;  // asked again on the next look
      _ended = true;                 // the context ends
      return nullptr;
    }
    // A socket with input stays to be asked: whoever takes a message may leave more behind.
    watched.ask = (events & ZMQ_POLLIN) != 0;
    if (watched.ask) return watched.socket;
  }
  return nullptr;
}

void* aZmqWatch::wait(int timeoutMs) {
  // czmq's handler caught SIGINT or SIGTERM: the process's messaging is to end.
  _ended = zsys_interrupted != 0;
  if (_ended) return nullptr;
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    void* ready = askSockets();
    if (ready || _ended) return ready;
    const uint64_t now = aTime_GetMonotonicMSTicks();
    const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    const int woken = poll(_descriptors.data(), _descriptors.size(), left);
    if (woken < 0) {
      _ended = zsys_interrupted || errno != EINTR;
      return nullptr;
    }
    // A descriptor only says that its socket has news; the socket tells what they are.
    for (size_t i = 0; i < _descriptors.size(); ++i)
      if (_descriptors[i].revents) _sockets[i].ask = true;
    if (woken == 0) return nullptr;
  }
}
