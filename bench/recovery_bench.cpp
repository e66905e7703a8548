// The recovery roads as the user runs them: the whole `updater -U -t RECOVER` process beside a
// general-purpose outside tool's process doing the same job, run by run in turn (their order
// alternates), each on a fresh simulated chip on a pseudo-terminal, and the ratio of each pair.
// - LPC: a 70000-byte image programmed at 115200 baud, from start to exit, the flash checked
//   after every run.
// - i.MX: a 32 KB loader over the serial download protocol to a ROM that reads no faster than a
//   115200-baud line, from the ROM's first WRITE_FILE to its jump (the transfer), beside the
//   line time of the bytes; the whole process's time to the jump is shown too.
// A peer that is not installed is skipped with a message. BENCH_SHORT (a minimum time below 1 s)
// runs each pair once.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/lpcisp/simIspPort.h"
#include "sim/sdp/simSdpSerial.h"
#include "support/bird_generator.h"
#include "support/program_process.h"
#include "support/temp_folder.h"
#include "support/updater_program.h"

namespace bird = qftest::bird;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kImageBytes = 70000;
constexpr uint32_t kBaud = 115200;
constexpr uint32_t kLineBytesPerSecond = kBaud / 10;  // 8N1
constexpr size_t kLoaderBytes = 32 * 1024;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kJumpAddress = kLoaderAddress;  // the loader starts at its first byte
constexpr const char* kLpcPeer = "lpc21isp";
constexpr const char* kImxPeer = "imx_uart";
constexpr const char* kCrystalKHz = "14746";
constexpr const char* kNoServer = "http://127.0.0.1:9/cgi/u";
constexpr std::chrono::seconds kRunBound{120};
// The LPC peer writes its own checksum into the vector table (bytes 0x1C to 0x1F).
constexpr size_t kVectorChecksumAt = 0x1C;
constexpr int kFullRuns = 7;

struct Fixture {
  qftest::TempFolder folder;
  bird::Bytes image = bird::randomBytes(kImageBytes, 70);
  bird::Bytes loader = bird::randomBytes(kLoaderBytes, 71);
  std::string lpcBird = folder / "recovery.bird";
  std::string lpcBin = folder / "image.bin";
  std::string imxBird = folder / "imx.bird";
  std::string imxBin = folder / "loader.bin";
  std::string imxConfig = folder / "imx.conf";

  Fixture() {
    const qfsim::IspIdentity chip;
    const bird::Block block = bird::imageBlock(bird::FIRMWARE, 0, bird::scramble(image, chip.serial));
    bird::writeFile(lpcBird, bird::wrap(bird::compress(bird::encodeBody({block}))));
    bird::writeFile(lpcBin, image);
    bird::writeFile(
        imxBird,
        bird::wrap(bird::compress(bird::encodeBody(
            {bird::imageBlock(bird::LOADER, kLoaderAddress, loader),
             bird::imageBlock(bird::FIRMWARE, 0x4000, bird::randomBytes(1000, 72)),
             bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-Core"), bird::jumpAddressBlock(kJumpAddress)}))));
    bird::writeFile(imxBin, loader);
    // The peer's target description: 1024-byte reports, RAM where the loader goes, and one job
    // that loads the file there and jumps into it.
    char config[512];
    std::snprintf(config, sizeof config, "bench_target\nhid,1024,0x%08X,0x%08X,1M\n%s:load 0x%08X,jump_direct 0x%08X\n",
                  kLoaderAddress, kLoaderAddress, imxBin.c_str(), kLoaderAddress, kJumpAddress);
    qftest::WriteWholeFile(imxConfig, config);
  }
};

Fixture& fixture() {
  static Fixture shared;
  return shared;
}

std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return {};
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Whether the chip's flash holds the image (but for the 4 bytes from `skipFrom`).
bool FlashHolds(qfsim::SimIspPort& chip, size_t skipFrom = SIZE_MAX) {
  bool same = true;
  chip.withDevice([&](qfsim::IspDevice& device) {
    const bird::Bytes& image = fixture().image;
    for (size_t i = 0; i < image.size() && same; ++i) {
      if (i >= skipFrom && i < skipFrom + 4) continue;
      same = device.flash()[i] == image[i];
    }
  });
  return same;
}

// One LPC programming by a whole process: its time from start to exit, none when it failed.
using LpcRun = std::function<std::optional<double>(qfsim::SimIspPort&)>;

std::optional<double> OursLpc(qfsim::SimIspPort& chip) {
  const Fixture& f = fixture();
  const auto start = Clock::now();
  const qftest::UpdaterResult result =
      qftest::RunUpdater({"-U", "-t", "RECOVER", "-s", chip.path(), "-o", std::to_string(kBaud), "-d", "12ABCD", "-f",
                          f.lpcBird, "-i", f.folder / "store", "-u", kNoServer},
                         {}, kRunBound);
  const double seconds = Seconds(Clock::now() - start);
  if (result.status != 0 || !FlashHolds(chip)) return std::nullopt;
  return seconds;
}

std::optional<double> PeerLpc(const std::string& peer, qfsim::SimIspPort& chip) {
  const auto start = Clock::now();
  qftest::ProgramProcess tool(peer,
                              {"-bin", "-debug0", fixture().lpcBin, chip.path(), std::to_string(kBaud), kCrystalKHz});
  const std::optional<int> status = tool.waitExit(kRunBound);
  const double seconds = Seconds(Clock::now() - start);
  if (status != 0 || !FlashHolds(chip, kVectorChecksumAt)) return std::nullopt;
  return seconds;
}

// One i.MX loader transfer by a whole process: the ROM's time from the first WRITE_FILE to the
// jump, and the process's time from start to the jump; none when the loader did not arrive.
struct ImxTimes {
  double transfer;
  double toJump;
};

std::optional<ImxTimes> TransferTimes(qfsim::SimSdpSerial& rom, Clock::time_point start) {
  if (!rom.rom().waitUntilStopped(kRunBound)) return std::nullopt;
  if (rom.rom().memory(kLoaderAddress, kLoaderBytes) != fixture().loader) return std::nullopt;
  const std::vector<std::vector<uint8_t>> commands = rom.rom().commands();
  const std::vector<Clock::time_point> times = rom.rom().commandTimes();
  const auto write = std::find_if(commands.begin(), commands.end(), [](const auto& c) { return c[0] == 0x04; });
  if (write == commands.end()) return std::nullopt;
  const Clock::time_point written = times[size_t(write - commands.begin())];
  return ImxTimes{Seconds(times.back() - written), Seconds(times.back() - start)};
}

std::optional<ImxTimes> OursImx(qfsim::SimSdpSerial& rom) {
  const Fixture& f = fixture();
  const auto start = Clock::now();
  // After the jump the road looks for the live loader on USB, which is not there: the process
  // is ended once the ROM has jumped.
  qftest::UpdaterProgram program({"-U", "-t", "RECOVER", "-s", rom.path(), "-d", "12ABCD", "-f", f.imxBird, "-i",
                                  f.folder / "store", "-u", kNoServer});
  const std::optional<ImxTimes> times = TransferTimes(rom, start);
  program.signal(SIGKILL);
  program.finish(std::chrono::seconds(10));
  return times;
}

std::optional<ImxTimes> PeerImx(const std::string& peer, qfsim::SimSdpSerial& rom) {
  const auto start = Clock::now();
  qftest::ProgramProcess tool(peer, {"-n", rom.path(), fixture().imxConfig});
  const std::optional<ImxTimes> times = TransferTimes(rom, start);
  tool.waitExit(std::chrono::seconds(10));
  return times;
}

// Both runs of a pair, the order alternating from pair to pair, so that a drift of the machine's
// load falls on both.
void RunInTurn(int pair, const std::function<void()>& ours, const std::function<void()>& peer) {
  if (pair % 2 == 0) {
    ours();
    peer();
  } else {
    peer();
    ours();
  }
}

struct Pairs {
  std::vector<double> ours;
  std::vector<double> peer;
  std::vector<double> ratio;
  std::vector<double> oursToJump;
  std::vector<double> peerToJump;
  std::vector<double> lineTime;
};
Pairs lpcPairs;
Pairs imxPairs;
int runs = kFullRuns;

void BM_LpcRecoveryProcess(benchmark::State& state) {
  const std::string peer = FindProgram(kLpcPeer);
  int run = 0;
  for (auto _ : state) {
    std::optional<double> ours;
    std::optional<double> theirs;
    auto oursRun = [&] {
      qfsim::SimIspPort chip;
      if (chip.start()) ours = OursLpc(chip);
    };
    auto peerRun = [&] {
      qfsim::SimIspPort chip;
      if (!peer.empty() && chip.start()) theirs = PeerLpc(peer, chip);
    };
    RunInTurn(run++, oursRun, peerRun);
    if (!ours) return state.SkipWithError("the recovery road failed");
    state.SetIterationTime(*ours);
    lpcPairs.ours.push_back(*ours);
    if (theirs) {
      lpcPairs.peer.push_back(*theirs);
      lpcPairs.ratio.push_back(*ours / *theirs);
    }
  }
  if (peer.empty()) std::printf("lpc: %s is not installed; the peer is skipped\n", kLpcPeer);
}

void BM_ImxLoaderProcess(benchmark::State& state) {
  const std::string peer = FindProgram(kImxPeer);
  const double lineTime = double(kLoaderBytes) / kLineBytesPerSecond;
  int run = 0;
  for (auto _ : state) {
    std::optional<ImxTimes> ours;
    std::optional<ImxTimes> theirs;
    auto pacedRom = [](qfsim::SimSdpSerial& rom) {
      rom.setLineFaults({.bytesPerSecond = kLineBytesPerSecond});
      return rom.start();
    };
    auto oursRun = [&] {
      qfsim::SimSdpSerial rom;
      if (pacedRom(rom)) ours = OursImx(rom);
    };
    auto peerRun = [&] {
      qfsim::SimSdpSerial rom;
      if (!peer.empty() && pacedRom(rom)) theirs = PeerImx(peer, rom);
    };
    RunInTurn(run++, oursRun, peerRun);
    if (!ours) return state.SkipWithError("the i.MX road did not load the loader");
    state.SetIterationTime(ours->transfer);
    imxPairs.ours.push_back(ours->transfer);
    imxPairs.oursToJump.push_back(ours->toJump);
    imxPairs.lineTime.push_back(lineTime);
    if (theirs) {
      imxPairs.peer.push_back(theirs->transfer);
      imxPairs.peerToJump.push_back(theirs->toJump);
      imxPairs.ratio.push_back(ours->transfer / theirs->transfer);
    } else if (!peer.empty()) {
      std::printf("imx: %s did not load the loader into the simulated ROM in run %d\n", kImxPeer, run);
    }
  }
  if (peer.empty()) std::printf("imx: %s is not installed; the peer is skipped\n", kImxPeer);
}

struct Spread {
  double min = 0, median = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values.front(), values[values.size() / 2], values.back()};
}

void PrintSpread(const char* what, const std::vector<double>& values, double scale, const char* unit) {
  const Spread s = SpreadOf(values);
  std::printf("  %-34s min %8.2f  median %8.2f  max %8.2f %s (%zu runs)\n", what, s.min * scale, s.median * scale,
              s.max * scale, unit, values.size());
}

// The minimum time asked for on the command line; below 1 s (BENCH_SHORT) each pair runs once.
int RunsFor(int argc, char** argv) {
  const char* flag = "--benchmark_min_time=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0 && std::atof(argv[i] + std::strlen(flag)) < 1.0) {
      return 1;
    }
  }
  return kFullRuns;
}

}  // namespace

int main(int argc, char** argv) {
  runs = RunsFor(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("BM_LpcRecoveryProcess", BM_LpcRecoveryProcess)
      ->UseManualTime()
      ->Iterations(runs)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ImxLoaderProcess", BM_ImxLoaderProcess)
      ->UseManualTime()
      ->Iterations(runs)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();

  std::printf("LPC: programming %zu bytes at %u baud, the whole process, beside %s's process:\n", kImageBytes,
              unsigned(kBaud), kLpcPeer);
  PrintSpread("updater -U -t RECOVER", lpcPairs.ours, 1e3, "ms");
  if (lpcPairs.ratio.empty()) {
    std::printf("  peer not measured\n");
  } else {
    PrintSpread(kLpcPeer, lpcPairs.peer, 1e3, "ms");
    PrintSpread("ratio updater / peer (aim: <= 1.0)", lpcPairs.ratio, 1, "");
  }
  std::printf("i.MX: a %zu-byte loader to a ROM reading at %u bytes/s, first WRITE_FILE to the jump:\n", kLoaderBytes,
              unsigned(kLineBytesPerSecond));
  PrintSpread("updater -U -t RECOVER", imxPairs.ours, 1e3, "ms");
  PrintSpread("line time of the loader's bytes", imxPairs.lineTime, 1e3, "ms");
  PrintSpread("updater, process start to the jump", imxPairs.oursToJump, 1e3, "ms");
  if (imxPairs.ratio.empty()) {
    std::printf("  peer not measured\n");
  } else {
    PrintSpread(kImxPeer, imxPairs.peer, 1e3, "ms");
    PrintSpread("peer, process start to the jump", imxPairs.peerToJump, 1e3, "ms");
    PrintSpread("ratio updater / peer (aim: <= 1.0)", imxPairs.ratio, 1, "");
  }
  benchmark::Shutdown();
  return 0;
}
