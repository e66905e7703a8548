#include "support/loopback_slot_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qftest {

namespace {

constexpr uint32_t _kLoopbackNet = 0x0100007F;  // 127.0.0.1 in network byte order

void _putWord(std::vector<uint8_t>& record, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) record[offset + i] = uint8_t(value >> (8 * i));
}

sockaddr_in _address(const char* dotted, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, dotted, &address.sin_addr);
  return address;
}

}  // namespace

std::vector<uint8_t> ServerRecord(uint32_t type, uint32_t serialNumber, uint32_t module, uint32_t model,
                                  uint32_t ipNetworkOrder, uint32_t port) {
  std::vector<uint8_t> record(128, 0);
  _putWord(record, 0, type);
  _putWord(record, 4, serialNumber);
  _putWord(record, 8, module);
  _putWord(record, 20, model);
  std::memcpy(&record[24], &ipNetworkOrder, 4);
  _putWord(record, 28, port);
  return record;
}

LoopbackSlotServer::LoopbackSlotServer(uint16_t slot, std::vector<uint8_t> reply)
    : _slot(slot), _reply(std::move(reply)) {
  _socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  _wake = eventfd(0, EFD_CLOEXEC);
  const sockaddr_in local = _address("0.0.0.0", 9850 + slot);
  ip_mreq membership{};
  inet_pton(AF_INET, "224.0.0.7", &membership.imr_multiaddr);
  membership.imr_interface.s_addr = _kLoopbackNet;
  const in_addr outgoing{_kLoopbackNet};
  _ready = _socket >= 0 && _wake >= 0 && bind(_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
           setsockopt(_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 &&
           setsockopt(_socket, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0;
  if (_ready) _thread = std::thread([this] { _serve(); });
}

LoopbackSlotServer::~LoopbackSlotServer() {
  const uint64_t one = 1;
  if (_thread.joinable() && write(_wake, &one, sizeof one) == sizeof one) _thread.join();
  if (_socket >= 0) close(_socket);
  if (_wake >= 0) close(_wake);
}

void LoopbackSlotServer::_serve() {
  const std::vector<uint8_t> request = {0xBA, 0xDC, 0xCD, 0xAB};
  const sockaddr_in group = _address("224.0.0.7", 9950 + _slot);
  while (true) {
    pollfd fds[2] = {{_socket, POLLIN, 0}, {_wake, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
    uint8_t received[16];
    const ssize_t got = recv(_socket, received, sizeof received, MSG_DONTWAIT);
    if (got != 4 || std::vector<uint8_t>(received, received + 4) != request) continue;
    ++_requests;
    if (!_reply.empty())
      sendto(_socket, _reply.data(), _reply.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
  }
}

}  // namespace qftest
