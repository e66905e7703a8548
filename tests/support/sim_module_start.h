// Starting the simulated module in a test: its options from the identity the test checks, and
// a started module or a failure that says why it did not start. Nothing of the device library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/module/simModule.h"

namespace qftest {

// The module's options with the given identity; a model or serial number of 0 keeps the
// simulator's own.
inline qfsim::SimModuleOptions SimModuleWith(std::uint8_t address, std::uint8_t model = 0,
                                             std::uint32_t serialNumber = 0,
                                             qfsim::SimTransport transport = qfsim::SimTransport::tcp) {
  qfsim::SimModuleOptions options;
  options.transport = transport;
  options.address = address;
  if (model) options.model = model;
  if (serialNumber) options.serialNumber = serialNumber;
  return options;
}

// The module, started; null after a test failure with the reason when it cannot start.
inline std::unique_ptr<qfsim::SimModule> StartedSimModule(const qfsim::SimModuleOptions& options) {
  auto module = std::make_unique<qfsim::SimModule>(options);
  std::string error;
  if (module->start(&error)) return module;
  ADD_FAILURE() << "the simulated module did not start: " << error;
  return nullptr;
}

}  // namespace qftest
