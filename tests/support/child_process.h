// Runs a piece of a test in a forked child process, for what must not touch the test process
// itself: lowered resource limits, or file permissions that root would ignore.
#pragma once

#include <functional>
#include <string>

namespace qftest {

// The child runs body and exits with its result (0 to 255). Returns that status, or -1 when the
// child died from a signal or was still running after timeoutMs (it is killed then).
int runInChild(const std::function<int()>& body, int timeoutMs = 10000);

// As runInChild, but a child started as root first hands the folder tree `owned` to an ordinary
// user and becomes that user, so that file permissions bind it as they bind a user.
int runUnprivileged(const std::string& owned, const std::function<int()>& body,
                    int timeoutMs = 10000);

// What a child that writes past its file-size limit meets: its write falls short with EFBIG,
// or the process is killed in the middle of the write (SIGXFSZ), as in a crash.
enum class FileSizeBreach { ShortWrite, Crash };

// As runInChild, with no file of the child allowed to grow past `bytes`.
int runWithFileSizeLimit(size_t bytes, FileSizeBreach breach, const std::function<int()>& body,
                         int timeoutMs = 10000);

}  // namespace qftest
