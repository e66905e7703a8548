// Module discovery and listing: finds modules through the library's discovery, or on the I2C bus
// behind a router module, and probes each for its build, version, addresses and name. Every
// module object connects under direct control and is disconnected before the operation returns.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "common/aDefs.h"
#include "common/aVersion.h"
#include "firmware/Log.h"
#include "firmware/UpdateSteps.h"
#include "updater/Updater.h"

using namespace UpdaterRoutines;

using Tarnwick::Quillfern::I2CClass;
using Tarnwick::Quillfern::Module;
using Tarnwick::Quillfern::SystemClass;

namespace {

// The loopback address (network byte order): the discovery calls take it to mean "search
// through every interface", not the loopback interface alone.
const uint32_t kLoopbackMeaningEveryInterface = htonl(INADDR_LOOPBACK);
constexpr uint8_t kDefaultModuleAddress = 2;
constexpr uint8_t kLastBusAddress = 252;  // even I2C addresses 2 to 252 are scanned
constexpr uint8_t kBusIndex = 0;
constexpr uint8_t kBusSpeed = 3;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

bool _discovered_device(const linkSpec* found, bool* counted, void* ref) {
  auto* list = static_cast<std::vector<DeviceInfo>*>(ref);
  DeviceInfo entry;
  entry.spec = *found;
  list->push_back(std::move(entry));
  *counted = true;
  return true;
}

uint32_t _get_build_number(Module& module) {
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, 0);
  uint32_t version = 0;
  aErr result = system.getVersion(&version);
  if (result != aErrNone) return result;
  info.versionMajor = aVersion_ParseMajor(version);
  info.versionMinor = aVersion_ParseMinor(version);
  info.versionPatch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  result = system.getModule(&address);
  if (result != aErrNone) return result;
  info.spec.module = address;
  result = system.getRouter(&address);
  if (result != aErrNone) return result;
  info.spec.router = address;
  return aErrNone;
}

// Firmware before 2.10.4 has no name: then nothing is read.
aErr _get_device_name(Module& module, DeviceInfo& info) {
  if (!aVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor, static_cast<uint8_t>(info.versionPatch), 2, 10,
                                 4))
    return aErrNone;
  SystemClass system;
  system.init(&module, 0);
  uint8_t name[32];
  size_t count = 0;
  const aErr result = system.getName(name, sizeof name, &count);
  if (result == aErrNone) info.deviceName.assign(reinterpret_cast<const char*>(name), count);
  return result;
}

void _probe_device(Module& module, DeviceInfo& info) {
  info.error = module.connectFromSpec(info.spec);
  if (info.error != aErrNone) return;
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);
  if (info.error == aErrNone) info.error = _get_device_name(module, info);
}

struct LinkProbe {
  uint32_t serialNumber;
  linkType found;
};

bool _discovered_link(const linkSpec* found, bool* counted, void* ref) {
  auto* probe = static_cast<LinkProbe*>(ref);
  *counted = true;
  if (found->serialNumber != probe->serialNumber) return true;
  Log::log(Log::DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", found->serialNumber,
           static_cast<int>(found->type));
  probe->found = found->type;
  return false;
}

linkType _discover_link_type(uint32_t serialNumber) {
  LinkProbe probe{serialNumber, UNSPECIFIED};
  aDiscovery_EnumerateModules(USB, _discovered_link, &probe, kLoopbackMeaningEveryInterface);
  if (probe.found == UNSPECIFIED)
    aDiscovery_EnumerateModules(TCPIP, _discovered_link, &probe, kLoopbackMeaningEveryInterface);
  return probe.found;
}

// The entry of a module that answered at the bus address behind the router, probed through it.
DeviceInfo _probe_routed_device(Module& module, SystemClass& system, uint32_t serialNumber, const linkSpec& routerSpec,
                                linkType type, uint8_t routerAddress, uint8_t busAddress) {
  DeviceInfo entry;
  constexpr size_t kSharedFrom = offsetof(linkSpec, ipAddress);
  std::memcpy(reinterpret_cast<uint8_t*>(&entry.spec) + kSharedFrom,
              reinterpret_cast<const uint8_t*>(&routerSpec) + kSharedFrom, sizeof(linkSpec) - kSharedFrom);
  entry.spec.type = type;
  entry.spec.serialNumber = serialNumber;
  entry.spec.router = routerAddress;
  entry.spec.routerSerialNumber = routerSpec.serialNumber;
  entry.networkAddress = busAddress;
  entry.build = _get_build_number(module);
  entry.error = _get_version(module, entry);
  uint8_t model = 0;
  const aErr modelRead = system.getModel(&model);
  if (modelRead != aErrNone) {
    entry.error = modelRead;
  } else {
    entry.spec.model = model;
    entry.modelName = aDefs_GetModelName(model);
  }
  return entry;
}

// Tries every even bus address but the router's own and lists the modules whose serial number
// could be read through the router's link.
void _scan_bus(UpdaterDisplayInterface& display, Module& router, const linkSpec& routerSpec, linkType type,
               std::vector<DeviceInfo>& list) {
  I2CClass bus;
  bus.init(&router, kBusIndex);
  bus.setSpeed(kBusSpeed);
  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned a = 2; a <= kLastBusAddress; a += 2) {
    const auto address = static_cast<uint8_t>(a);
    if (address == routerAddress) continue;
    Log::log(Log::DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0x00, 0x00};
    if (bus.write(address, sizeof probe, probe) != aErrNone) continue;
    Log::log(Log::DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    UpdaterRoutines::_disableEther(module, display);
    if (module.connectThroughLinkModule(&router) != aErrNone) continue;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serialNumber = 0;
    if (system.getSerialNumber(&serialNumber) != aErrNone) {
      module.disconnect();
      continue;
    }
    Log::log(Log::DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);
    DeviceInfo entry = _probe_routed_device(module, system, serialNumber, routerSpec, type, routerAddress, address);
    module.disconnect();
    list.push_back(std::move(entry));
  }
}

struct LinkSpecDeleter {
  void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> list;
  const std::vector<linkType> transports =
      type == UNSPECIFIED ? std::vector<linkType>{USB, TCPIP} : std::vector<linkType>{type};
  for (linkType transport : transports)
    aDiscovery_EnumerateModules(transport, _discovered_device, &list, kLoopbackMeaningEveryInterface);
  for (DeviceInfo& info : list) {
    info.modelName = aDefs_GetModelName(info.spec.model);
    Module module(kDefaultModuleAddress, 0);
    if (_disableEther(module, display) != aErrNone) continue;
    _probe_device(module, info);
    module.disconnect();
  }
  return list;
}

std::vector<DeviceInfo> Updater::Discover_QFNetwork_Devices(uint32_t routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> list;
  if (type == UNSPECIFIED) type = _discover_link_type(routerSerialNumber);
  std::unique_ptr<linkSpec, LinkSpecDeleter> routerSpec(
      aDiscovery_FindModule(type, routerSerialNumber, kLoopbackMeaningEveryInterface));
  if (!routerSpec) return list;

  Log::log(Log::DEBUG_Updater, "Found Link Module");
  Module router(kDefaultModuleAddress, 0);
  if (_disableEther(router, display) != aErrNone) return list;
  const aErr connected = router.connectFromSpec(*routerSpec);
  if (connected != aErrNone) {
    display.message(kError, "Error %d on connectFromSpec", static_cast<int>(connected));
    router.disconnect();
    return list;
  }
  SystemClass routerSystem;
  routerSystem.init(&router, 0);
  const aErr routed = routerSystem.routeToMe(1);
  if (routed != aErrNone) {
    display.message(kError, "Error %d on route to me", static_cast<int>(routed));
  } else {
    _scan_bus(display, router, *routerSpec, type, list);
  }
  routerSystem.routeToMe(0);
  router.disconnect();
  return list;
}
