// A slow link between the program under test and a module: a relay that passes bytes both ways
// at most at a given rate, as a slow network path or a serial line does. Either a TCP proxy (it
// listens on 127.0.0.1 and, for each connection it accepts, connects to the module's port) or a
// pseudo-terminal standing for a serial port (the program opens slavePath(); the relay talks to
// the module's own terminal). It holds only a little of what it passes, so what the program
// writes waits in its own buffers as it would before a slow line. Nothing leaves the machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace qftest {

class ThrottledRelay {
 public:
  // A TCP proxy to 127.0.0.1:modulePort; port() tells where to connect.
  static std::unique_ptr<ThrottledRelay> tcp(std::uint16_t modulePort, std::size_t bytesPerSecond);
  // A terminal relayed to the module's terminal at modulePath; slavePath() is the port to open.
  static std::unique_ptr<ThrottledRelay> terminal(const std::string& modulePath, std::size_t bytesPerSecond);
  explicit ThrottledRelay(std::size_t bytesPerSecond) : rate_(bytesPerSecond) {}
  ~ThrottledRelay();
  ThrottledRelay(const ThrottledRelay&) = delete;
  ThrottledRelay& operator=(const ThrottledRelay&) = delete;

  bool started() const { return thread_.joinable(); }
  std::uint16_t port() const { return port_; }
  const std::string& slavePath() const { return slavePath_; }
  // Bytes passed toward the module so far.
  std::size_t bytesToModule() const { return toModule_.load(); }

 private:
  void start();
  void run();

  std::size_t rate_;
  int listener_ = -1;  // tcp
  std::uint16_t modulePort_ = 0;
  int master_ = -1;  // terminal: the program's side, and a slave kept open
  int ownSlave_ = -1;
  std::string slavePath_;
  std::string modulePath_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> toModule_{0};
  std::thread thread_;
};

}  // namespace qftest
