// The stream callback thread's rate: callback runs a second through a Link's callback thread
// (its stop check, the look at each run's subscription, the packet copy freed after the run),
// fed by a producer thread the way the reader thread feeds it (a packet copy per run, pushed on
// the same 500-slot ring), beside a bare loop over the same ring that only pops, calls and frees,
// sleeping 1 ms on an empty ring as the callback thread does. Aim: at least 200,000 runs a second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "api/Link_impl.h"
#include "common/aPacket.h"
#include "common/aTime.h"

using namespace Tarnwick::Quillfern;

namespace {

constexpr uint32_t kRunsPerIteration = 20000;
constexpr double kAimRunsPerSecond = 200000;

using Ring = Tarnwick::LocklessQueue_SPSC<asyncPacket>;

// The reader thread's part: a copy of a 17-byte sample per run, pushed; a full ring is retried.
void Produce(Ring& ring, const asyncPacket& prototype, const aPacket* sample, uint32_t runs) {
  for (uint32_t i = 0; i < runs; ++i) {
    asyncPacket run = prototype;
    run.packet = aPacket_Copy(sample);
    while (!ring.push(std::move(run))) std::this_thread::yield();
  }
}

aPacket* Sample() {
  const uint8_t data[17] = {0x12, 3, 0x41, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 42, 0};
  return aPacket_CreateWithData(2, sizeof data, data);
}

// Runs the consumer on its own thread for the whole benchmark; each iteration pushes a batch and
// waits until every run of it was made.
template <class Consumer>
void MeasureRuns(benchmark::State& state, Consumer consume) {
  Ring ring(Link::impl::kStreamQueueSlots);
  std::atomic<uint64_t> runs{0};
  asyncPacket prototype;
  prototype.callback = [&runs](const aPacket*, void*) -> uint8_t {
    runs.fetch_add(1, std::memory_order_relaxed);
    return 0;
  };
  prototype.live = std::make_shared<std::atomic<bool>>(true);
  StreamCallbackControl control;
  std::thread consumer([&] { consume(ring, control); });
  aPacket* sample = Sample();
  uint64_t target = 0;
  for (auto _ : state) {
    target += kRunsPerIteration;
    Produce(ring, prototype, sample, kRunsPerIteration);
    while (runs.load(std::memory_order_relaxed) < target) std::this_thread::yield();
  }
  control.stop = true;
  consumer.join();
  for (asyncPacket left; ring.pop(&left);) aPacket_Destroy(&left.packet);
  aPacket_Destroy(&sample);
  state.SetItemsProcessed(static_cast<int64_t>(target));
}

void BM_CallbackThread(benchmark::State& state) {
  MeasureRuns(state, [](Ring& ring, StreamCallbackControl& control) { Link::impl::asyncWork(&ring, &control); });
}

void BM_BareRingLoop(benchmark::State& state) {
  MeasureRuns(state, [](Ring& ring, StreamCallbackControl& control) {
    while (!control.stop.load()) {
      asyncPacket run;
      if (!ring.pop(&run)) {
        aTime_MSSleep(1);
        continue;
      }
      run.callback(run.packet, run.ref);
      aPacket_Destroy(&run.packet);
    }
  });
}

BENCHMARK(BM_CallbackThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareRingLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// Shows every run as usual and keeps each benchmark's runs a second for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0 && run.real_accumulated_time > 0)
        perSecond[run.run_name.function_name] =
            static_cast<double>(run.iterations) * kRunsPerIteration / run.real_accumulated_time;
  }
  std::map<std::string, double> perSecond;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double thread = reporter.perSecond["BM_CallbackThread"];
  const double bare = reporter.perSecond["BM_BareRingLoop"];
  std::printf(
      "stream callback runs: %.0f a second through the callback thread; %.0f a second by a bare loop over "
      "the same ring; aim at least %.0f a second%s\n",
      thread, bare, kAimRunsPerSecond, thread >= kAimRunsPerSecond ? "" : " (below the aim)");
  benchmark::Shutdown();
  return 0;
}
