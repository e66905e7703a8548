// A test fixture for the link sharing server: a simulated module at the given address behind a
// server (a ServedModule), started in SetUp with the handlers the test gives it, and wire
// clients connected to the server. Header only, as served_module.h.
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

  std::unique_ptr<ServedModule> served;

 private:
  std::uint8_t address_;
};

}  // namespace qftest
