#include "common/aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

struct aMulticast {
  addrinfo* group;             // the group with the port: where a sender sends
  addrinfo* bindAddress;       // sender: the interface, port 0 (unused); receiver: wildcard and port
  addrinfo* interfaceAddress;  // the interface, port 0
  int socket;                  // -1 until made
  int sender;                  // 1 sender, 0 receiver
};

namespace {

constexpr int sTimeToLive = 1;
constexpr int sReceiveTimeoutSeconds = 1;
constexpr int sNullHandle = -2;
constexpr int sWrongKind = -3;

// The multicast interface in network order: 0 and 127.0.0.1 both mean the loopback interface.
uint32_t sEffectiveInterface(uint32_t networkInterface) {
  return networkInterface == 0 ? htonl(INADDR_LOOPBACK) : networkInterface;
}

// Resolves a numeric IPv4 host (or the wildcard when host is null) and port for UDP.
addrinfo* sResolve(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (host ? 0 : AI_PASSIVE);
  addrinfo* result = nullptr;
  if (getaddrinfo(host, port, &hints, &result) != 0) return nullptr;
  return result;
}

void sRelease(aMulticast* multicast) {
  if (multicast->group) freeaddrinfo(multicast->group);
  if (multicast->bindAddress) freeaddrinfo(multicast->bindAddress);
  if (multicast->interfaceAddress) freeaddrinfo(multicast->interfaceAddress);
  if (multicast->socket >= 0) close(multicast->socket);
  delete multicast;
}

in_addr sIPv4Of(const addrinfo* info) { return reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr; }

// Makes the socket, binds a receiver and sets the multicast options; false on any failure.
bool sOpenSocket(aMulticast* multicast) {
  multicast->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (multicast->socket < 0) return false;
  const int off = 0;
  const int on = 1;
  // Without address reuse a second receiver on the port fails to bind: that failure is how a
  // port held by someone else is recognised.
  if (setsockopt(multicast->socket, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) return false;
  if (!multicast->sender &&
      bind(multicast->socket, multicast->bindAddress->ai_addr, multicast->bindAddress->ai_addrlen) != 0)
    return false;
  ip_mreq membership{};
  membership.imr_multiaddr = sIPv4Of(multicast->group);
  membership.imr_interface = sIPv4Of(multicast->interfaceAddress);
  const in_addr outgoing = sIPv4Of(multicast->interfaceAddress);
  const timeval timeout{sReceiveTimeoutSeconds, 0};
  return setsockopt(multicast->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 &&
         setsockopt(multicast->socket, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
         setsockopt(multicast->socket, IPPROTO_IP, IP_MULTICAST_TTL, &sTimeToLive, sizeof sTimeToLive) == 0 &&
         setsockopt(multicast->socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
         setsockopt(multicast->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) == 0;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, int sender) {
  char groupText[INET_ADDRSTRLEN];
  char interfaceText[INET_ADDRSTRLEN];
  const in_addr groupAddress{group};
  const in_addr interfaceAddress{sEffectiveInterface(networkInterface)};
  if (!inet_ntop(AF_INET, &groupAddress, groupText, sizeof groupText) ||
      !inet_ntop(AF_INET, &interfaceAddress, interfaceText, sizeof interfaceText))
    return nullptr;
  char portText[8];
  std::snprintf(portText, sizeof portText, "%u", unsigned{port});

  aMulticast* multicast = new (std::nothrow) aMulticast{nullptr, nullptr, nullptr, -1, sender ? 1 : 0};
  if (!multicast) return nullptr;
  multicast->group = sResolve(groupText, portText);
  multicast->bindAddress = multicast->sender ? sResolve(interfaceText, "0") : sResolve(nullptr, portText);
  multicast->interfaceAddress = sResolve(interfaceText, "0");
  if (!multicast->group || !multicast->bindAddress || !multicast->interfaceAddress || !sOpenSocket(multicast)) {
    sRelease(multicast);
    return nullptr;
  }
  return multicast;
}

int aMulticast_Send(aMulticast* multicast, const void* data, size_t length) {
  if (!multicast) return sNullHandle;
  if (!multicast->sender) return sWrongKind;
  ssize_t sent;
  do {
    sent = sendto(multicast->socket, data, length, 0, multicast->group->ai_addr, multicast->group->ai_addrlen);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* multicast, void* buffer, size_t size) {
  if (!multicast) return sNullHandle;
  if (multicast->sender) return sWrongKind;
  const ssize_t received = recv(multicast->socket, buffer, size, 0);
  return received < 0 ? -1 : static_cast<int>(received);
}

int aMulticast_Destroy(aMulticast** multicast) {
  if (!multicast || !*multicast) return sNullHandle;
  sRelease(*multicast);
  *multicast = nullptr;
  return 0;
}

int aMulticastDiagnostics::_printAddress(const struct sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  const int result =
      getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  if (result == 0) std::fprintf(stderr, "%s:%s\n", host, service);
  return result;
}
