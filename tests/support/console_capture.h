// Runs code in a child process whose standard output is a real pseudo-terminal or a plain pipe,
// and collects what it writes to standard output and standard error. Console code that asks
// isatty() sees exactly what a user's terminal or a redirected run would give it.
#pragma once

#include <functional>
#include <string>

namespace qftest {

struct CapturedConsole {
  std::string out;
  std::string err;
  int exitStatus = -1;  // the child's exit status; -1 when it was killed or timed out
};

enum class StdoutKind { Terminal, Pipe };

// The child runs body and exits with 0; the terminal is in raw mode, so bytes arrive unchanged
// (no "\n" to "\r\n" translation). A child still running after timeoutMs is killed.
CapturedConsole runWithConsole(StdoutKind kind, const std::function<void()>& body, int timeoutMs = 10000);

}  // namespace qftest
