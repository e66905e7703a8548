// Child processes of a test: a piece of a test run in a forked child, for what must not touch
// the test process itself (lowered resource limits, file permissions that root would ignore), and
// the bounded waits for any child to end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace qftest {

// Waits at most `timeout` for the child to end and reaps it: its wait status as waitpid gives it,
// or none while it still runs.
std::optional<int> reapWithin(pid_t child, std::chrono::milliseconds timeout);

// A wait status as a shell shows it: the exit status, or 128 + the number of the ending signal.
int exitStatusOf(int waitStatus);

// Closes a descriptor of the test's side of a child's pipes, if open, and marks it closed (-1).
void closeDescriptor(int& fd);

// As reapWithin, but a child still running at the time-out is killed and reaped: its exit status
// (0 to 255), or -1 when a signal ended it or it had to be killed.
int awaitChild(pid_t child, std::chrono::milliseconds timeout);

// The child runs body and exits with its result (0 to 255). Returns that status, or -1 when the
// child died from a signal or was still running after timeoutMs (it is killed then).
int runInChild(const std::function<int()>& body, int timeoutMs = 10000);

// As runInChild, but a child started as root first hands the folder tree `owned` to an ordinary
// user and becomes that user, so that file permissions bind it as they bind a user.
int runUnprivileged(const std::string& owned, const std::function<int()>& body, int timeoutMs = 10000);

// What a child that writes past its file-size limit meets: its write falls short with EFBIG,
// or the process is killed in the middle of the write (SIGXFSZ), as in a crash.
enum class FileSizeBreach { ShortWrite, Crash };

// As runInChild, with no file of the child allowed to grow past `bytes`.
int runWithFileSizeLimit(size_t bytes, FileSizeBreach breach, const std::function<int()>& body, int timeoutMs = 10000);

}  // namespace qftest
