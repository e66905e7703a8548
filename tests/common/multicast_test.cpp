// Multicast sockets on the loopback interface (both sides name it, so nothing leaves the host).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "common/aMulticast.h"

namespace {

uint32_t _ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

// A UDP port nobody holds right now, so the test needs no fixed port.
uint16_t _freeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  socklen_t length = sizeof local;
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  close(fd);
  return ntohs(local.sin_port);
}

const uint32_t kGroup = _ip("224.0.0.7");
const uint32_t kLoopback = _ip("127.0.0.1");

}  // namespace

TEST(Multicast, DatagramsReachAReceiverOfTheGroupAndPort) {
  const uint16_t port = _freeUdpPort();
  // Interface 0 and 127.0.0.1 both mean the loopback interface.
  aMulticast* receiver = aMulticast_Create(0, kGroup, port, 0);
  aMulticast* sender = aMulticast_Create(kLoopback, kGroup, port, 1);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  const std::string message = "\xBA\xDC\xCD\xAB request";
  EXPECT_EQ(aMulticast_Send(sender, message.data(), message.size()), int(message.size()));
  char buffer[64] = {};
  ASSERT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), int(message.size()));
  EXPECT_EQ(std::string(buffer, message.size()), message);
  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  EXPECT_EQ(receiver, nullptr);
}

TEST(Multicast, AReceiverHoldsItsPortAlone) {
  const uint16_t port = _freeUdpPort();
  aMulticast* first = aMulticast_Create(0, kGroup, port, 0);
  ASSERT_NE(first, nullptr);
  aMulticast* second = aMulticast_Create(0, kGroup, port, 0);
  EXPECT_EQ(second, nullptr);
  aMulticast* sender = aMulticast_Create(0, kGroup, port, 1);
  EXPECT_NE(sender, nullptr) << "senders do not bind the port";
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&first);
  second = aMulticast_Create(0, kGroup, port, 0);
  EXPECT_NE(second, nullptr) << "the port is free again once its receiver is gone";
  aMulticast_Destroy(&second);
}

TEST(Multicast, ReceiveGivesUpAfterASecond) {
  aMulticast* receiver = aMulticast_Create(0, kGroup, _freeUdpPort(), 0);
  ASSERT_NE(receiver, nullptr);
  char buffer[16];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  aMulticast_Destroy(&receiver);
}

TEST(Multicast, WrongKindsAndNullHandlesAreRefused) {
  const uint16_t port = _freeUdpPort();
  aMulticast* receiver = aMulticast_Create(0, kGroup, port, 0);
  aMulticast* sender = aMulticast_Create(0, kGroup, port, 1);
  ASSERT_NE(receiver, nullptr);
  ASSERT_NE(sender, nullptr);
  char buffer[4] = {1, 2, 3, 4};
  EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), -3);
  EXPECT_EQ(aMulticast_Send(receiver, buffer, sizeof buffer), -3);
  EXPECT_EQ(aMulticast_Send(nullptr, buffer, sizeof buffer), -2);
  EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
  aMulticast* none = nullptr;
  EXPECT_EQ(aMulticast_Destroy(&none), -2);
  EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&receiver);
}

TEST(Multicast, AnInterfaceTheHostDoesNotHaveGivesNoSocket) {
  // Joining the group on an address no interface carries fails before anything is sent.
  EXPECT_EQ(aMulticast_Create(_ip("192.0.2.77"), kGroup, _freeUdpPort(), 0), nullptr);
  EXPECT_EQ(aMulticast_Create(_ip("192.0.2.77"), kGroup, _freeUdpPort(), 1), nullptr);
}

TEST(Multicast, PrintAddressShowsNumericHostAndService) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(9850);
  address.sin_addr.s_addr = kLoopback;
  testing::internal::CaptureStderr();
  EXPECT_EQ(aMulticastDiagnostics::_printAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "127.0.0.1:9850\n");
  EXPECT_NE(aMulticastDiagnostics::_printAddress(reinterpret_cast<const sockaddr*>(&address), 1), 0)
      << "a cut-off address";
}
