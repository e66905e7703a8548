#include "support/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

extern char** environ;

namespace qftest {

namespace {

// Set in the environment of the re-executed test; the namespace's interfaces are checked too.
constexpr const char* _kMarker = "QF_TEST_PRIVATE_NETWORK";
constexpr auto _kChildLimit = std::chrono::seconds(90);

const char* _kSetup =
    "ip link set lo up && ip link add v0 type veth peer name v1 && "
    "ip addr add 10.7.0.1/24 brd + dev v0 && ip link set v0 up && ip link set v1 up";

std::set<std::string> _interfaceNames() {
  std::set<std::string> names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) names.insert(entry->if_name);
    if_freenameindex(list);
  }
  return names;
}

// Runs the arguments (looked up on PATH) with the given extra environment entries, output
// discarded when quiet; the exit status, or -1 when it could not be run or took too long.
int _run(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment,
         bool quiet) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
  for (const std::string& entry : extraEnvironment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;

  const auto deadline = std::chrono::steady_clock::now() + _kChildLimit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The running test program; "/proc/self/exe" itself would name the shell once it runs.
std::string _selfPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string _currentTestFilter() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  return std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
}

}  // namespace

NetworkPlace RunInPrivateNetwork(const std::string& extraSetup, std::string* why) {
  if (std::getenv(_kMarker)) {
    if (_interfaceNames() == std::set<std::string>{"lo", "v0", "v1"}) return NetworkPlace::inside;
    *why = "expected to run in a private network namespace, but other interfaces are present";
    return NetworkPlace::unsafe;
  }
  if (_run({"unshare", "-rn", "sh", "-c", "ip link add v0 type veth peer name v1"}, {}, true) != 0) {
    *why = "`unshare -rn` with a veth pair failed (user or network namespaces, or veth, unavailable)";
    return NetworkPlace::unavailable;
  }
  std::string script = _kSetup;
  if (!extraSetup.empty()) script += " && " + extraSetup;
  script += " && exec \"$0\" \"$@\"";
  const int status = _run({"unshare", "-rn", "sh", "-c", script, _selfPath(), _currentTestFilter()},
                          {std::string(_kMarker) + "=1"}, false);
  EXPECT_EQ(status, 0) << "the test failed in its private network namespace (output above)";
  return NetworkPlace::ranInChild;
}

}  // namespace qftest
