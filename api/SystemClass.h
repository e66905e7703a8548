// The system entity (class cmdSYSTEM, 3) of a module: one accessor per system option. Each is
// one EntityClass operation on the bound module and index (gets store their value on success
// and on aErrStreamStale). Signed values are the 32-bit value read as two's complement. Used
// from one thread at a time, like its module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/Entity.h"
#include "common/aDefs.h"

namespace Tarnwick::Quillfern {

// Option numbers of the system entity.
enum SystemOption : uint8_t {
  systemModule = 1,
  systemRouter = 2,
  systemHBInterval = 3,
  systemLED = 4,
  systemBootSlot = 6,
  systemVersion = 7,
  systemModel = sysOPTION_MODEL,
  systemSerialNumber = 9,
  systemSave = 10,
  systemReset = 11,
  systemInputVoltage = 12,
  systemModuleHardwareOffset = 13,
  systemModuleBaseAddress = 14,
  systemModuleSoftwareOffset = 15,
  systemRouterAddressSetting = 16,
  systemRouteToMe = 20,
  systemInputCurrent = 21,
  systemUptime = 22,
  systemMaximumTemperature = 23,
  systemLogEvents = 24,
  systemUnregulatedVoltage = 25,
  systemUnregulatedCurrent = 26,
  systemTemperature = 27,
  systemMinimumTemperature = 28,
  systemInputPowerSource = 29,
  systemInputPowerBehavior = 30,
  systemInputPowerBehaviorConfig = 31,
  systemName = 32,
  systemPowerLimit = 33,
  systemPowerLimitMax = 34,
  systemPowerLimitState = 35,
  systemResetDeviceToFactoryDefaults = 37,
  systemLinkInterface = 38,
  systemUniqueIdentifier = 39,  // read with a subindex, no accessor
  systemHardwareVersion = 40,
  systemErrors = 41,
  systemLEDMaxBrightness = 42,
  systemBuild = 43,
  systemProtocolFeatures = 45,
};

class SystemClass : public EntityClass {
 public:
  SystemClass() = default;
  ~SystemClass() override = default;

  // Binds the system entity with this index of the module (the module's own is index 0).
  void init(Module* module, uint8_t index);

  aErr getModule(uint8_t* value);
  aErr getRouter(uint8_t* value);
  aErr setRouter(uint8_t value);
  aErr getHBInterval(uint8_t* value);
  aErr setHBInterval(uint8_t value);
  aErr getLED(uint8_t* value);
  aErr setLED(uint8_t value);
  aErr getBootSlot(uint8_t* value);
  aErr setBootSlot(uint8_t value);
  aErr getVersion(uint32_t* value);
  aErr getModel(uint8_t* value);
  aErr getSerialNumber(uint32_t* value);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* value);
  aErr getModuleHardwareOffset(uint8_t* value);
  aErr getModuleBaseAddress(uint8_t* value);
  aErr getModuleSoftwareOffset(uint8_t* value);
  aErr setModuleSoftwareOffset(uint8_t value);
  aErr getRouterAddressSetting(uint8_t* value);
  aErr routeToMe(uint8_t value);
  aErr getInputCurrent(uint32_t* value);
  aErr getUptime(uint32_t* value);
  aErr getMaximumTemperature(int32_t* value);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* value);
  aErr getUnregulatedCurrent(int32_t* value);
  aErr getTemperature(int32_t* value);
  aErr getMinimumTemperature(int32_t* value);
  aErr getInputPowerSource(uint8_t* value);
  aErr getInputPowerBehavior(uint8_t* value);
  aErr setInputPowerBehavior(uint8_t value);
  aErr getPowerLimit(uint32_t* value);
  aErr getPowerLimitMax(uint32_t* value);
  aErr setPowerLimitMax(uint32_t value);
  aErr getPowerLimitState(uint32_t* value);
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* value);
  aErr setLinkInterface(uint8_t value);
  aErr getHardwareVersion(uint32_t* value);
  aErr getErrors(uint32_t* value);
  aErr getLEDMaxBrightness(uint8_t* value);
  aErr setLEDMaxBrightness(uint8_t value);
  aErr getBuild(uint32_t* value);
  aErr getProtocolFeatures(uint32_t* value);

  // The module's name into buffer (capacity length); *count receives its length in bytes.
  aErr getName(uint8_t* buffer, size_t length, size_t* count);
  aErr setName(const uint8_t* name, size_t length);
  // 32-bit words travelling as the bytes of the caller's array in memory order (not converted
  // to big-endian). *count receives the number of words.
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);

 private:
  aErr _getSigned(uint8_t option, int32_t* value);
};

}  // namespace Tarnwick::Quillfern
