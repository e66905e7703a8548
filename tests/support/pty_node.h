// A pseudo-terminal in raw mode whose slave side is reachable under a path of the test's
// choosing (a symbolic link), so that code which opens a device node by name opens the pty.
// The test plays the device on the master side. The helper keeps a slave descriptor of its own
// open, so the master never sees a hang-up while the code under test closes and reopens.
#pragma once

#include <chrono>
#include <string>

class PtyNode {
 public:
  explicit PtyNode(const std::string& linkPath);
  ~PtyNode();
  PtyNode(const PtyNode&) = delete;
  PtyNode& operator=(const PtyNode&) = delete;

  // Fails the current test when the pty or the link could not be made.
  bool ok() const { return ok_; }
  // Sends bytes as the device (they become readable on the node).
  void send(const std::string& bytes);
  // What the code under test wrote to the node: exactly length bytes, or fewer when they did not
  // come within the time-out.
  std::string receive(size_t length, std::chrono::milliseconds timeout = std::chrono::seconds(2));

 private:
  std::string link_;
  int master_ = -1;
  int slave_ = -1;
  bool ok_ = false;
};
