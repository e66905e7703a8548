#include "api/SystemClass.h"

#include "common/aDefs.h"

namespace Tarnwick::Quillfern {

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::_getSigned(uint8_t option, int32_t* value) {
  if (!value) return aErrParam;
  uint32_t raw = 0;
  const aErr result = getUEI32(option, &raw);
  if (result == aErrNone || result == aErrStreamStale) *value = static_cast<int32_t>(raw);
  return result;
}

aErr SystemClass::getModule(uint8_t* value) { return getUEI8(systemModule, value); }
aErr SystemClass::getRouter(uint8_t* value) { return getUEI8(systemRouter, value); }
aErr SystemClass::setRouter(uint8_t value) { return setUEI8(systemRouter, value); }
aErr SystemClass::getHBInterval(uint8_t* value) { return getUEI8(systemHBInterval, value); }
aErr SystemClass::setHBInterval(uint8_t value) { return setUEI8(systemHBInterval, value); }
aErr SystemClass::getLED(uint8_t* value) { return getUEI8(systemLED, value); }
aErr SystemClass::setLED(uint8_t value) { return setUEI8(systemLED, value); }
aErr SystemClass::getBootSlot(uint8_t* value) { return getUEI8(systemBootSlot, value); }
aErr SystemClass::setBootSlot(uint8_t value) { return setUEI8(systemBootSlot, value); }
aErr SystemClass::getVersion(uint32_t* value) { return getUEI32(systemVersion, value); }
aErr SystemClass::getModel(uint8_t* value) { return getUEI8(systemModel, value); }
aErr SystemClass::getSerialNumber(uint32_t* value) { return getUEI32(systemSerialNumber, value); }
aErr SystemClass::save() { return callUEI(systemSave); }
aErr SystemClass::reset() { return callUEI(systemReset); }
aErr SystemClass::getInputVoltage(uint32_t* value) { return getUEI32(systemInputVoltage, value); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* value) { return getUEI8(systemModuleHardwareOffset, value); }
aErr SystemClass::getModuleBaseAddress(uint8_t* value) { return getUEI8(systemModuleBaseAddress, value); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) { return getUEI8(systemModuleSoftwareOffset, value); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t value) { return setUEI8(systemModuleSoftwareOffset, value); }
aErr SystemClass::getRouterAddressSetting(uint8_t* value) { return getUEI8(systemRouterAddressSetting, value); }
aErr SystemClass::routeToMe(uint8_t value) { return setUEI8(systemRouteToMe, value); }
aErr SystemClass::getInputCurrent(uint32_t* value) { return getUEI32(systemInputCurrent, value); }
aErr SystemClass::getUptime(uint32_t* value) { return getUEI32(systemUptime, value); }
aErr SystemClass::getMaximumTemperature(int32_t* value) { return _getSigned(systemMaximumTemperature, value); }
aErr SystemClass::logEvents() { return callUEI(systemLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* value) { return _getSigned(systemUnregulatedVoltage, value); }
aErr SystemClass::getUnregulatedCurrent(int32_t* value) { return _getSigned(systemUnregulatedCurrent, value); }
aErr SystemClass::getTemperature(int32_t* value) { return _getSigned(systemTemperature, value); }
aErr SystemClass::getMinimumTemperature(int32_t* value) { return _getSigned(systemMinimumTemperature, value); }
aErr SystemClass::getInputPowerSource(uint8_t* value) { return getUEI8(systemInputPowerSource, value); }
aErr SystemClass::getInputPowerBehavior(uint8_t* value) { return getUEI8(systemInputPowerBehavior, value); }
aErr SystemClass::setInputPowerBehavior(uint8_t value) { return setUEI8(systemInputPowerBehavior, value); }
aErr SystemClass::getPowerLimit(uint32_t* value) { return getUEI32(systemPowerLimit, value); }
aErr SystemClass::getPowerLimitMax(uint32_t* value) { return getUEI32(systemPowerLimitMax, value); }
aErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(systemPowerLimitMax, value); }
aErr SystemClass::getPowerLimitState(uint32_t* value) { return getUEI32(systemPowerLimitState, value); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(systemResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* value) { return getUEI8(systemLinkInterface, value); }
aErr SystemClass::setLinkInterface(uint8_t value) { return setUEI8(systemLinkInterface, value); }
aErr SystemClass::getHardwareVersion(uint32_t* value) { return getUEI32(systemHardwareVersion, value); }
aErr SystemClass::getErrors(uint32_t* value) { return getUEI32(systemErrors, value); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* value) { return getUEI8(systemLEDMaxBrightness, value); }
aErr SystemClass::setLEDMaxBrightness(uint8_t value) { return setUEI8(systemLEDMaxBrightness, value); }
aErr SystemClass::getBuild(uint32_t* value) { return getUEI32(systemBuild, value); }
aErr SystemClass::getProtocolFeatures(uint32_t* value) { return getUEI32(systemProtocolFeatures, value); }

aErr SystemClass::getName(uint8_t* buffer, size_t length, size_t* count) {
  const aErr result = getUEIBytes(systemName, buffer, length, count);
  return result == aErrNone ? getUEIBytesCheck(count, 1) : result;
}

aErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(systemName, name, length); }

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  const aErr result = getUEIBytes(systemInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                                  capacity * sizeof(uint32_t), count);
  return result == aErrNone ? getUEIBytesCheck(count, sizeof(uint32_t)) : result;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
  return setUEIBytes(systemInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words), count * sizeof(uint32_t));
}

}  // namespace Tarnwick::Quillfern
