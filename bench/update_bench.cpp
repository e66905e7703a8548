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
#include "sim/module/simEntities.h"
#include "sim/module/simModule.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/loopback_tcp.h"
#include "support/raw_peer.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "updater/BirdFile.h"
#include "updater/UpdateSteps.h"

using namespace UpdateSteps;

namespace bird = qftest::bird;
using Clock = std::chrono::steady_clock;
using Tarnwick::Quillfern::Module;

namespace {

constexpr uint8_t kAddress = 2;
constexpr size_t kImageBytes = size_t{1} << 20;
constexpr int kBlocks = 16;
constexpr int kRuns = 3;
constexpr double kAim = 0.8;

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
  qfsim::SimUpgradeSettings settings;
  settings.loaderRunning = true;
  settings.offerUEIData = true;
  settings.protocolFeatures = 0x80000000u;
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

// _transfer_firmware over a fresh direct connection to the port; the seconds it took, or a
// negative number when it failed.
double Road(const BirdFile& image, uint16_t port, bool byteArrays) {
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
  if (module.connectFromSpec(spec) != aErrNone) return -1;
  qftest::RecordingDisplay display;
  const auto start = Clock::now();
  const aErr sent = _transfer_firmware(display, module, image, true, byteArrays);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return sent == aErrNone ? seconds : -1;
}

std::vector<Step> Record(const BirdFile& image, uint16_t modulePort, bool byteArrays) {
  qftest::LoopbackListener listener;
  std::vector<Step> steps;
  std::thread relay([&] { steps = Relay(listener, modulePort); });
  Road(image, listener.port(), byteArrays);
  relay.join();
  return steps;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

void Compare(const char* path, const BirdFile& image, uint16_t port, bool byteArrays) {
  const std::vector<Step> steps = Record(image, port, byteArrays);
  std::vector<double> road, raw;
  for (int run = 0; run < kRuns; ++run) {  // in turns, so that the machine's load falls on both
    road.push_back(Road(image, port, byteArrays));
    raw.push_back(Replay(steps, port));
  }
  const double roadSeconds = Median(road);
  const double rawSeconds = Median(raw);
  if (steps.empty() || roadSeconds <= 0 || rawSeconds <= 0) {
    std::printf("%s: FAILED (the transfer or its replay did not complete)\n", path);
    return;
  }
  const double roadRate = kImageBytes / roadSeconds;
  const double rawRate = kImageBytes / rawSeconds;
  std::printf("%s, %zu-byte image in %d blocks, median of %d:\n", path, kImageBytes, kBlocks, kRuns);
  std::printf("  road        %8.3f s  %10.0f bytes/s\n", roadSeconds, roadRate);
  std::printf("  raw replay  %8.3f s  %10.0f bytes/s  (%zu waits for the module)\n", rawSeconds, rawRate,
              steps.size());
  const double waits = static_cast<double>(steps.size());
  std::printf("  per wait: module and wire %.1f us, the road's own share %.1f us\n", rawSeconds * 1e6 / waits,
              (roadSeconds - rawSeconds) * 1e6 / waits);
  std::printf("  road rate / raw replay rate %.2f (aim: at least %.1f)\n", roadRate / rawRate, kAim);
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  qfbench::ChildModule child =
      qfbench::ChildModule::Start(qfsim::SimTransport::tcp, kAddress, qfsim::SimModuleOptions{}.model, AttachLoader);
  if (!child.Ready()) {
    std::printf("the simulated module did not start\n");
    child.Stop();
    return 1;
  }
  qftest::TempFolder folder;
  bird::Build build;
  build.firmwareSize = kImageBytes;
  build.pieces = kBlocks;
  build.loaderSize = 16;
  const std::string path = folder / "image.bird";
  bird::writeFile(path, bird::makeBirdFile(build));
  const BirdFile image(path.c_str());
  Compare("DATA packets", image, child.port, false);
  Compare("UEI byte arrays, pooled writes", image, child.port, true);
  child.Stop();
  return 0;
}
