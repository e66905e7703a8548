// The byte channels over which the simulated module talks: a TCP listener on 127.0.0.1 that
// serves one connection at a time, and a pseudo-terminal whose slave side the program under test
// opens (as a serial port or as the kernel driver's device node). Used by the module's thread only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qfsim {

class SimChannel {
 public:
  virtual ~SimChannel() = default;

  // Listens or opens the terminal; false with a reason on failure.
  virtual bool open(std::string& error) = 0;
  // Polled for readability while there is no peer; -1 when the channel has no listener.
  virtual int listenFd() const { return -1; }
  // Takes a waiting connection; true when a new peer is connected.
  virtual bool acceptPeer() { return false; }
  // The descriptor bytes are exchanged on, -1 while no peer is connected. Non-blocking.
  virtual int peerFd() const = 0;
  // Ends the current peer: a TCP connection is closed (the next one is accepted later); a
  // pseudo-terminal is replaced by a new one, so its path changes (the link, if any, follows).
  // False with a reason when a replacement cannot be made.
  virtual bool dropPeer(std::string& error) = 0;
  // Bytes read (> 0), 0 when nothing is waiting, -1 when the peer is gone.
  virtual ssize_t readSome(std::uint8_t* buffer, std::size_t room) = 0;
  // Bytes written (may be 0 when the channel is full), -1 when the peer is gone.
  virtual ssize_t writeSome(const std::uint8_t* bytes, std::size_t length) = 0;
  // True when a hang-up means the peer left for good (TCP); a terminal only waits for a reader.
  virtual bool hangupEndsPeer() const = 0;

  virtual std::uint16_t port() const { return 0; }
  virtual std::string path() const { return {}; }
};

// Listens on the dotted IPv4 address (127.0.0.1 unless another is given); port 0 picks a free
// port; port() tells which after open().
std::unique_ptr<SimChannel> simMakeTcpChannel(std::uint16_t port, std::string address = "127.0.0.1");
// linkPath, when not empty, becomes a symbolic link to the slave side (replacing an older link,
// never another kind of file) and is removed when the channel goes.
std::unique_ptr<SimChannel> simMakePtyChannel(std::string linkPath);

}  // namespace qfsim
