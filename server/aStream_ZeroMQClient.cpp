#include "server/aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "common/aTime.h"
#include "server/aInprocPair.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aZmqSend.h"

namespace {

constexpr int kForwardWaitMs = 1000;
// A full queue is tried again this many times, 1 ms apart, before the frame is dropped.
constexpr int kSendTries = 100;
constexpr uint32_t kSendPauseMs = 1;
constexpr int kGoodbyeLingerMs = 100;

struct sClientStream {
  zsock_t* serverSocket = nullptr;
  uint16_t outgoingPort = 0;  // stays 0: the pairs are in-process
  zsock_t* outgoingSocket = nullptr;
  zsock_t* outgoingForwardSocket = nullptr;
  uint16_t incomingPort = 0;  // stays 0, as outgoingPort
  zsock_t* incomingSocket = nullptr;
  zsock_t* incomingForwardSocket = nullptr;
  zactor_t* forwarder = nullptr;
  zpoller_t* incomingPoller = nullptr;
  zframe_t* frame = nullptr;
  size_t readPosition = 0;
  size_t frameSize = 0;
};

bool sValid(const sClientStream* client) { return client && client->serverSocket; }

// Sends a copy of the bytes without waiting, up to `tries` times 1 ms apart. True when sent.
bool sSendBytes(zsock_t* socket, const void* data, size_t size, int tries) {
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (aZmq_SendWithoutWaiting(socket, data, size, 0)) return true;
    if (attempt + 1 < tries) aTime_MSSleep(kSendPauseMs);
  }
  return false;
}

// Moves one frame from `from` to `to`; a frame that cannot be passed on is dropped.
void sForwardFrame(zsock_t* from, zsock_t* to, int tries) {
  zframe_t* frame = aZmq_ReceiveFrameWithoutWaiting(from);
  if (!frame) return;  // a signal came first: the frame is taken at the next wake-up
  sSendBytes(to, zframe_data(frame), zframe_size(frame), tries);
  zframe_destroy(&frame);
}

// czmq's handler sets one flag for SIGINT and SIGTERM alike; the signal itself is noted here, in
// a handler laid over czmq's that passes every signal on to it.
std::atomic<int> sCaughtSignal{0};
struct sigaction sMessagingHandlers[2];  // czmq's, for SIGINT and SIGTERM
constexpr int kCaughtSignals[2] = {SIGINT, SIGTERM};

void sNoteSignal(int signal, siginfo_t* info, void* context) {
  sCaughtSignal = signal;
  const struct sigaction& next = sMessagingHandlers[signal == SIGTERM ? 1 : 0];
  if (next.sa_flags & SA_SIGINFO)
    next.sa_sigaction(signal, info, context);
  else
    next.sa_handler(signal);
}

// Once per process, after czmq has installed its handlers (the first socket does): lays the
// noting handler over each of them. A signal czmq does not catch is left alone.
void sNoteSignalsCaught() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 2; ++i) {
      struct sigaction& current = sMessagingHandlers[i];
      if (sigaction(kCaughtSignals[i], nullptr, &current) != 0) continue;
      const bool handled = (current.sa_flags & SA_SIGINFO) ||
                           (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
      if (!handled) continue;
      struct sigaction noting = current;
      noting.sa_flags |= SA_SIGINFO;
      noting.sa_sigaction = sNoteSignal;
      sigaction(kCaughtSignals[i], &noting, nullptr);
    }
  });
}

// czmq's own handler caught SIGINT or SIGTERM: give the process the reaction it would have had
// without czmq (by default it ends by that signal).
void sHandBackInterrupt() {
  if (!zsys_interrupted) return;
  const int caught = sCaughtSignal.exchange(0);
  zsys_handler_set(nullptr);  // puts back the handlers the process had before czmq's
  kill(getpid(), caught ? caught : SIGINT);
  zsys_handler_reset();
}

void sForwardingTask(zsock_t* pipe, void* argument) {
  auto* client = static_cast<sClientStream*>(argument);
  zsock_signal(pipe, 0);  // taken by zactor_new
  zpoller_t* poller = zpoller_new(pipe, client->serverSocket, client->outgoingForwardSocket, nullptr);
  zsock_signal(pipe, poller ? 0 : 1);  // the creator's second wait
  if (!poller) return;
  for (;;) {
    void* ready = zpoller_wait(poller, kForwardWaitMs);
    sHandBackInterrupt();
    if (ready == pipe) break;
    if (ready == client->serverSocket) {
      sForwardFrame(client->serverSocket, client->incomingForwardSocket, kSendTries);
    } else if (ready == client->outgoingForwardSocket) {
      sForwardFrame(client->outgoingForwardSocket, client->serverSocket, 1);
    } else if (!ready && aZmq_PollEnded(poller)) {
      break;
    }
  }
  zpoller_destroy(&poller);
}

// ---- the stream's procedures ------------------------------------------------------------------

void sReleaseFrame(sClientStream* client) {
  zframe_destroy(&client->frame);
  client->readPosition = 0;
  client->frameSize = 0;
}

aErr sZeroMQStreamGet(char* byte, void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client) || !byte) return aErrParam;
  if (!client->frame) {
    // A read never waits: the link's reader waits in the wait procedure, in short slices, so
    // that a stop is seen promptly.
    if (!zpoller_wait(client->incomingPoller, 0)) return aErrNotReady;
    client->frame = aZmq_ReceiveFrameWithoutWaiting(client->incomingSocket);
    if (!client->frame) return zmq_errno() == EAGAIN ? aErrNotReady : aErrIO;
    client->readPosition = 0;
    client->frameSize = zframe_size(client->frame);
  }
  if (client->readPosition >= client->frameSize) {
    sReleaseFrame(client);  // reported once; the server never sends one
    return aErrIndexRange;
  }
  *byte = static_cast<char>(zframe_data(client->frame)[client->readPosition++]);
  if (client->readPosition == client->frameSize) sReleaseFrame(client);
  return aErrNone;
}

// Waits up to timeoutMs for a frame on the reader's pair (a frame begun counts as ready).
aErr sZeroMQStreamWait(uint32_t timeoutMs, void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client)) return aErrParam;
  if (client->frame) return aErrNone;
  if (zpoller_wait(client->incomingPoller, static_cast<int>(timeoutMs))) return aErrNone;
  // An interrupted wait ends early; the caller reads (aErrNotReady) and waits again.
  return zpoller_expired(client->incomingPoller) ? aErrTimeout : aErrNone;
}

aErr sZeroMQStreamPut(const char*, void*) { return aErrUnimplemented; }

aErr sZeroMQStreamWrite(const char* data, size_t length, void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client)) return aErrParam;
  if (data || length == 0) sSendBytes(client->outgoingSocket, data, length, kSendTries);
  return aErrNone;
}

// An empty frame tells the server that this client goes, so that it releases what it keeps for
// it at once (a server notices a closed TCP connection by itself, not a client of its own
// process). The frame is given a moment to leave after the socket closes.
void sSayGoodbye(zsock_t* serverSocket) {
  if (!serverSocket) return;
  zsock_set_linger(serverSocket, kGoodbyeLingerMs);
  aZmq_SendWithoutWaiting(serverSocket, "", 0, 0);
}

void sDestroyClient(sClientStream** clientRef) {
  sClientStream* client = *clientRef;
  if (!client) return;
  if (client->forwarder) {
    // A thread that ended by itself (an interrupt, no poller) reads no more: the stop request
    // must not wait for it. Its closing signal is what the destroy waits for.
    zsock_set_sndtimeo(client->forwarder, 0);
    zactor_destroy(&client->forwarder);
  }
  zpoller_destroy(&client->incomingPoller);
  sSayGoodbye(client->serverSocket);
  zsock_destroy(&client->serverSocket);
  zsock_destroy(&client->incomingSocket);
  zsock_destroy(&client->outgoingSocket);
  zsock_destroy(&client->incomingForwardSocket);
  zsock_destroy(&client->outgoingForwardSocket);
  zframe_destroy(&client->frame);
  delete client;
  *clientRef = nullptr;
}

aErr sZeroMQStreamDelete(void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client)) return aErrIO;
  sDestroyClient(&client);
  return aErrNone;
}

// ---- creation ---------------------------------------------------------------------------------

// A forwarding pair between the forwarding thread and one of the link's threads, in-process so
// that no other process can reach it (the port stays 0).
aErr sMakePair(zsock_t** bound, zsock_t** connected) {
  *bound = zsock_new(ZMQ_DEALER);
  *connected = zsock_new(ZMQ_DEALER);
  if (!*bound || !*connected) return aErrMemory;
  return aInprocPair_Join(*bound, *connected) ? aErrNone : aErrConnection;
}

aErr sConnectServer(sClientStream* client, uint32_t ipv4, uint16_t port) {
  client->serverSocket = zsock_new(ZMQ_DEALER);
  if (!client->serverSocket) return aErrMemory;
  // Set before the connect: it holds for the connection and every reconnection.
  zsock_set_maxmsgsize(client->serverSocket, aSERVER_MAX_FRAME_SIZE);
  // A server of this process is reached in-process: two wake-ups fewer each way.
  const std::string inproc = aInprocFrontend_Find(ipv4, port);
  if (!inproc.empty())
    return zsock_connect(client->serverSocket, "%s", inproc.c_str()) == 0 ? aErrNone : aErrConnection;
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr address{};
  address.s_addr = ipv4;
  if (!inet_ntop(AF_INET, &address, dotted, sizeof dotted)) return aErrConnection;
  return zsock_connect(client->serverSocket, "tcp://%s:%u", dotted, unsigned{port}) == 0 ? aErrNone : aErrConnection;
}

aErr sStartForwarder(sClientStream* client) {
  sNoteSignalsCaught();
  client->forwarder = zactor_new(sForwardingTask, client);
  if (!client->forwarder) return aErrMemory;
  // zactor_new took the thread's first signal; the second says whether its poller exists.
  if (aZmq_WaitSignal(client->forwarder) != 0) return aErrMemory;
  return aErrNone;
}

aErr sBuild(sClientStream* client, uint32_t ipv4, uint16_t port) {
  aErr result = sMakePair(&client->outgoingSocket, &client->outgoingForwardSocket);
  if (result == aErrNone) result = sMakePair(&client->incomingSocket, &client->incomingForwardSocket);
  if (result == aErrNone) result = sConnectServer(client, ipv4, port);
  if (result == aErrNone) {
    client->incomingPoller = zpoller_new(client->incomingSocket, nullptr);
    if (!client->incomingPoller) result = aErrMemory;
  }
  if (result == aErrNone) result = sStartForwarder(client);
  return result;
}

}  // namespace

aErr aStream_CreateClient(uint32_t ipv4, uint16_t port, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  auto* client = new (std::nothrow) sClientStream{};
  if (!client) return aErrMemory;
  aErr result = sBuild(client, ipv4, port);
  if (result == aErrNone) {
    *stream = aStream_Create(sZeroMQStreamGet, sZeroMQStreamPut, sZeroMQStreamWrite, sZeroMQStreamDelete, client);
    if (!*stream) result = aErrResource;
    else aStream_SetWaitProc(*stream, sZeroMQStreamWait);
  }
  if (result != aErrNone) sDestroyClient(&client);
  return result;
}
