// A wait for input on a few ZeroMQ sockets that asks each socket for its events only when it
// may have some. zmq_poll asks every socket before and after it sleeps, and each question costs
// system calls; on a request's path those calls delay whichever thread the scheduler put behind
// the asking one. Here a socket is asked when its descriptor woke the wait, when it was the one
// found ready last time (it may hold more), or always where the owner uses it in ways the watch
// does not see (a send may take the wake-up its descriptor would have given).
#pragma once

#include <poll.h>

#include <vector>

class aZmqWatch {
 public:
  // Watches a libzmq socket (zsock_resolve of a czmq one); asked on every wait when alwaysAsk.
  // False when its descriptor could not be had.
  bool add(void* socket, bool alwaysAsk);
  // The first watched socket, in the order added, with a message waiting, waiting up to
  // timeoutMs for one (0: a look only). Null when none came in time, a signal interrupted the
  // wait, or the messaging ended (then ended() says so).
  void* wait(int timeoutMs);
  // The last empty wait ended for good: the messaging context ends, or czmq's handler caught
  // SIGINT or SIGTERM.
  bool ended() const { return _ended; }

 private:
  struct Watched {
    void* socket;
    bool alwaysAsk;
    bool ask;  // to be asked on the next look
  };
  // The first socket asked that has input; null when none.
  void* askSockets();

  std::vector<Watched> _sockets;
  std::vector<pollfd> _descriptors;  // one per socket, in the same order
  bool _ended = false;
};
