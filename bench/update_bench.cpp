// The firmware phase of the update road (_transfer_firmware) sending a 1 MiB image over loopback
// TCP to the simulated module's loader, which runs in a child process, by both data paths (DATA
// packets, UEI byte arrays with pooled writes), beside a raw client that replays the very same
// exchange on a plain blocking socket to the same module in the same run.
//
// The exchange is recorded once per path by a relay between the road and the module: every run
// of bytes each side sent, in order. The raw replay sends the host's runs and, wherever the road
// waited, waits for as many of the module's bytes as came back meanwhile, so it costs what the
// module and the loopback cost and nothing else. Its rate is the bound: the road's rate over it
// is the library's share (aim: at least 0.8); the replay's time per wait says how much of the
// whole the module and the wire take.
//
// The road ends in the loader's reboot wait, a fixed pause of the protocol (one pass of 250 ms
// for a module reached so, whose link stays up), not the library's cost and not part of the
// exchange: it is measured apart (from the end of the last block's progress to the road's end)
// and the ratio is taken over the transfer without it.
//
// Both sides of a comparison start from the same machine at rest: each road and each replay
// begins after a pause (kRest) with nothing running. Without it every replay came right after
// the road's reboot wait, a quarter second of rest, and every road right after a busy replay; on
// an otherwise idle machine the scheduler then keeps the replay and the module on one CPU for the
// first tens of milliseconds (no cross-CPU wake-ups: half the time per wait), and the road not,
// which alone took the byte-array road from about 0.85 of the replay to about 0.55.
//
// On an otherwise idle machine with several processors the DATA packet figure swings between
// runs (0.65 to 0.85 on one virtual machine in one hour) for a reason of the scheduler's: a wait
// costs a few microseconds while the host side and the module take turns on one processor, and
// about ten times that while they sit on two, every hand-over then waking an idle processor.
// Which of the two it is changes every few thousand waits; a side whose turn is shorter than the
// module's preempts the module when its reply comes and keeps the pair together more often. The
// replay's turn is the shortest possible, the road's about as long as the module's. Run on one
// processor (taskset), the ratio shows the road's own cost alone and is steady.
//
// A short run (--benchmark_min_time below 0.5 s) sends a 64 KiB image once per path.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "bench/child_module.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdateSteps.h"
#include "firmware/UpdaterDisplayInterface.h"
#include "sim/module/simEntities.h"
#include "sim/module/simModule.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/loopback_tcp.h"
#include "support/raw_peer.h"
#include "support/temp_folder.h"

using namespace UpdateSteps;

namespace bird = qftest::bird;
using Clock = std::chrono::steady_clock;
using Tarnwick::Quillfern::Module;

namespace {

constexpr uint8_t kAddress = 2;
// What one run sends and how many runs each path takes: the full measure, or (a short run, see
// qfbench::ShortRun) a small image once. A byte-array transfer of the full image lasts only
// about 50 ms, so that one run's ratio swings with where the scheduler put the two sides
// (0.4 to 1.3 in runs alike); its median is taken over more runs, which cost little.
struct Measure {
  size_t imageBytes;
  int blocks;
  int dataPacketRuns;
  int byteArrayRuns;
};
constexpr Measure kFull{size_t{1} << 20, 16, 5, 15};
constexpr Measure kShort{size_t{64} << 10, 4, 1, 1};
constexpr double kAim = 0.8;
// The rest before each measured transfer: long enough for the scheduler's picture of the last
// one's load to fade (it halves every 32 ms), and at least the road's reboot wait.
constexpr auto kRest = std::chrono::milliseconds(300);

// ---- the simulated module in a child process ----------------------------------------------------

// The module's entities and loader: a loader already running, both data paths offered, the
// connection dropped at the reboot as a restarting module drops it.
std::shared_ptr<void> AttachLoader(qfsim::SimModule& module) {
  struct Handlers {
    std::shared_ptr<qfsim::SimEntities> entities = std::make_shared<qfsim::SimEntities>();
    std::shared_ptr<qfsim::SimUpgrade> upgrade;
  };
  auto handlers = std::make_shared<Handlers>();
  qfsim::SimEntities::attach(handlers->entities, module);
  qfsim::SimUpgradeSettings settings = qfsim::SimPooledLoaderSettings();
  settings.loaderRunning = true;
  handlers->upgrade = std::make_shared<qfsim::SimUpgrade>(settings);
  qfsim::SimUpgrade::attach(handlers->upgrade, handlers->entities, module);
  handlers->upgrade->setSettings(settings);
  return handlers;
}

// The helpers' peers do not block; the relay and the replay want plain blocking sockets.
int Blocking(const qftest::RawPeer& peer) {
  const int fd = peer.fd();
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// ---- the recorded exchange --------------------------------------------------------------------

// One step of the exchange: what the host sent, then how many of the module's bytes came back
// before the host sent again.
struct Step {
  std::vector<uint8_t> sent;
  size_t answered = 0;
};

// Relays one connection from the road to the module and records the exchange, until either
// side closes.
std::vector<Step> Relay(qftest::LoopbackListener& listener, uint16_t modulePort) {
  std::vector<Step> steps;
  qftest::RawPeer hostPeer = listener.accept(std::chrono::seconds(5));
  qftest::RawPeer modulePeer = qftest::RawPeer::tcp(modulePort);
  const int host = Blocking(hostPeer);
  const int module = Blocking(modulePeer);
  const int on = 1;
  setsockopt(host, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  uint8_t buffer[65536];
  for (bool open = host >= 0 && module >= 0; open;) {
    pollfd ends[2] = {{host, POLLIN, 0}, {module, POLLIN, 0}};
    if (poll(ends, 2, 5000) <= 0) break;
    for (int side = 0; side < 2 && open; ++side) {
      if (!(ends[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = recv(ends[side].fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        open = false;
        break;
      }
      send(ends[1 - side].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (side == 0) {
        if (steps.empty() || steps.back().answered != 0) steps.emplace_back();
        steps.back().sent.insert(steps.back().sent.end(), buffer, buffer + n);
      } else if (!steps.empty()) {
        steps.back().answered += static_cast<size_t>(n);
      }
    }
  }
  return steps;
}

// The raw replay: each step's bytes in one send, then its answer read in full. The seconds it
// took, or a negative number when the module stopped answering.
double Replay(const std::vector<Step>& steps, uint16_t port) {
  qftest::RawPeer peer = qftest::RawPeer::tcp(port);
  const int fd = Blocking(peer);
  if (fd < 0) return -1;
  std::vector<uint8_t> buffer(65536);
  const auto start = Clock::now();
  bool ok = true;
  for (const Step& step : steps) {
    ok = send(fd, step.sent.data(), step.sent.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(step.sent.size());
    for (size_t got = 0; ok && got < step.answered;) {
      const ssize_t n = recv(fd, buffer.data(), std::min(buffer.size(), step.answered - got), 0);
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
    if (!ok) break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return ok ? seconds : -1;
}

// ---- the road -----------------------------------------------------------------------------------

// Notes when the last block's progress ended: what follows is the reboot wait. It shows nothing,
// as the program's own display shows no progress bar when its output is not a terminal: the
// road is measured without the cost of drawing one.
class TimingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool start) override {
    if (!start) transferEnd = Clock::now();
  }
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
  Clock::time_point transferEnd{};
};

struct RoadTime {
  double transfer = -1;    // seconds up to the end of the last block; negative on failure
  double rebootWait = -1;  // seconds of the reboot wait after it
};

// _transfer_firmware over a fresh direct connection to the port.
RoadTime Road(const BirdFile& image, uint16_t port, bool byteArrays) {
  Module module(kAddress, false, 0);
  Tarnwick::Quillfern::OrvaneConfig direct;
  direct.enabled = 0;
  direct.fallback = 0;
  direct.localOnly = 1;
  module.setConfig(direct);
  linkSpec spec{};
  spec.type = TCPIP;
  spec.ipAddress = htonl(INADDR_LOOPBACK);
  spec.port = port;
  if (module.connectFromSpec(spec) != aErrNone) return {};
  TimingDisplay display;
  const auto start = Clock::now();
  const aErr sent = _transfer_firmware(display, module, image, true, byteArrays);
  const auto end = Clock::now();
  if (sent != aErrNone) return {};
  return {std::chrono::duration<double>(display.transferEnd - start).count(),
          std::chrono::duration<double>(end - display.transferEnd).count()};
}

std::vector<Step> Record(const BirdFile& image, uint16_t modulePort, bool byteArrays) {
  qftest::LoopbackListener listener;
  std::vector<Step> steps;
  std::thread relay([&] { steps = Relay(listener, modulePort); });
  Road(image, listener.port(), byteArrays);
  relay.join();
  return steps;
}

struct Spread {
  double min, median, max;
};

Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return {-1, -1, -1};
  return {values.front(), values[values.size() / 2], values.back()};
}

void Compare(const char* path, const Measure& measure, const BirdFile& image, uint16_t port, bool byteArrays) {
  const int runs = byteArrays ? measure.byteArrayRuns : measure.dataPacketRuns;
  const std::vector<Step> steps = Record(image, port, byteArrays);
  std::vector<double> road, reboot, raw, ratio;
  bool ok = !steps.empty();
  for (int run = 0; ok && run < runs; ++run) {  // in turns, so that the machine's load falls on both
    std::this_thread::sleep_for(kRest);
    const RoadTime time = Road(image, port, byteArrays);
    std::this_thread::sleep_for(kRest);
    const double replay = Replay(steps, port);
    ok = time.transfer > 0 && replay > 0;
    road.push_back(time.transfer);
    reboot.push_back(time.rebootWait);
    raw.push_back(replay);
    ratio.push_back(replay / time.transfer);  // rate over rate, same bytes
  }
  if (!ok) {
    std::printf("%s: FAILED (the transfer or its replay did not complete)\n", path);
    qfbench::Aim(std::string("firmware transfer by ") + path + ", at least 0.8 of a raw replay", false);
    return;
  }
  const Spread r = SpreadOf(road), w = SpreadOf(reboot), x = SpreadOf(raw), q = SpreadOf(ratio);
  std::printf("%s, %zu-byte image in %d blocks, %d runs (min / median / max):\n", path, measure.imageBytes,
              measure.blocks, runs);
  std::printf("  road transfer  %.3f / %.3f / %.3f s  (%.0f bytes/s at the median)\n", r.min, r.median, r.max,
              static_cast<double>(measure.imageBytes) / r.median);
  std::printf("  raw replay     %.3f / %.3f / %.3f s  (%.0f bytes/s; %zu waits for the module)\n", x.min, x.median,
              x.max, static_cast<double>(measure.imageBytes) / x.median, steps.size());
  std::printf("  reboot wait    %.3f / %.3f / %.3f s  (the protocol's fixed pause, not counted above)\n", w.min,
              w.median, w.max);
  const double waits = static_cast<double>(steps.size());
  std::printf("  per wait: module and wire %.1f us, the road's own share %.1f us (medians)\n", x.median * 1e6 / waits,
              (r.median - x.median) * 1e6 / waits);
  std::printf("  road rate / raw replay rate %.2f / %.2f / %.2f (aim: at least %.1f)\n", q.min, q.median, q.max, kAim);
  qfbench::Aim(std::string("firmware transfer by ") + path + ", at least 0.8 of a raw replay", q.median >= kAim);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  // "data" or "uei" runs that path alone (for profiling); of the benchmark flags only
  // --benchmark_min_time counts (a short run).
  const Measure& measure = qfbench::ShortRun(argc, argv) ? kShort : kFull;
  std::string only;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--", 2) != 0) only = argv[i];
  qfbench::ChildModule child =
      qfbench::ChildModule::Start(qfsim::SimTransport::tcp, kAddress, qfsim::SimModuleOptions{}.model, AttachLoader);
  if (!child.Ready()) {
    std::printf("the simulated module did not start\n");
    child.Stop();
    return 1;
  }
  qftest::TempFolder folder;
  bird::Build build;
  build.firmwareSize = measure.imageBytes;
  build.pieces = measure.blocks;
  build.loaderSize = 16;
  const std::string path = folder / "image.bird";
  bird::writeFile(path, bird::makeBirdFile(build));
  const BirdFile image(path.c_str());
  if (only.empty() || only == "data") Compare("DATA packets", measure, image, child.port, false);
  if (only.empty() || only == "uei") Compare("UEI byte arrays, pooled writes", measure, image, child.port, true);
  child.Stop();
  return 0;
}
