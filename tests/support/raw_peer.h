// The far side of a byte connection in a test, over a descriptor of its own: a plain TCP client
// on 127.0.0.1, the slave side of a pseudo-terminal in raw mode, or any descriptor handed over
// (an accepted connection, a pseudo-terminal's master). Every send and read is bounded in time,
// and a send to a vanished TCP peer fails instead of raising SIGPIPE. Nothing of the device
// library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qftest {

using Bytes = std::vector<std::uint8_t>;

class RawPeer {
 public:
  static RawPeer tcp(std::uint16_t port);            // invalid() when the connection fails
  static RawPeer terminal(const std::string& path);  // raw mode, no controlling terminal
  // Takes an open descriptor over (it is closed with the peer); invalid for a negative one.
  static RawPeer adopt(int fd);

  RawPeer() = default;
  RawPeer(RawPeer&& other) noexcept;
  RawPeer& operator=(RawPeer&& other) noexcept;
  ~RawPeer();

  bool valid() const { return _fd >= 0; }
  int fd() const { return _fd; }
  // False when not all bytes could go within the time-out (the other side stopped reading or
  // is gone).
  bool send(const Bytes& bytes, std::chrono::milliseconds timeout = std::chrono::seconds(2));
  // Up to count bytes, returning early on time-out or when the other side closes.
  Bytes receive(std::size_t count, std::chrono::milliseconds timeout);
  // Bytes up to and including the first `last` byte (a COBS frame ends in 0x00).
  Bytes receiveThrough(std::uint8_t last, std::chrono::milliseconds timeout);
  // Everything that arrives within the time.
  Bytes receiveFor(std::chrono::milliseconds time);
  // True when the other side closed (end of stream, hang-up) within the time-out; bytes that
  // arrive before that are discarded.
  bool closedWithin(std::chrono::milliseconds timeout);
  // Closes in order: the other side reads the end of the data.
  void close();
  // Aborts a TCP connection: the other side meets a reset.
  void reset();

 private:
  explicit RawPeer(int fd);
  // One read of at most room bytes within the deadline: > 0 bytes, 0 time-out, -1 closed.
  long _readSome(std::uint8_t* buffer, std::size_t room, std::chrono::steady_clock::time_point deadline);

  int _fd = -1;
};

// Waits until the descriptor is ready for the poll events or the deadline passes (an
// interrupted wait goes on); true when it is ready.
bool waitForDescriptor(int fd, short events, std::chrono::steady_clock::time_point deadline);

// A blocking TCP socket connected to 127.0.0.1:port, or -1. sendBuffer above 0 sets its
// SO_SNDBUF (a small one keeps little of what is written in the kernel).
int connectToLoopback(std::uint16_t port, int sendBuffer = 0);

std::string hex(const Bytes& bytes);  // "04 00 ..." for readable failure messages

}  // namespace qftest
