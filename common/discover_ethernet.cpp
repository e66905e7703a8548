// The Ethernet-module query: one request per interface to the modules' multicast group, then
// every reply that arrives on the reply port until none has come for a while.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/aTime.h"
#include "common/discover.h"
#include "common/discover_steps.h"

namespace {

constexpr uint8_t sRequestCommand = 0x01;
// The query ends this long after the last reply it accepted.
constexpr uint64_t sReplyWindowMs = 2000;

int sUdpSocketReusingAddress() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The socket replies come to, bound to the interface (network order, 0 = any); -1 on failure.
int sOpenListener(uint32_t networkInterface) {
  const int fd = sUdpSocketReusingAddress();
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = networkInterface;
  local.sin_port = htons(aDISCOVERY_ETHERNET_REPLY_PORT);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends one request through the interface (network order; 0 = the system's default). True
// when it went out.
bool sSendRequest(uint32_t networkInterface) {
  const int fd = sUdpSocketReusingAddress();
  if (fd < 0) return false;
  const in_addr outgoing{networkInterface};
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(aDISCOVERY_ETHERNET_REQUEST_PORT);
  inet_pton(AF_INET, aDISCOVERY_ETHERNET_GROUP, &group.sin_addr);
  uint8_t request[aDISCOVERY_ETHERNET_REQUEST_SIZE] = {sRequestCommand};
  const bool sent = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
                    sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) ==
                        static_cast<ssize_t>(sizeof request);
  close(fd);
  return sent;
}

bool sIsRequestInterface(const ifaddrs* entry) {
  if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) return false;
  const uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
  return address != htonl(INADDR_ANY) && address != htonl(INADDR_LOOPBACK);
}

// One request through every IPv4 address of the host but 0.0.0.0 and 127.0.0.1, or through the
// default interface when the addresses cannot be read. True when at least one went out.
bool sSendRequestsEverywhere() {
  ifaddrs* entries = nullptr;
  if (getifaddrs(&entries) != 0) return sSendRequest(htonl(INADDR_ANY));
  bool anySent = false;
  for (const ifaddrs* entry = entries; entry; entry = entry->ifa_next)
    if (sIsRequestInterface(entry))
      anySent |= sSendRequest(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
  freeifaddrs(entries);
  return anySent;
}

// Waits for the next datagram until the deadline; false when none came in time.
bool sAwaitDatagram(int fd, uint64_t deadline) {
  while (true) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return false;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(deadline - now));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

// Hands every acceptable reply to the callback until it says stop or no acceptable reply has
// come within the window. Ignored datagrams do not extend the window, so a sender of junk
// cannot keep the query going.
void aDiscoverySteps::receiveEthernetReplies(int listener, aDiscoveryReport* report) {
  uint64_t deadline = aTime_GetMonotonicMSTicks() + sReplyWindowMs;
  while (sAwaitDatagram(listener, deadline)) {
    uint8_t reply[aDISCOVERY_ETHERNET_REPLY_MAX] = {};
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC gives the datagram's real length, so an oversized one is recognised.
    const ssize_t length = recvfrom(listener, reply, sizeof reply, MSG_TRUNC | MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
    linkSpec found;
    if (length < 0 || sender.sin_family != AF_INET ||
        !aDiscovery_ParseEthernetReply(reply, static_cast<size_t>(length), sender.sin_addr.s_addr, &found))
      continue;
    deadline = aTime_GetMonotonicMSTicks() + sReplyWindowMs;
    if (!aDiscovery_Offer(report, &found)) return;
  }
}

uint8_t aDiscovery_EnumerateEthernet(aDiscoveryProc callback, void* ref, uint32_t networkInterface) {
  if (networkInterface == htonl(INADDR_LOOPBACK)) networkInterface = htonl(INADDR_ANY);
  aDiscoveryReport report{callback, ref, 0, false};
  const int listener = sOpenListener(networkInterface);
  if (listener < 0) return 0;
  const bool sent = networkInterface != htonl(INADDR_ANY) ? sSendRequest(networkInterface) : sSendRequestsEverywhere();
  if (sent) aDiscoverySteps::receiveEthernetReplies(listener, &report);
  close(listener);
  return report.count;
}
