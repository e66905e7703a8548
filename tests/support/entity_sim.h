// The simulated module with its entities, reachable over TCP on loopback or as a serial port in
// COBS framing, and what the object layer needs to reach it: its linkSpec and the direct-control
// network settings (networking off, fallback off, local only on). Header-only: the object
// layer's types are used only by the tests that include it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/Link.h"
#include "common/discover.h"
#include "sim/module/simEntities.h"
#include "sim/module/simModule.h"

namespace qftest {

class EntitySim {
 public:
  explicit EntitySim(qfsim::SimModuleOptions options = {}) : module(options) {
    qfsim::SimEntities::attach(entities, module);
    std::string error;
    started = module.start(&error);
    EXPECT_TRUE(started) << error;
  }

  // TCPIP to 127.0.0.1 and the module's port, or SERIAL on its terminal at 115200 baud.
  linkSpec spec(qfsim::SimTransport transport) const {
    linkSpec spec{};
    spec.serialNumber = module.serialNumber();
    spec.model = module.model();
    if (transport == qfsim::SimTransport::tcp) {
      spec.type = TCPIP;
      spec.ipAddress = htonl(INADDR_LOOPBACK);
      spec.port = module.port();
    } else {
      spec.type = SERIAL;
      spec.baudRate = 115200;
      std::strncpy(spec.serialPort, module.path().c_str(), sizeof spec.serialPort - 1);
    }
    return spec;
  }

  std::shared_ptr<qfsim::SimEntities> entities = std::make_shared<qfsim::SimEntities>();
  qfsim::SimModule module;
  bool started = false;
};

// A simulated module's identity: serial number, address and model code.
inline qfsim::SimModuleOptions SimIdentity(uint32_t serial, uint8_t address, uint8_t model) {
  qfsim::SimModuleOptions options;
  options.serialNumber = serial;
  options.address = address;
  options.model = model;
  return options;
}

// What the updater sets before it connects: no link sharing server, no fallback.
inline Tarnwick::Quillfern::OrvaneConfig DirectControl() {
  Tarnwick::Quillfern::OrvaneConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  return config;
}

// Bytes that differ from their neighbours, so that a chunk out of place shows.
inline std::vector<std::uint8_t> PatternBytes(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

inline std::chrono::milliseconds MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

inline std::string TransportName(const testing::TestParamInfo<qfsim::SimTransport>& info) {
  return info.param == qfsim::SimTransport::tcp ? "Tcp" : "CobsTerminal";
}

}  // namespace qftest
