#include "common/aStreamsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "common/aTime.h"

namespace {

constexpr uint16_t sSocketCheck = 0xDEAD;
constexpr uint32_t sConnectedFlag = 1u << 0;
constexpr uint32_t sClosePauseMs = 10;
constexpr size_t sInputRoom = 512;

// One socket stream's transport record. The reader thread (get, wait) and the writer thread
// (put, write) share it: the descriptor and the connection state are touched only under lock.
// A receive and a send hold it shared, so that neither waits for the other's system call (a
// reader taking the stream between a caller's send and its wait for the answer must not stall
// that caller); replacing the connection holds it alone. It is never held while waiting for
// input or between send retries; a reconnect holds it (the close pause and at most
// aSOCKET_CONNECT_TIMEOUT_MS of connecting), so that the other thread, meeting the same loss,
// waits for that outcome instead of reconnecting again.
struct sSocket {
  uint16_t port = 0;
  sockaddr_in address{};
  int descriptor = -1;
  uint32_t flags = 0;
  uint16_t check = 0;
  std::shared_mutex lock;
  // Counts connection attempts, so that two threads that meet the same loss reconnect once.
  uint32_t resets = 0;
  // The module closed its side of the current connection.
  std::atomic<bool> peerClosed = false;
  // Reader side only: what the last receive brought and has not been delivered yet.
  char input[sInputRoom];
  size_t inputCount = 0;
  size_t inputIndex = 0;
};

bool aVALIDSS(const sSocket* record) { return record && record->check == sSocketCheck; }

bool sIsConnected(const sSocket* record) { return (record->flags & sConnectedFlag) != 0; }

bool sIsLostConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// Closes the connection; the pause lets the module notice before a new one is made.
void sSocketStreamClose(sSocket* record) {
  record->flags &= ~sConnectedFlag;
  if (record->descriptor >= 0) close(record->descriptor);
  record->descriptor = -1;
  aTime_MSSleep(sClosePauseMs);
}

// Connects a non-blocking socket within aSOCKET_CONNECT_TIMEOUT_MS; 0 or the errno of the failure.
int sConnectBounded(int descriptor, const sockaddr_in& address) {
  if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS) return errno;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aSOCKET_CONNECT_TIMEOUT_MS);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd waiting{descriptor, POLLOUT, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
  }
}

// Options of a connected socket: packets go out at once, receives never time out, a close
// discards unsent data and resets the connection, and no call blocks.
bool sSetOptions(int descriptor) {
  const int on = 1;
  const timeval noTimeout{0, 0};
  const linger resetOnClose{1, 0};
  return setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
         setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) == 0 &&
         setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) == 0 &&
         ioctl(descriptor, FIONBIO, &on) == 0;
}

// (Re)connects the record; caller holds the lock.
aErr sSocketStreamReset(sSocket* record) {
  if (!aVALIDSS(record)) return aErrInitialization;
  ++record->resets;
  if (record->descriptor >= 0) sSocketStreamClose(record);
  record->peerClosed = false;
  record->descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (record->descriptor < 0) return aErrIO;
  const int error = sConnectBounded(record->descriptor, record->address);
  if (error != 0) {
    sSocketStreamClose(record);
    const bool refused = error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED;
    return refused ? aErrConnection : aErrIO;
  }
  record->flags |= sConnectedFlag;
  if (!sSetOptions(record->descriptor)) {
    sSocketStreamClose(record);
    return aErrIO;
  }
  return aErrNone;
}

// Re-establishes a connection found lost during the attempt numbered seenResets; when another
// thread has reconnected since, its outcome stands.
aErr sReconnect(sSocket* record, uint32_t seenResets) {
  std::lock_guard hold(record->lock);
  if (record->resets != seenResets) return sIsConnected(record) ? aErrNone : aErrConnection;
  record->flags &= ~sConnectedFlag;
  return sSocketStreamReset(record);
}

// One receive into the input buffer.
aErr sReceive(sSocket* record) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t seenResets = 0;
    ssize_t received = -1;
    int error = 0;
    {
      std::shared_lock hold(record->lock);
      if (!sIsConnected(record)) return aErrConnection;
      seenResets = record->resets;
      received = recv(record->descriptor, record->input, sizeof record->input, MSG_DONTWAIT);
      error = errno;
      if (received == 0) record->peerClosed = true;
    }
    if (received > 0) {
      record->inputCount = static_cast<size_t>(received);
      record->inputIndex = 0;
      return aErrNone;
    }
    // Closed by the module: the end of the stream, which the link reports as an I/O state so
    // that its user sees the connection gone. It is not re-established on this account.
    if (received == 0) return aErrEOF;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return aErrNotReady;
    if (!sIsLostConnection(error) || attempt > 0) return aErrConnection;
    const aErr reset = sReconnect(record, seenResets);
    if (reset != aErrNone) return reset;
  }
  return aErrConnection;
}

aErr sSocketStreamGet(char* byte, void* ref) {
  auto* record = static_cast<sSocket*>(ref);
  if (!aVALIDSS(record)) return aErrParam;
  if (record->inputIndex == record->inputCount) {
    const aErr err = sReceive(record);
    if (err != aErrNone) return err;
  }
  *byte = record->input[record->inputIndex++];
  return aErrNone;
}

aErr sSocketStreamWait(uint32_t timeoutMs, void* ref) {
  auto* record = static_cast<sSocket*>(ref);
  if (!aVALIDSS(record)) return aErrParam;
  if (record->inputIndex < record->inputCount) return aErrNone;
  pollfd waiting{-1, POLLIN, 0};
  {
    std::shared_lock hold(record->lock);
    if (!sIsConnected(record)) return aErrConnection;
    if (!record->peerClosed) waiting.fd = record->descriptor;
  }
  // A closed connection always polls readable but never delivers: sleep instead of spinning.
  // (poll ignores a negative descriptor and just waits.)
  const int ready = poll(&waiting, 1, static_cast<int>(timeoutMs));
  return ready == 0 ? aErrTimeout : aErrNone;
}

// One non-blocking send of what is left of a buffer.
struct sSendOutcome {
  aErr state;    // aErrConnection when the record is not connected (nothing was tried)
  ssize_t sent;  // bytes sent, or -1 with the errno in error
  int error;
  uint32_t resets;  // the connection attempt the send went to
};

sSendOutcome sSendOnce(sSocket* record, const char* data, size_t length) {
  std::shared_lock hold(record->lock);
  if (!sIsConnected(record)) return {aErrConnection, -1, 0, record->resets};
  const ssize_t sent = send(record->descriptor, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  return {aErrNone, sent, errno, record->resets};
}

aErr sSocketStreamWrite(const char* data, size_t length, void* ref) {
  auto* record = static_cast<sSocket*>(ref);
  if (!aVALIDSS(record)) return aErrParam;
  size_t done = 0;
  int attempts = 0;
  while (done < length) {
    const sSendOutcome outcome = sSendOnce(record, data + done, length - done);
    const int error = outcome.error;
    if (outcome.state != aErrNone) return outcome.state;
    if (outcome.sent >= 0) {
      done += static_cast<size_t>(outcome.sent);
      if (done == length) return aErrNone;
      attempts = 1;  // progress: the peer is reading, keep going
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
      ++attempts;
    } else if (sIsLostConnection(error)) {
      const aErr reset = sReconnect(record, outcome.resets);
      if (reset != aErrNone) return reset;
      ++attempts;
      done = 0;
    } else {
      return aErrIO;
    }
    aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    if (attempts >= aSOCKET_MAX_SEND_RETRY) return aErrWrite;
  }
  return aErrNone;
}

aErr sSocketStreamPut(const char* byte, void* ref) { return sSocketStreamWrite(byte, 1, ref); }

aErr sSocketStreamDelete(void* ref) {
  auto* record = static_cast<sSocket*>(ref);
  if (!aVALIDSS(record)) return aErrIO;
  if (record->descriptor >= 0) sSocketStreamClose(record);
  record->flags = 0;
  record->check = 0;
  delete record;
  return aErrNone;
}

}  // namespace

aErr sSocketStreamAcceptDelete(void* ref) {
  auto* record = static_cast<sSocket*>(ref);
  if (!aVALIDSS(record)) return aErrIO;
  // The descriptor belongs to whoever accepted the connection: it stays open for them.
  record->descriptor = -1;
  record->flags = 0;
  record->check = 0;
  delete record;
  return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (!stream) return aErrResource;
  *stream = nullptr;
  auto* record = new (std::nothrow) sSocket;
  if (!record) return aErrResource;
  record->port = port;
  record->address.sin_family = AF_INET;
  record->address.sin_port = htons(port);
  record->address.sin_addr.s_addr = address;
  record->check = sSocketCheck;
  aErr err;
  {
    std::lock_guard hold(record->lock);
    err = sSocketStreamReset(record);
  }
  aStream* made = err == aErrNone ? aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                                   sSocketStreamDelete, record)
                                  : nullptr;
  if (!made) {
    sSocketStreamDelete(record);
    return aErrResource;
  }
  aStream_SetWaitProc(made, sSocketStreamWait);
  aStream_SetWaitBeforeRead(made, true);  // poll shows what is waiting, also beside a hang-up
  *stream = made;
  return aErrNone;
}
