// A pseudo-terminal standing in for a serial line in tests. The master is the far end (the
// device); the code under test opens SlavePath() like a serial port. The helper keeps a slave
// descriptor of its own open, so the line stays up while the code under test closes and reopens
// the port; the master sees the slave's terminal settings, so a test can check what was set.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qftest {

class TestPty {
 public:
  TestPty();  // fails the current test when no pseudo-terminal can be had
  ~TestPty();
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int master() const { return master_; }

  // The line's terminal settings as they are now.
  termios settings() const;
  // Changes them (applied at once).
  void setSettings(const termios& settings);

  // Sends bytes from the far end; false when not all could be written within timeoutMs.
  bool send(const std::vector<uint8_t>& bytes, int timeoutMs = 2000);
  // What the far end receives: reads until count bytes came or timeoutMs passed.
  std::vector<uint8_t> receive(size_t count, int timeoutMs);
  // Everything that arrives within timeoutMs.
  std::vector<uint8_t> receiveFor(int timeoutMs);

  // Closes the far end and the helper's slave: the port hangs up.
  void hangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace qftest
