#include "support/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "support/child_process.h"

extern char** environ;

namespace qftest {

namespace {

// Set in the environment of the re-executed test; the namespace's interfaces are checked too.
constexpr const char* _kMarker = "QF_TEST_PRIVATE_NETWORK";
constexpr auto _kChildLimit = std::chrono::seconds(90);
// A whole program runs all its tests when started by hand; under ctest its time-out ends the
// parent first, and the child with it.
constexpr auto _kProgramLimit = std::chrono::seconds(600);

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
int _run(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment, bool quiet,
         std::chrono::milliseconds limit = _kChildLimit) {
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

  return awaitChild(pid, limit);
}

// The running test program; "/proc/self/exe" itself would name the shell once it runs.
std::string _selfPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// This program's arguments, its own path left out, as the kernel keeps them: readable before main.
std::vector<std::string> _programArguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  for (size_t at = 0; at < all.size();) {
    const size_t end = all.find('\0', at);
    arguments.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? all.size() : end + 1;
  }
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

bool _onlyListsTests(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments)
    if (argument.rfind("--gtest_list_tests", 0) == 0) return true;
  return false;
}

bool _isInside() { return _interfaceNames() == std::set<std::string>{"lo", "v0", "v1"}; }

bool _namespaceAvailable() {
  return _run({"unshare", "-rn", "sh", "-c", "ip link add v0 type veth peer name v1"}, {}, true) == 0;
}

// The shell script that sets the namespace up and then runs the program with its arguments.
std::string _setupThenExec(const std::string& extraSetup) {
  std::string script = _kSetup;
  if (!extraSetup.empty()) script += " && " + extraSetup;
  return script + " && exec \"$0\" \"$@\"";
}

std::string _currentTestFilter() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  return std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
}

}  // namespace

NetworkPlace RunInPrivateNetwork(const std::string& extraSetup, std::string* why) {
  if (std::getenv(_kMarker)) {
    if (_isInside()) return NetworkPlace::inside;
    *why = "expected to run in a private network namespace, but other interfaces are present";
    return NetworkPlace::unsafe;
  }
  if (!_namespaceAvailable()) {
    *why = "`unshare -rn` with a veth pair failed (user or network namespaces, or veth, unavailable)";
    return NetworkPlace::unavailable;
  }
  const int status = _run({"unshare", "-rn", "sh", "-c", _setupThenExec(extraSetup), _selfPath(), _currentTestFilter()},
                          {std::string(_kMarker) + "=1"}, false);
  EXPECT_EQ(status, 0) << "the test failed in its private network namespace (output above)";
  return NetworkPlace::ranInChild;
}

bool RunProgramInPrivateNetwork() {
  if (std::getenv(_kMarker)) {
    if (!_isInside()) {
      std::fprintf(stderr, "expected to run in a private network namespace, but other interfaces are present\n");
      std::_Exit(1);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a parent ended by a time-out takes this run with it
    return true;
  }
  const std::vector<std::string> arguments = _programArguments();
  if (_onlyListsTests(arguments)) return true;
  if (!_namespaceAvailable()) {
    std::fprintf(stderr, "no private network namespace can be made here: the tests run in this one\n");
    return true;
  }
  std::vector<std::string> command{"unshare", "-rn", "sh", "-c", _setupThenExec(""), _selfPath()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const int status = _run(command, {std::string(_kMarker) + "=1"}, false, _kProgramLimit);
  if (status < 0) std::fprintf(stderr, "the tests did not finish in their private network namespace\n");
  std::fflush(nullptr);
  std::_Exit(status < 0 ? 1 : status);
}

}  // namespace qftest
