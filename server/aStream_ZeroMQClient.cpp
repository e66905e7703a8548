#include "server/aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "common/aDefs.h"
#include "common/aLinkServing.h"
#include "common/aTime.h"
#include "common/aUEI.h"
#include "server/aInprocPair.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aZmqSend.h"

namespace {

constexpr int kWatchWaitMs = 1000;
// A full queue is tried again this many times, 1 ms apart, before the frame is dropped.
constexpr int kSendTries = 100;
constexpr uint32_t kSendPauseMs = 1;
constexpr int kGoodbyeLingerMs = 100;
// A stream enable sent again is acknowledged by the module within this; the acknowledgement is
// the stream's own, not the link's.
constexpr uint64_t kReEnableAckMs = 2000;

// The module streams a client has enabled and not disabled since, by the stream each names (the
// address the request went to, then the stream's four name bytes): the enable request's packet
// frame, sent again when the server may have forgotten the client (a new connection, a new
// stream in place of this one). A server forgets what a client held when the client goes.
using StreamName = std::array<uint8_t, 5>;
using HeldStreams = std::map<StreamName, std::vector<uint8_t>>;

// The writer thread sends on serverSocket and the reader thread receives from it, one at a time
// under socketLock (the lock hands the socket over between them). The reader sleeps in poll()
// on the socket's signalling descriptor, which any use of the socket may reset: a writer that
// finds input waiting after its send wakes the reader through wakeFd. A reader counts itself
// among the waiters before it looks for input under the lock, so a writer that finds nobody
// waiting after its send knows that the next wait will look first.
struct sClientStream {
  uint32_t ipv4 = 0;
  uint16_t port = 0;
  zsock_t* serverSocket = nullptr;
  std::mutex socketLock;
  int socketFd = -1;               // the messaging library's descriptor for serverSocket's events
  int wakeFd = -1;                 // an eventfd
  std::atomic<int> waiters{0};     // readers in the wait procedure
  zsock_t* connections = nullptr;  // serverSocket's monitor: its TCP connections (watcher thread)
  zactor_t* watcher = nullptr;     // hands a caught interrupt back to the process, re-enables streams
  std::mutex heldLock;
  HeldStreams held;                           // under heldLock
  std::atomic<int> reEnableAcks{0};           // still to come for enables sent again
  std::atomic<uint64_t> reEnableAckEndMs{0};  // after this, none is awaited any more
  zframe_t* frame = nullptr;                  // reader thread only
  size_t readPosition = 0;
  size_t frameSize = 0;
};

bool sValid(const sClientStream* client) { return client && client->serverSocket; }

// Whether a message waits on the socket (socketLock held). A signal that interrupts the question
// is asked again: the answer would be garbage.
bool sInputWaiting(zsock_t* socket) {
  int events = 0;
  size_t size = sizeof events;
  while (zmq_getsockopt(zsock_resolve(socket), ZMQ_EVENTS, &events, &size) != 0)
    if (errno != EINTR) return false;
  return (events & ZMQ_POLLIN) != 0;
}

void sWakeReader(sClientStream* client) {
  const uint64_t one = 1;
  if (write(client->wakeFd, &one, sizeof one) < 0) {
    // Already signalled (the counter is full) or closed: nothing to add.
  }
}

// After a use of the socket (socketLock held): a reader asleep on its descriptor, which the use
// may have reset, is woken when input waits.
void sWakeReaderAfterUse(sClientStream* client) {
  if (client->waiters > 0 && sInputWaiting(client->serverSocket)) sWakeReader(client);
}

void sTakeWakeUps(sClientStream* client) {
  uint64_t count = 0;
  while (read(client->wakeFd, &count, sizeof count) > 0) {
  }
}

// One try to send the bytes as one frame; wakes the reader when the send left input waiting
// behind the descriptor it sleeps on.
bool sSendOnce(sClientStream* client, const void* data, size_t size) {
  const std::lock_guard<std::mutex> hold(client->socketLock);
  const bool sent = aZmq_SendWithoutWaiting(client->serverSocket, data, size, 0);
  sWakeReaderAfterUse(client);
  return sent;
}

// Sends without waiting, up to kSendTries times 1 ms apart (the socket free meanwhile).
void sSendToServer(sClientStream* client, const void* data, size_t size) {
  for (int attempt = 0; attempt < kSendTries; ++attempt) {
    if (sSendOnce(client, data, size)) return;
    if (attempt + 1 < kSendTries) aTime_MSSleep(kSendPauseMs);
  }
}

// ---- the streams a client holds ---------------------------------------------------------------

bool sIsStreamSwitch(const uint8_t* record, uint8_t length) { return length == 7 && record[2] == cmdSTREAM; }

// Notes the stream enables and disables among the packet frames of one write.
void sNoteStreamSwitches(sClientStream* client, const uint8_t* data, size_t size) {
  for (size_t at = 0; at + 2 <= size && at + 2 + data[at + 1] <= size; at += 2 + data[at + 1]) {
    const uint8_t* record = data + at;
    if (!sIsStreamSwitch(record, record[1])) continue;
    const StreamName name{record[0], record[5], record[6], record[7], record[8]};
    const std::lock_guard<std::mutex> hold(client->heldLock);
    if (record[3] == streamOPTION_ENABLE) client->held[name].assign(record, record + 9);
    if (record[3] == streamOPTION_DISABLE) client->held.erase(name);
  }
}

// Sends every held stream's enable again; the module's acknowledgements are not handed to the
// link, whose requests they do not answer.
void sEnableHeldStreams(sClientStream* client) {
  std::vector<std::vector<uint8_t>> enables;
  {
    const std::lock_guard<std::mutex> hold(client->heldLock);
    for (const auto& entry : client->held) enables.push_back(entry.second);
  }
  if (enables.empty()) return;
  client->reEnableAckEndMs = aTime_GetMonotonicMSTicks() + kReEnableAckMs;
  client->reEnableAcks += static_cast<int>(enables.size());
  const std::lock_guard<std::mutex> hold(client->socketLock);
  for (const std::vector<uint8_t>& enable : enables)
    aZmq_SendWithoutWaiting(client->serverSocket, enable.data(), enable.size(), 0);
  sWakeReaderAfterUse(client);
}

// A frame that is the module's answer to a stream enable sent again (reader thread).
bool sIsReEnableAck(sClientStream* client, zframe_t* frame) {
  if (client->reEnableAcks <= 0) return false;
  if (aTime_GetMonotonicMSTicks() > client->reEnableAckEndMs) {
    client->reEnableAcks = 0;
    return false;
  }
  const uint8_t* bytes = zframe_data(frame);
  const size_t size = zframe_size(frame);
  const bool ack = size >= 4 && size == size_t(bytes[1]) + 2 && bytes[2] == cmdSTREAM &&
                   (bytes[3] & UEI_OPTION_MASK) == (streamOPTION_ENABLE & UEI_OPTION_MASK) && (bytes[3] & UEI_ACK);
  if (ack) --client->reEnableAcks;
  return ack;
}

// What a client stream that a link's reset deleted on this thread held, for the one the reset
// makes in its place (the core says when a reset replaces a link's transport). Kept across a
// failed try, so that the link's next reset makes it good.
struct sHandOver {
  uint32_t ipv4 = 0;
  uint16_t port = 0;
  HeldStreams held;
};
thread_local sHandOver tHandOver;

void sHandOverHeldStreams(sClientStream* client) {
  if (!aLink_ReplacingTransportOnThisThread()) return;
  const std::lock_guard<std::mutex> hold(client->heldLock);
  tHandOver = sHandOver{client->ipv4, client->port, std::move(client->held)};
}

void sTakeHandedOverStreams(sClientStream* client) {
  if (!aLink_ReplacingTransportOnThisThread()) return;
  sHandOver handed = std::move(tHandOver);
  tHandOver = sHandOver{};
  if (handed.held.empty() || handed.ipv4 != client->ipv4 || handed.port != client->port) return;
  {
    const std::lock_guard<std::mutex> hold(client->heldLock);
    client->held = std::move(handed.held);
  }
  sEnableHeldStreams(client);
}

// A monitor event: [event (16 bits, host order)][value (32 bits)], then the endpoint.
bool sTakeConnectionEvent(zsock_t* monitor, uint16_t* event) {
  zmsg_t* message = zmsg_recv(monitor);
  if (!message) return false;
  zframe_t* first = zmsg_first(message);
  const bool complete = first && zframe_size(first) >= sizeof *event;
  if (complete) std::memcpy(event, zframe_data(first), sizeof *event);
  zmsg_destroy(&message);
  return complete;
}

// czmq's handler sets one flag for SIGINT and SIGTERM alike; the signal itself is noted here, in
// a handler laid over czmq's that passes every signal on to it.
std::atomic<int> sCaughtSignal{0};
struct sigaction sMessagingHandlers[2];  // czmq's, for SIGINT and SIGTERM
constexpr int kCaughtSignals[2] = {SIGINT, SIGTERM};

void sNoteSignal(int signal, siginfo_t* info, void* context) {
  sCaughtSignal = signal;
  const struct sigaction& next = sMessagingHandlers[signal == SIGTERM ? 1 : 0];
  if (next.sa_flags & SA_SIGINFO) next.sa_sigaction(signal, info, context);
  else next.sa_handler(signal);
}

// Once per process, after czmq has installed its handlers (the first socket does): lays the
// noting handler over each of them. A signal czmq does not catch is left alone.
void sNoteSignalsCaught() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < 2; ++i) {
      struct sigaction& current = sMessagingHandlers[i];
      if (sigaction(kCaughtSignals[i], nullptr, &current) != 0) continue;
      const bool handled =
          (current.sa_flags & SA_SIGINFO) || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
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

// The watching thread: wakes at least once a second to hand a caught interrupt back, enables the
// held streams again on every connection to the server after the first (the server forgot the
// client when its last connection closed), and ends on the pipe's stop request (or an interrupt
// that ends the process's messaging).
void sWatch(zsock_t* pipe, void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  zsock_signal(pipe, 0);  // taken by zactor_new
  zpoller_t* poller = zpoller_new(pipe, client->connections, nullptr);
  zsock_signal(pipe, poller ? 0 : 1);  // the creator's second wait
  if (!poller) return;
  int connectionsMade = 0;
  for (;;) {
    void* ready = zpoller_wait(poller, kWatchWaitMs);
    sHandBackInterrupt();
    if (ready == pipe || (!ready && aZmq_PollEnded(poller))) break;
    uint16_t event = 0;
    if (ready == client->connections && sTakeConnectionEvent(client->connections, &event) &&
        event == ZMQ_EVENT_CONNECTED && ++connectionsMade > 1)
      sEnableHeldStreams(client);
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
    do {
      zframe_destroy(&client->frame);
      const std::lock_guard<std::mutex> hold(client->socketLock);
      client->frame = aZmq_ReceiveFrameWithoutWaiting(client->serverSocket);
    } while (client->frame && sIsReEnableAck(client, client->frame));
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
  struct Waiting {
    explicit Waiting(std::atomic<int>& count) : _count(count) { ++_count; }
    ~Waiting() { --_count; }
    std::atomic<int>& _count;
  } waiting(client->waiters);
  {
    const std::lock_guard<std::mutex> hold(client->socketLock);
    if (sInputWaiting(client->serverSocket)) return aErrNone;
  }
  pollfd watched[2] = {{client->socketFd, POLLIN, 0}, {client->wakeFd, POLLIN, 0}};
  const int ready = poll(watched, 2, static_cast<int>(timeoutMs));
  if (watched[1].revents) sTakeWakeUps(client);
  // Woken (or interrupted): the caller reads, and waits again when nothing came.
  return ready == 0 ? aErrTimeout : aErrNone;
}

aErr sZeroMQStreamPut(const char*, void*) { return aErrUnimplemented; }

aErr sZeroMQStreamWrite(const char* data, size_t length, void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client)) return aErrParam;
  if (data) sNoteStreamSwitches(client, reinterpret_cast<const uint8_t*>(data), length);
  if (data || length == 0) sSendToServer(client, data, length);
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
  if (client->watcher) {
    // A thread that ended by itself (an interrupt, no poller) reads no more: the stop request
    // must not wait for it. Its closing signal is what the destroy waits for.
    zsock_set_sndtimeo(client->watcher, 0);
    zactor_destroy(&client->watcher);
  }
  sSayGoodbye(client->serverSocket);
  if (client->connections) zmq_socket_monitor(zsock_resolve(client->serverSocket), nullptr, 0);
  zsock_destroy(&client->connections);
  zsock_destroy(&client->serverSocket);
  if (client->wakeFd >= 0) close(client->wakeFd);
  zframe_destroy(&client->frame);
  delete client;
  *clientRef = nullptr;
}

aErr sZeroMQStreamDelete(void* ref) {
  auto* client = static_cast<sClientStream*>(ref);
  if (!sValid(client)) return aErrIO;
  sHandOverHeldStreams(client);
  sDestroyClient(&client);
  return aErrNone;
}

// ---- creation ---------------------------------------------------------------------------------

aErr sConnectServer(sClientStream* client, uint32_t ipv4, uint16_t port) {
  client->serverSocket = zsock_new(ZMQ_DEALER);
  if (!client->serverSocket) return aErrMemory;
  // Set before the connect: it holds for the connection and every reconnection.
  zsock_set_maxmsgsize(client->serverSocket, aSERVER_MAX_FRAME_SIZE);
  client->connections = zsock_new(ZMQ_PAIR);
  if (!client->connections || !aInprocMonitor_Join(client->serverSocket, client->connections, ZMQ_EVENT_CONNECTED))
    return aErrMemory;
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

aErr sStartWatcher(sClientStream* client) {
  sNoteSignalsCaught();
  client->watcher = zactor_new(sWatch, client);
  if (!client->watcher) return aErrMemory;
  // zactor_new took the thread's first signal; the second says whether its poller exists.
  if (aZmq_WaitSignal(client->watcher) != 0) return aErrMemory;
  return aErrNone;
}

aErr sBuild(sClientStream* client, uint32_t ipv4, uint16_t port) {
  aErr result = sConnectServer(client, ipv4, port);
  if (result == aErrNone) {
    client->socketFd = zsock_fd(client->serverSocket);
    client->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (client->socketFd < 0 || client->wakeFd < 0) result = aErrMemory;
  }
  if (result == aErrNone) result = sStartWatcher(client);
  return result;
}

}  // namespace

aErr aStream_CreateClient(uint32_t ipv4, uint16_t port, aStream** stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  auto* client = new (std::nothrow) sClientStream{};
  if (!client) return aErrMemory;
  client->ipv4 = ipv4;
  client->port = port;
  aErr result = sBuild(client, ipv4, port);
  if (result == aErrNone) {
    *stream = aStream_Create(sZeroMQStreamGet, sZeroMQStreamPut, sZeroMQStreamWrite, sZeroMQStreamDelete, client);
    if (!*stream) result = aErrResource;
    else aStream_SetWaitProc(*stream, sZeroMQStreamWait);
    // The wait looks for input before it sleeps and reports no hang-up: a read may follow it.
    if (*stream) aStream_SetWaitBeforeRead(*stream, true);
  }
  if (result == aErrNone) sTakeHandedOverStreams(client);
  if (result != aErrNone) sDestroyClient(&client);
  return result;
}
