// Ctrl-C and termination requests end the updater program promptly with status 1, also in the
// middle of a blocking server request and of a download on its worker thread, and leave the
// store as it was.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/bird_generator.h"
#include "support/eventually.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/updater_program.h"

namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

constexpr uint32_t kSerial = 0x0012ABCD;
constexpr char kStagingPrefix[] = ".download";

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string _bird(uint32_t build, size_t firmwareSize) {
  qftest::bird::Build spec;
  spec.build = build;
  spec.serial = kSerial;
  spec.firmwareSize = firmwareSize;
  spec.seed = build;
  const qftest::bird::Bytes bytes = qftest::bird::makeBirdFile(spec);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> _staging_files(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.rfind(kStagingPrefix, 0) == 0) found.push_back(name);
  }
  return found;
}

// Tells when a file whose name begins with a prefix is made in a folder (inotify).
class CreationWatch {
 public:
  explicit CreationWatch(const std::string& folder) : _fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (_fd >= 0) ::inotify_add_watch(_fd, folder.c_str(), IN_CREATE);
  }
  ~CreationWatch() {
    if (_fd >= 0) ::close(_fd);
  }
  CreationWatch(const CreationWatch&) = delete;
  CreationWatch& operator=(const CreationWatch&) = delete;

  bool awaitCreated(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    alignas(inotify_event) char events[4096];
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd ready{_fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t got = ::read(_fd, events, sizeof events);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  int _fd;
};

// The state letter of a process in /proc ('T' once a stop signal stopped it).
char _process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

TEST(StopSignals, EndTheRunPromptlyWithStatusOne) {
  qftest::UpdateServerProcess server("stall");
  ASSERT_TRUE(server.running());
  struct Case {
    int signal;
    std::vector<std::string> command;
  };
  const std::vector<Case> cases = {
      {SIGINT, {"-B", "-d", "12ABCD"}},
      {SIGTERM, {"-B", "-d", "12ABCD"}},
      {SIGINT, {"-G", "-d", "12ABCD", "-b", "5"}},
      {SIGTERM, {"-G", "-U", "-d", "12ABCD"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.command) + " signal " + std::to_string(c.signal));
    qftest::TempFolder store;
    std::vector<std::string> args = c.command;
    args.insert(args.end(), {"-i", store.path(), "-u", server.baseUrl()});
    const size_t before = server.requests().size();
    qftest::UpdaterProgram program(args);
    ASSERT_TRUE(qftest::Eventually([&] { return server.requests().size() > before; }, 10s))
        << "the request never reached the server";
    const auto sent = std::chrono::steady_clock::now();
    program.signal(c.signal);
    const qftest::UpdaterResult result = program.finish(10s);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
    EXPECT_NE(result.err.find("Interrupted"), std::string::npos);
  }
}

// A stop signal in the middle of a download leaves the store as it was: the earlier build and the
// settings that name it untouched, no staging file left, status 1. The signal comes while the
// build still arrives (a server that sends a byte now and then), or while the build is written
// to its staging file: the program is stopped when the file is made, and signalled once it is
// seen stopped with the file there.
TEST(StopSignals, AnInterruptedDownloadLeavesTheStoreAsItWas) {
  qftest::UpdateServerProcess server;
  qftest::UpdateServerProcess drip("drip");
  ASSERT_TRUE(server.running() && drip.running());
  const std::string earlier = _bird(5001, 4096);
  server.addBuild(kSerial, "5001", earlier);
  // Large enough that writing and checking its staging file takes a while.
  server.addBuild(kSerial, "5002", _bird(5002, size_t{16} << 20));
  struct Case {
    const char* what;
    int signal;
    bool whileStaging;
  };
  const Case cases[] = {
      {"build arriving", SIGINT, false},
      {"build arriving", SIGTERM, false},
      {"staging file written", SIGINT, true},
      {"staging file written", SIGTERM, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", signal " + std::to_string(c.signal));
    qftest::TempFolder store;
    const std::string folder = store.path() + "/updater/0012ABCD";
    const auto download = [&](const qftest::UpdateServerProcess& from, const std::string& build) {
      return Args{"-G", "-d", "12ABCD", "-b", build, "-i", store.path(), "-u", from.baseUrl()};
    };
    ASSERT_EQ(qftest::RunUpdater(download(server, "5001")).status, 0);
    const std::string settings = qftest::ReadWholeFile(folder + "/.settings");
    ASSERT_TRUE(_has(settings, "LATEST_DOWNLOAD=5001.bird\n")) << settings;

    CreationWatch watch(folder);
    const size_t before = drip.requests().size();
    qftest::UpdaterProgram program(download(c.whileStaging ? server : drip, "5002"));
    if (c.whileStaging) {
      ASSERT_TRUE(watch.awaitCreated(kStagingPrefix, 30s)) << "no staging file was made";
      program.signal(SIGSTOP);
      ASSERT_TRUE(qftest::Eventually([&] { return _process_state(program.pid()) == 'T'; }, 10s));
      ASSERT_EQ(_staging_files(folder).size(), 1u) << "stopped only after the staging file was done with";
    } else {
      ASSERT_TRUE(qftest::Eventually([&] { return drip.requests().size() > before; }, 10s));
    }
    program.signal(c.signal);
    program.signal(SIGCONT);
    const qftest::UpdaterResult result = program.finish(10s);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_TRUE(_has(result.err, "Interrupted")) << result.err;
    EXPECT_TRUE(_staging_files(folder).empty()) << testing::PrintToString(_staging_files(folder));
    EXPECT_FALSE(std::filesystem::exists(folder + "/5002.bird"));
    EXPECT_TRUE(qftest::ReadWholeFile(folder + "/5001.bird") == earlier) << "the earlier build changed";
    EXPECT_EQ(qftest::ReadWholeFile(folder + "/.settings"), settings);
  }
}

}  // namespace
