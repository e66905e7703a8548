// Pieces the benchmarks share: the simulated module in a child process, so that the CPU time
// measured in the benchmark's own process is the library's alone, and the spread of samples.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/module/simModule.h"

namespace qfbench {

// Write ends of every child's keep-alive pipe, so that a later child closes its copies of the
// earlier ones (else an earlier child would outlive the close of its pipe in this process).
inline std::vector<int> gKeepAlives;

// A child process joined to this one by two pipes, forked before this process starts any
// thread: serve(fromParent, toParent) runs in the child, whose exit status is its result. The
// write end towards the child is closed by every child forked later, so that closing it here
// is seen there as the end. pid is -1 when a pipe or the fork failed.
struct ForkedChild {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
};

inline ForkedChild ForkServing(const std::function<int(int fromParent, int toParent)>& serve) {
  int down[2], up[2];
  ForkedChild child;
  if (pipe(down) != 0) return child;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return child;
  }
  child.pid = fork();
  if (child.pid == 0) {
    close(down[1]);
    close(up[0]);
    for (int inherited : gKeepAlives) close(inherited);
    _exit(serve(down[0], up[1]));
  }
  close(down[0]);
  close(up[1]);
  child.toChild = down[1];
  child.fromChild = up[0];
  gKeepAlives.push_back(down[1]);
  return child;
}

// Forked before this process starts any thread; the child serves until its pipe closes.
struct ChildModule {
  pid_t pid = -1;
  int keepAlive = -1;  // closing it ends the child
  uint16_t port = 0;   // tcp
  std::string path;    // pseudo-terminal

  // Runs in the child before the module starts: attaches protocol handlers to it and returns
  // whatever must live as long as the module does.
  using Setup = std::function<std::shared_ptr<void>(qfsim::SimModule&)>;

  static ChildModule Start(qfsim::SimTransport transport, uint8_t address, uint8_t model,
                           const Setup& setup = nullptr) {
    const ForkedChild forked = ForkServing([&](int alive, int where) {
      qfsim::SimModuleOptions options;
      options.transport = transport;
      options.address = address;
      options.model = model;
      qfsim::SimModule module(options);
      const std::shared_ptr<void> handlers = setup ? setup(module) : nullptr;
      std::string line =
          module.start() ? (transport == qfsim::SimTransport::tcp ? std::to_string(module.port()) : module.path()) : "";
      line += "\n";
      if (write(where, line.data(), line.size()) < 0) return 1;
      char byte;
      while (read(alive, &byte, 1) > 0) {
      }
      module.stop();
      return 0;
    });
    ChildModule child;
    child.pid = forked.pid;
    child.keepAlive = forked.toChild;
    if (forked.pid < 0) return child;
    std::string line;
    char byte;
    while (read(forked.fromChild, &byte, 1) == 1 && byte != '\n') line += byte;
    close(forked.fromChild);
    if (transport == qfsim::SimTransport::tcp) child.port = static_cast<uint16_t>(std::atoi(line.c_str()));
    else child.path = line;
    return child;
  }
  bool Ready() const { return pid > 0 && (port != 0 || !path.empty()); }
  void Stop() {
    if (keepAlive >= 0) close(keepAlive);
    if (pid > 0) waitpid(pid, nullptr, 0);
    keepAlive = pid = -1;
  }
};

// ---- figures ----------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

struct Spread {
  double median;
  double p99;
};

inline Spread SpreadOf(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  if (micros.empty()) return {0, 0};
  return {micros[micros.size() / 2], micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]};
}

inline double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Whether the command line asks for a short run: --benchmark_min_time below the benchmark
// library's default of 0.5 s (as `make bench BENCH_SHORT=1` gives it), or as a count of
// iterations ("<n>x"). A short run measures little and briefly, to show that the benchmark builds
// and runs; its figures are not the honest ones.
inline bool ShortRun(int argc, char** argv) {
  constexpr std::string_view kFlag = "--benchmark_min_time=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.substr(0, kFlag.size()) != kFlag) continue;
    const std::string value(argument.substr(kFlag.size()));
    if (!value.empty() && value.back() == 'x') return true;
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    return end != value.c_str() && seconds < 0.5;
  }
  return false;
}

// One line per aim, met or missed, which `make bench` gathers into its closing summary.
inline void Aim(const std::string& what, bool met) {
  std::printf("aim %s: %s\n", met ? "met" : "missed", what.c_str());
}

}  // namespace qfbench
