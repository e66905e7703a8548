// Loading a bird file of 1 MiB of random firmware, against the bound it cannot beat: zlib's
// uncompress of the same compressed body into a buffer made once. The load adds the file read,
// its own 8x buffer, the block scan and the descriptor lookups on top of that.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "firmware/BirdFile.h"
#include "support/bird_generator.h"
#include "support/temp_folder.h"

namespace bird = qftest::bird;

namespace {

struct Fixture {
  qftest::TempFolder folder;
  std::string path = folder / "bench.bird";
  bird::Bytes file;

  Fixture() {
    bird::Build build;
    build.firmwareSize = 1024 * 1024;
    build.pieces = 16;
    build.loaderSize = 4096;
    file = bird::makeBirdFile(build);
    bird::writeFile(path, file);
  }
};

Fixture& fixture() {
  static Fixture shared;
  return shared;
}

void BM_BirdFileLoad(benchmark::State& state) {
  const std::string& path = fixture().path;
  for (auto _ : state) {
    BirdFile loaded(path.c_str());
    benchmark::DoNotOptimize(loaded.GetBuild());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * BirdFile(path.c_str()).bodySize);
}

void BM_ZlibUncompress(benchmark::State& state) {
  const bird::Bytes& file = fixture().file;
  const uLong compressed = static_cast<uLong>(file.size() - 6);
  const uLongf room = compressed * 8;
  std::unique_ptr<uint8_t[]> body(new uint8_t[room]);
  uLongf inflated = room;
  for (auto _ : state) {
    inflated = room;
    if (uncompress(body.get(), &inflated, file.data() + 6, compressed) != Z_OK) {
      state.SkipWithError("uncompress failed");
      break;
    }
    benchmark::DoNotOptimize(body[0]);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(inflated));
}

BENCHMARK(BM_BirdFileLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);

// Shows every run as usual and keeps each benchmark's time per iteration for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double load = reporter.seconds["BM_BirdFileLoad"];
  double bound = reporter.seconds["BM_ZlibUncompress"];
  printf("bird file load of %zu bytes: %.3f ms; zlib uncompress of the same body: %.3f ms", fixture().file.size(),
         load * 1e3, bound * 1e3);
  if (bound > 0) printf("; ratio %.2f", load / bound);
  printf("\n");
  benchmark::Shutdown();
  return 0;
}
