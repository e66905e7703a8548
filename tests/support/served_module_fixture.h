// A test fixture for the link sharing server: a simulated module at the given address behind a
// server (a ServedModule), started in SetUp with the handlers the test gives it, wire clients
// connected to the server, and the names and requests its tests talk in. Header only, as
// served_module.h.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/simModule.h"
#include "support/served_module.h"
#include "support/sim_module_start.h"
#include "support/zmq_wire_client.h"

namespace qftest {

// The names a test of the server talks in, for a test file's `using namespace`.
namespace served_terms {

using Bytes = std::vector<std::uint8_t>;
using qfsim::SimContext;
using qfsim::SimPacket;
using qfsim::SimRecord;
using qftest::PacketFrame;
using qftest::WireClient;

// How long a test waits for a reply through the server (sanitizer builds are slow).
inline constexpr int kReplyMs = 3000;

// The stream command, and its requests as a client's link sends them:
// [0x5D][0x81 enable | 0x82 disable][0x20][address][entity][0x01][0x00].
inline constexpr std::uint8_t kStream = 0x5D;
inline Bytes StreamEnable(std::uint8_t address, std::uint8_t entity) {
  return {kStream, 0x81, 0x20, address, entity, 0x01, 0x00};
}
inline Bytes StreamDisable(std::uint8_t address, std::uint8_t entity) {
  return {kStream, 0x82, 0x20, address, entity, 0x01, 0x00};
}

}  // namespace served_terms

// How many packets with this data the module received for the address.
inline std::size_t TimesReceived(const qfsim::SimRecord& record, std::uint8_t address,
                                 const std::vector<std::uint8_t>& data) {
  return std::count_if(record.packets.begin(), record.packets.end(),
                       [&](const qfsim::SimPacket& p) { return p.address == address && p.data == data; });
}

class ServedModuleFixture : public testing::Test {
 protected:
  explicit ServedModuleFixture(std::uint8_t address) : address_(address) {}

  // The module's handlers, set before the module starts.
  virtual void AddHandlers(qfsim::SimModule& module) = 0;

  void SetUp() override {
    served = std::make_unique<ServedModule>(SimModuleWith(address_));
    AddHandlers(served->module());
    std::string why;
    ASSERT_TRUE(served->start(&why)) << why;
  }

  std::unique_ptr<WireClient> Client() {
    auto client = std::make_unique<WireClient>(served->port());
    EXPECT_TRUE(client->ok());
    return client;
  }

  // Sends a request to the module and expects `reply` as the client's next frame.
  void Expect(WireClient& client, const std::vector<std::uint8_t>& request,
              const std::vector<std::uint8_t>& reply) const {
    ASSERT_TRUE(client.send(address_, request));
    EXPECT_EQ(client.receive(served_terms::kReplyMs), PacketFrame(address_, reply));
  }
  // Sends a request and expects its echo as the client's next frame.
  void RoundTrip(WireClient& client, const std::vector<std::uint8_t>& request) const {
    Expect(client, request, request);
  }

  std::unique_ptr<ServedModule> served;

 private:
  std::uint8_t address_;
};

}  // namespace qftest
