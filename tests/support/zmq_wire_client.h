// A client of the link sharing server written from its wire format, for tests: a ZeroMQ DEALER
// connected to the server's frontend that sends one packet frame [address][length][data] per
// message and receives the server's frames (reply packets and stream batches) one at a time.
// Every receive is bounded. Nothing goes anywhere but the given address (loopback by default).
#pragma once

#include <czmq.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qftest {

// The packet frame [address][length][data].
inline std::vector<uint8_t> PacketFrame(uint8_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame{address, static_cast<uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

class WireClient {
 public:
  using Bytes = std::vector<uint8_t>;

  explicit WireClient(uint16_t port, const std::string& host = "127.0.0.1") : _socket(zsock_new(ZMQ_DEALER)) {
    // ZeroMQ connects in the background; what is sent meanwhile waits for the connection.
    if (_socket && zsock_connect(_socket, "tcp://%s:%u", host.c_str(), unsigned{port}) != 0) zsock_destroy(&_socket);
  }
  ~WireClient() { zsock_destroy(&_socket); }
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;

  bool ok() const { return _socket != nullptr; }

  // The bytes as one frame, whatever they hold.
  bool sendFrame(const Bytes& frame) {
    zframe_t* message = zframe_new(frame.data(), frame.size());
    if (zframe_send(&message, _socket, 0) == 0) return true;
    zframe_destroy(&message);
    return false;
  }
  bool send(uint8_t address, const Bytes& data) { return sendFrame(PacketFrame(address, data)); }

  // The next frame from the server, or nothing within the time.
  std::optional<Bytes> receive(int timeoutMs) {
    zsock_set_rcvtimeo(_socket, timeoutMs);
    zframe_t* frame = zframe_recv(_socket);
    if (!frame) return std::nullopt;
    Bytes bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
    zframe_destroy(&frame);
    return bytes;
  }
  // Every frame until none comes for quietMs.
  std::vector<Bytes> receiveUntilQuiet(int quietMs) {
    std::vector<Bytes> frames;
    while (std::optional<Bytes> frame = receive(quietMs)) frames.push_back(std::move(*frame));
    return frames;
  }

 private:
  zsock_t* _socket;
};

}  // namespace qftest
