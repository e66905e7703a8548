// A program run by a test as a child process, with its standard input on a pipe, its standard
// output and error on pipes too (or left to the test's own), bounded reads of its output and a
// bounded wait for its exit. The destructor closes its input and sends SIGTERM (SIGKILL after
// 2 s) to a child still running, and reaps it, so no child outlives its test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qftest {

class ProgramProcess {
 public:
  // Piped: the test reads the program's output (readLine, errorOutput). Inherited: the program
  // writes to the test's own standard output and error, where its messages stay visible.
  enum class Output { Piped, Inherited };

  // Starts program (a path) with the arguments; started() tells whether it could be spawned.
  ProgramProcess(const std::string& program, const std::vector<std::string>& arguments, Output output = Output::Piped);
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  bool started() const { return _pid > 0; }
  // The next line of standard output without its newline; none on time-out or end of output
  // (always none with inherited output).
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  bool writeLine(const std::string& line);
  void closeInput();
  void signal(int number);
  // The exit status (or 128 + signal number); none when it is still running at the time-out.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Standard error so far, read until end of output or the time-out.
  std::string errorOutput(std::chrono::milliseconds timeout);

 private:
  pid_t _pid = -1;
  int _input = -1;
  int _output = -1;
  int _error = -1;
  std::string _pendingOutput;
  std::optional<int> _status;
};

// The value of key in a line of "key=value" words, or empty text.
std::string wordValue(const std::string& line, const std::string& key);

}  // namespace qftest
