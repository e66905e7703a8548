// Programming a 70000-byte image into the simulated LPC bootloader on a pseudo-terminal at
// 115200 baud: this project's recovery road (fingerprint, unlock, erase, the chunks, the start)
// beside a general-purpose outside ISP tool programming the same image into a fresh simulated
// chip at the same rate, in the same run. Each iteration gets a fresh chip; only the programming
// is timed. The peer is skipped with a message where it is not installed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/lpcisp/simIspPort.h"
#include "support/bird_generator.h"
#include "support/program_process.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "updater/Updater.h"

namespace bird = qftest::bird;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kImageBytes = 70000;
constexpr uint32_t kBaud = 115200;
constexpr const char* kPeerProgram = "lpc21isp";
constexpr const char* kCrystalKHz = "14746";
constexpr std::chrono::seconds kPeerBound{120};
// The peer tool writes its own checksum into the vector table (bytes 0x1C to 0x1F).
constexpr size_t kVectorChecksumAt = 0x1C;

struct Fixture {
  qftest::TempFolder folder;
  bird::Bytes image = bird::randomBytes(kImageBytes, 70);
  std::string birdPath = folder / "recovery.bird";
  std::string binPath = folder / "image.bin";

  Fixture() {
    const qfsim::IspIdentity chip;
    const bird::Block block = bird::imageBlock(bird::FIRMWARE, 0, bird::scramble(image, chip.serial));
    bird::writeFile(birdPath, bird::wrap(bird::compress(bird::encodeBody({block}))));
    bird::writeFile(binPath, image);
  }
};

Fixture& fixture() {
  static Fixture shared;
  return shared;
}

std::string FindPeer() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/" + kPeerProgram;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return {};
}

// Whether the chip's flash holds the image (but for the bytes from `skipFrom`, 4 of them).
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

std::vector<double> projectSeconds;
std::vector<double> peerSeconds;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_RecoveryRoad(benchmark::State& state) {
  for (auto _ : state) {
    qfsim::SimIspPort chip;
    if (!chip.start()) return state.SkipWithError("the simulated chip did not start");
    qftest::RecordingDisplay display;
    Updater updater("http://127.0.0.1:9/cgi/u", fixture().folder / "store", display);
    const auto start = Clock::now();
    const bool recovered = updater.Recover_Firmware(chip.path(), 0, kBaud, 0x0012ABCD, fixture().birdPath, false);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!recovered || !FlashHolds(chip)) return state.SkipWithError("the recovery road failed");
    state.SetIterationTime(seconds);
    projectSeconds.push_back(seconds);
  }
}

void BM_PeerTool(benchmark::State& state) {
  const std::string peer = FindPeer();
  if (peer.empty()) {
    for (auto _ : state) state.SkipWithError("the peer ISP tool is not installed");
    return;
  }
  for (auto _ : state) {
    qfsim::SimIspPort chip;
    if (!chip.start()) return state.SkipWithError("the simulated chip did not start");
    const auto start = Clock::now();
    qftest::ProgramProcess tool(
        peer, {"-bin", "-debug0", fixture().binPath, chip.path(), std::to_string(kBaud), kCrystalKHz});
    const std::optional<int> status = tool.waitExit(kPeerBound);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0 || !FlashHolds(chip, kVectorChecksumAt)) {
      return state.SkipWithError("the peer tool failed to program the simulated chip");
    }
    state.SetIterationTime(seconds);
    peerSeconds.push_back(seconds);
  }
}

BENCHMARK(BM_RecoveryRoad)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerTool)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  const double road = Median(projectSeconds);
  const double peer = Median(peerSeconds);
  std::printf("programming %zu bytes at %u baud (median of %zu and %zu runs): recovery road %.1f ms", kImageBytes,
              unsigned(kBaud), projectSeconds.size(), peerSeconds.size(), road * 1e3);
  if (peer > 0) {
    std::printf("; peer tool %.1f ms; ratio %.2f (aim: at most 1.0)\n", peer * 1e3, road / peer);
  } else {
    std::printf("; peer tool not measured\n");
  }
  benchmark::Shutdown();
  return 0;
}
