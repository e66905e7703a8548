// A pseudo-terminal standing in for a serial line or a device node in tests. The master is the
// far end (the device); the code under test opens slavePath() like a serial port, or the path
// given to linkAs() like a device node. The helper keeps a slave descriptor of its own open, so
// the line stays up while the code under test closes and reopens the port; the master sees the
// slave's terminal settings, so a test can check what was set.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/raw_peer.h"

namespace qftest {

class TestPty {
 public:
  // AsFound leaves the line as the system makes it, so that a test sees what the code under test
  // sets; Raw puts it in raw mode for code that moves bytes without setting the line up itself.
  enum class Line { AsFound, Raw };

  explicit TestPty(Line line = Line::AsFound);  // fails the current test when no pty can be had
  ~TestPty();
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  const std::string& slavePath() const { return slavePath_; }

  // Makes the slave reachable under linkPath too (a symbolic link, removed with the helper);
  // false, with a test failure, when the link cannot be made.
  bool linkAs(const std::string& linkPath);

  // The line's terminal settings as they are now.
  termios settings() const;
  // Changes them (applied at once).
  void setSettings(const termios& settings);

  // Sends bytes from the far end; false when not all could be written within timeoutMs.
  bool send(const std::vector<uint8_t>& bytes, int timeoutMs = 2000);
  // What the far end receives: reads until count bytes came or timeoutMs passed.
  std::vector<uint8_t> receive(size_t count, int timeoutMs = 2000);
  // Everything that arrives within timeoutMs.
  std::vector<uint8_t> receiveFor(int timeoutMs);

  // Closes the far end and the helper's slave: the port hangs up.
  void hangUp();

 private:
  RawPeer master_;
  int slave_ = -1;
  std::string slavePath_;
  std::string link_;
};

}  // namespace qftest
