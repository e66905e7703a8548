// The round trip of one request through a served link: client link, client stream, server
// (its broker), device link, the simulated module and back, from a client in another
// process (the usual case: it reaches the server over loopback TCP). Beside it, in the same run
// and taking turns round by round: the same request over a direct TCP link to a module of the
// same kind, a raw libzmq DEALER-ROUTER ping-pong over loopback TCP between two processes (the
// same crossing the served request makes: each process's messaging I/O thread handles its own
// side), the same ping-pong within one process (where one I/O thread handles both sides), the
// request sent to the
// server by a bare DEALER over TCP (the served path without the client link and its stream),
// which shows how the served time divides between the client's side and the server's, and the
// served link of the server's own process (its client stream reaches the server in-process).
// Aim: the other process's served median at most the direct link's median plus 1.5 times the
// raw libzmq one between processes.
//
// The simulated modules run in child processes. The local-only server's discovery responder
// listens on the loopback multicast group; to keep even that off the machine's own network, the
// benchmark runs itself in a private network namespace where it can make one.
#include <arpa/inet.h>
#include <czmq.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/child_module.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "server/aServer_ZeroMQ.h"

namespace {

using qfbench::ChildModule;
using qfbench::Clock;
using qfbench::MicrosSince;
using qfbench::Spread;
using qfbench::SpreadOf;

constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kModel = 0x09;
const uint8_t kQuery[] = {0x03, 0x48, 0x20};  // the model query
constexpr int kRounds = 10;
constexpr int kTripsPerRound = 600;
constexpr int kWarmUpTrips = 100;
constexpr int kReplyWaitMs = 1000;
const char* const kPrivateFlag = "QF_BENCH_IN_PRIVATE_NETWORK";

// Re-runs this program in a fresh network namespace holding only loopback; returns only when
// that cannot be done (or already done), and says so.
void EnterPrivateNetwork(char** argv) {
  if (std::getenv(kPrivateFlag)) return;
  setenv(kPrivateFlag, "1", 1);
  const char* args[] = {"unshare", "-rn", "sh", "-c", "ip link set lo up && exec \"$0\"", argv[0], nullptr};
  execvp("unshare", const_cast<char* const*>(args));
  std::printf("(no private network namespace: running in the machine's own; nothing is sent beyond loopback)\n");
}

// Times rounds of trips; false when a trip failed.
template <typename Trip>
bool TimeRound(Trip trip, std::vector<double>* samples) {
  for (int i = 0; i < kWarmUpTrips + kTripsPerRound; ++i) {
    const auto start = Clock::now();
    if (!trip()) return false;
    if (i >= kWarmUpTrips) samples->push_back(MicrosSince(start));
  }
  return true;
}

// ---- raw libzmq -------------------------------------------------------------------------------

// A ROUTER on loopback that echoes every message, on a thread of its own.
class EchoRouter {
 public:
  EchoRouter() : _router(zsock_new(ZMQ_ROUTER)) {
    _port = zsock_bind(_router, "tcp://127.0.0.1:*");
    zsock_set_rcvtimeo(_router, 100);
    _thread = std::thread([this] {
      while (!_stop) {
        zmsg_t* message = zmsg_recv(_router);
        if (message) zmsg_send(&message, _router);
      }
    });
  }
  ~EchoRouter() {
    _stop = true;
    _thread.join();
    zsock_destroy(&_router);
  }
  int port() const { return _port; }

 private:
  zsock_t* _router;
  int _port = -1;
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

// A ROUTER on loopback that echoes every message, in a process of its own forked before this
// process starts any thread; it ends when its keep-alive pipe closes.
struct ChildEcho {
  pid_t pid = -1;
  int keepAlive = -1;
  int port = -1;

  static ChildEcho Start() {
    const qfbench::ForkedChild forked = qfbench::ForkServing(Serve);
    ChildEcho child;
    child.pid = forked.pid;
    child.keepAlive = forked.toChild;
    if (forked.pid < 0) return child;
    if (read(forked.fromChild, &child.port, sizeof child.port) != sizeof child.port) child.port = -1;
    close(forked.fromChild);
    return child;
  }
  void Stop() {
    if (keepAlive >= 0) close(keepAlive);
    if (pid > 0) waitpid(pid, nullptr, 0);
    keepAlive = pid = -1;
  }

 private:
  // Echoes with a plain blocking receive, the cheapest wait libzmq offers; between messages it
  // looks whether the keep-alive pipe has closed.
  static int Serve(int alive, int where) {
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    const int port = router ? zsock_bind(router, "tcp://127.0.0.1:*") : -1;
    if (write(where, &port, sizeof port) != sizeof port || port < 0) return 1;
    zsock_set_rcvtimeo(router, 100);
    fcntl(alive, F_SETFL, O_NONBLOCK);
    for (;;) {
      zmsg_t* message = zmsg_recv(router);
      if (message) {
        zmsg_send(&message, router);
        continue;
      }
      char byte;
      if (read(alive, &byte, 1) == 0) break;  // closed: the benchmark is over
    }
    zsock_destroy(&router);
    return 0;
  }
};

// A DEALER that sends one frame and waits for one back.
class Dealer {
 public:
  explicit Dealer(int port) : _socket(zsock_new(ZMQ_DEALER)) {
    zsock_set_rcvtimeo(_socket, kReplyWaitMs);
    zsock_connect(_socket, "tcp://127.0.0.1:%d", port);
  }
  ~Dealer() { zsock_destroy(&_socket); }
  bool trip(const uint8_t* frame, size_t size) {
    if (zmq_send(zsock_resolve(_socket), frame, size, 0) != int(size)) return false;
    zframe_t* reply = zframe_recv(_socket);
    const bool ok = reply != nullptr;
    zframe_destroy(&reply);
    return ok;
  }

 private:
  zsock_t* _socket;
};

// ---- links ------------------------------------------------------------------------------------

uint8_t IsModelReply(const aPacket* packet, const void*) {
  return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == kQuery[0];
}

bool LinkTrip(aLinkID id, const aPacket* query) {
  if (aLink_PutPacket(id, query) != aErrNone) return false;
  aPacket* reply = aLink_AwaitFirst(id, IsModelReply, nullptr, kReplyWaitMs);
  const bool ok = reply != nullptr;
  aPacket_Destroy(&reply);
  return ok;
}

struct Figures {
  std::vector<double> rawZmq, rawZmqOneProcess, direct, servedBare, served, servedElsewhere;
};

// ---- a client in another process --------------------------------------------------------------

bool ReadAll(int fd, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, bytes, size);
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, bytes, size);
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

// A served link in a process of its own, forked before this process starts any thread. Told the
// server's port, it makes its client link to it over loopback TCP; then it times one round of
// trips at each request and sends the samples back. Commands: 'r' a round, 'q' the end.
class ChildClient {
 public:
  static ChildClient Start() {
    const qfbench::ForkedChild forked = qfbench::ForkServing(Serve);
    ChildClient child;
    child._pid = forked.pid;
    child._commands = forked.toChild;
    child._answers = forked.fromChild;
    return child;
  }

  bool Connect(uint16_t port) {
    uint8_t connected = 0;
    return WriteAll(_commands, &port, sizeof port) && ReadAll(_answers, &connected, 1) && connected == 1;
  }

  bool Round(std::vector<double>* samples) {
    uint32_t count = 0;
    if (!WriteAll(_commands, "r", 1) || !ReadAll(_answers, &count, sizeof count) || count == 0) return false;
    std::vector<double> round(count);
    if (!ReadAll(_answers, round.data(), count * sizeof(double))) return false;
    samples->insert(samples->end(), round.begin(), round.end());
    return true;
  }

  void Stop() {
    if (_commands >= 0) {
      WriteAll(_commands, "q", 1);
      close(_commands);
    }
    if (_answers >= 0) close(_answers);
    if (_pid > 0) waitpid(_pid, nullptr, 0);
    _commands = _answers = _pid = -1;
  }

 private:
  static int Serve(int commands, int answers) {
    uint16_t port = 0;
    if (!ReadAll(commands, &port, sizeof port)) return 1;
    aServer_RegisterWithLinkCore();
    aLinkID client = aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
    const uint8_t connected = client ? 1 : 0;
    if (!WriteAll(answers, &connected, 1) || !client) return 1;
    aPacket* query = aPacket_CreateWithData(kAddress, sizeof kQuery, kQuery);
    char command = 0;
    while (ReadAll(commands, &command, 1) && command == 'r') {
      std::vector<double> samples;
      const bool ok = TimeRound([&] { return LinkTrip(client, query); }, &samples);
      const uint32_t count = ok ? static_cast<uint32_t>(samples.size()) : 0;
      if (!WriteAll(answers, &count, sizeof count) || !WriteAll(answers, samples.data(), count * sizeof(double))) break;
    }
    aPacket_Destroy(&query);
    aLink_Destroy(&client);
    return 0;
  }

  pid_t _pid = -1;
  int _commands = -1;
  int _answers = -1;
};

bool Measure(uint16_t directPort, uint16_t servedPort, int echoPort, ChildClient* elsewhere, Figures* figures) {
  aServer_RegisterWithLinkCore();
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  aLinkID direct = aLink_CreateTCPIP(0x1A2B3C4D, loopback, directPort);
  aLinkID device = aLink_CreateTCPIP(0x1A2B3C4E, loopback, servedPort);
  uint16_t serverPort = 0;
  uint32_t serverInterface = 0;
  aLinkID served = device ? aLink_CreateServer(device, &serverPort, &serverInterface, 1) : 0;
  if (!served && device) aLink_Destroy(&device);
  bool ok = direct && served && elsewhere->Connect(serverPort);
  aPacket* query = aPacket_CreateWithData(kAddress, sizeof kQuery, kQuery);
  const uint8_t queryFrame[] = {kAddress, sizeof kQuery, kQuery[0], kQuery[1], kQuery[2]};
  {
    EchoRouter echo;
    Dealer rawClient(echoPort);
    Dealer rawClientHere(echo.port());
    Dealer bareClient(serverPort);
    for (int round = 0; ok && round < kRounds; ++round) {
      ok = TimeRound([&] { return rawClient.trip(queryFrame, sizeof queryFrame); }, &figures->rawZmq) &&
           TimeRound([&] { return rawClientHere.trip(queryFrame, sizeof queryFrame); }, &figures->rawZmqOneProcess) &&
           TimeRound([&] { return LinkTrip(direct, query); }, &figures->direct) &&
           TimeRound([&] { return bareClient.trip(queryFrame, sizeof queryFrame); }, &figures->servedBare) &&
           TimeRound([&] { return LinkTrip(served, query); }, &figures->served) &&
           elsewhere->Round(&figures->servedElsewhere);
    }
  }
  aPacket_Destroy(&query);
  if (served) aLink_Destroy(&served);  // the device link and its server go with it
  if (direct) aLink_Destroy(&direct);
  return ok;
}

void Report(const Figures& figures) {
  const Spread raw = SpreadOf(figures.rawZmq), rawHere = SpreadOf(figures.rawZmqOneProcess);
  const Spread direct = SpreadOf(figures.direct);
  const Spread bare = SpreadOf(figures.servedBare), local = SpreadOf(figures.served);
  const Spread served = SpreadOf(figures.servedElsewhere);
  std::printf("round trip of the model query over loopback, %d requests each:\n", kRounds * kTripsPerRound);
  std::printf("  raw libzmq DEALER-ROUTER, two processes         median %7.1f us  p99 %7.1f us\n", raw.median, raw.p99);
  std::printf(
      "  raw libzmq DEALER-ROUTER, one process           median %7.1f us  p99 %7.1f us  (one I/O thread, beside)\n",
      rawHere.median, rawHere.p99);
  std::printf("  direct TCP link                                 median %7.1f us  p99 %7.1f us\n", direct.median,
              direct.p99);
  std::printf("  server, bare DEALER client over TCP             median %7.1f us  p99 %7.1f us\n", bare.median,
              bare.p99);
  std::printf("  served link, client in another process (TCP)    median %7.1f us  p99 %7.1f us\n", served.median,
              served.p99);
  std::printf("  served link, client in the server's process     median %7.1f us  p99 %7.1f us  (in-process, beside)\n",
              local.median, local.p99);
  const double bound = direct.median + 1.5 * raw.median;
  const double boundHere = direct.median + 1.5 * rawHere.median;
  std::printf(
      "  served median (other process) %.1f us beside the bound direct + 1.5 x raw libzmq (two processes) = %.1f us: "
      "%s\n",
      served.median, bound, served.median <= bound ? "within" : "OVER");
  std::printf(
      "  ratios of medians (other process): served / direct %.2f, served / raw libzmq %.2f, served / bound %.2f "
      "(with the one-process ping-pong: %.2f)\n",
      direct.median > 0 ? served.median / direct.median : 0.0, raw.median > 0 ? served.median / raw.median : 0.0,
      bound > 0 ? served.median / bound : 0.0, boundHere > 0 ? served.median / boundHere : 0.0);
  std::printf("  where it goes: server beyond the direct link %.1f us, client link and stream %.1f us\n",
              bare.median - direct.median, served.median - bare.median);
  qfbench::Aim("served round trip from another process within direct + 1.5 x raw libzmq between processes",
               served.median <= bound);
}

}  // namespace

int main(int, char** argv) {
  EnterPrivateNetwork(argv);
  signal(SIGPIPE, SIG_IGN);
  // Every child is forked before the messaging library starts any thread here.
  ChildModule directModule = ChildModule::Start(qfsim::SimTransport::tcp, kAddress, kModel);
  ChildModule servedModule = ChildModule::Start(qfsim::SimTransport::tcp, kAddress, kModel);
  ChildClient elsewhere = ChildClient::Start();
  ChildEcho echo = ChildEcho::Start();
  if (!directModule.Ready() || !servedModule.Ready() || echo.port < 0) {
    std::printf("the simulated module or the echo did not start\n");
    elsewhere.Stop();
    echo.Stop();
    directModule.Stop();
    servedModule.Stop();
    return 1;
  }
  Figures figures;
  const bool ok = Measure(directModule.port, servedModule.port, echo.port, &elsewhere, &figures);
  elsewhere.Stop();
  echo.Stop();
  if (ok) Report(figures);
  else std::printf("served round trip: FAILED (a link or server could not be made, or a request went unanswered)\n");
  servedModule.Stop();
  directModule.Stop();
  return ok ? 0 : 1;
}
