// Feeds what a USB device describes itself as to the USB layer's reading of it: a configuration
// as libusb hands it over (interfaces, alternate settings, endpoints, each array exactly as long
// as its count says), with packet sizes looked up as libusb does (the first endpoint of the
// address), and a serial-number string as libusb reads it.
//
// Checks that the endpoints are found exactly when a setting of the module interface's class,
// subclass and protocol offers a usable IN endpoint and one (perhaps another) offers a usable OUT
// endpoint; that what is found is such an endpoint, with its own packet size, and the interface
// is the last matching setting's; and that a serial string names a module exactly when discovery
// would list that module under the wanted serial number: by its own text, by its number in
// either case, never by the text before a NUL it holds.
//
// Input: [interfaces][per interface: settings, per setting: [number][kind][endpoints], per
// endpoint: [address][attributes][packet size, 2 bytes]...][serial length][serial][wanted, 4].
// A setting's kind: bit 0 set, the module interface's class; else bits 1-2 pick which of class,
// subclass and protocol is off by one.
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/qfusb_descriptors.h"
#include "platform/qfusb_ids.h"
#include "platform/unix_discovery.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The input, read front to back; zeros once it runs out.
struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t next() { return at < size ? data[at++] : 0; }
};

// A configuration as libusb's parser leaves it, built from the input.
struct Configuration {
  explicit Configuration(Reader& in) {
    interfaces.resize(in.next() % 5);
    settings.resize(interfaces.size());
    endpoints.resize(interfaces.size());
    for (size_t i = 0; i < interfaces.size(); ++i) {
      settings[i].resize(in.next() % 4);
      endpoints[i].resize(settings[i].size());
      for (size_t a = 0; a < settings[i].size(); ++a) readSetting(in, settings[i][a], endpoints[i][a]);
    }
    // Pointers last: the arrays no longer move.
    for (size_t i = 0; i < interfaces.size(); ++i) {
      for (size_t a = 0; a < settings[i].size(); ++a) settings[i][a].endpoint = endpoints[i][a].data();
      interfaces[i].altsetting = settings[i].data();
      interfaces[i].num_altsetting = int(settings[i].size());
    }
    config.bNumInterfaces = uint8_t(interfaces.size());
    config.interface = interfaces.data();
  }

  static void readSetting(Reader& in, libusb_interface_descriptor& setting,
                          std::vector<libusb_endpoint_descriptor>& ends) {
    setting = {};
    setting.bInterfaceNumber = in.next();
    const uint8_t kind = in.next();
    setting.bInterfaceClass = QFUSB_INTERFACE_CLASS;
    setting.bInterfaceSubClass = QFUSB_INTERFACE_SUBCLASS;
    setting.bInterfaceProtocol = QFUSB_INTERFACE_PROTOCOL;
    if (!(kind & 1)) {
      const int off = (kind >> 1) % 3;
      if (off == 0) ++setting.bInterfaceClass;
      if (off == 1) ++setting.bInterfaceSubClass;
      if (off == 2) ++setting.bInterfaceProtocol;
    }
    ends.resize(in.next() % 6);
    setting.bNumEndpoints = uint8_t(ends.size());
    for (libusb_endpoint_descriptor& endpoint : ends) {
      endpoint = {};
      endpoint.bEndpointAddress = in.next();
      endpoint.bmAttributes = in.next();
      endpoint.wMaxPacketSize = uint16_t(in.next() << 8 | in.next());
    }
  }

  // As libusb_get_max_packet_size: the first endpoint of the address in the configuration.
  int packetSize(uint8_t address) const {
    for (const auto& interface : endpoints)
      for (const auto& setting : interface)
        for (const libusb_endpoint_descriptor& endpoint : setting)
          if (endpoint.bEndpointAddress == address) return endpoint.wMaxPacketSize;
    return LIBUSB_ERROR_NOT_FOUND;
  }

  static bool isModuleSetting(const libusb_interface_descriptor& setting) {
    return setting.bInterfaceClass == QFUSB_INTERFACE_CLASS && setting.bInterfaceSubClass == QFUSB_INTERFACE_SUBCLASS &&
           setting.bInterfaceProtocol == QFUSB_INTERFACE_PROTOCOL;
  }

  // Whether a module setting offers this endpoint, usable, in that direction.
  bool offers(uint8_t address, bool inward) const {
    for (size_t i = 0; i < settings.size(); ++i)
      for (size_t a = 0; a < settings[i].size(); ++a) {
        if (!isModuleSetting(settings[i][a])) continue;
        for (const libusb_endpoint_descriptor& endpoint : endpoints[i][a])
          if (endpoint.bEndpointAddress == address && (endpoint.bmAttributes & 0x02) && packetSize(address) > 0 &&
              bool(address & LIBUSB_ENDPOINT_IN) == inward)
            return true;
      }
    return false;
  }

  bool offersAny(bool inward) const {
    for (unsigned address = 0; address < 256; ++address)
      if (offers(uint8_t(address), inward)) return true;
    return false;
  }

  // The number of the last module setting, or none.
  int lastModuleInterface() const {
    int number = -1;
    for (const auto& interface : settings)
      for (const libusb_interface_descriptor& setting : interface)
        if (isModuleSetting(setting)) number = setting.bInterfaceNumber;
    return number;
  }

  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
  std::vector<std::vector<libusb_interface_descriptor>> settings;
  std::vector<libusb_interface> interfaces;
  libusb_config_descriptor config{};
};

void checkEndpoints(const Configuration& configuration) {
  qfusbDescriptors::ModuleEndpoints found;
  const bool both = qfusbDescriptors::findEndpoints(
      configuration.config, [&configuration](uint8_t address) { return configuration.packetSize(address); }, &found);
  require(both == (configuration.offersAny(true) && configuration.offersAny(false)));
  const int lastModule = configuration.lastModuleInterface();
  require(found.interface == (lastModule < 0 ? 0 : lastModule));
  if (!both) return;
  require(configuration.offers(found.inEndpoint, true) && configuration.offers(found.outEndpoint, false));
  require(found.inPacketSize == uint16_t(configuration.packetSize(found.inEndpoint)));
  require(found.outPacketSize == uint16_t(configuration.packetSize(found.outEndpoint)));
}

std::string serialText(uint32_t value, bool upper) {
  char text[9];
  std::snprintf(text, sizeof text, upper ? "%08X" : "%08x", value);
  return text;
}

void checkSerial(Reader& in) {
  // At most what libusb reads into the 256 bytes the driver gives it, a terminator left.
  const size_t length = std::min<size_t>(in.next(), in.size - std::min(in.at, in.size));
  const std::string found(reinterpret_cast<const char*>(in.data + in.at), length);
  in.at += length;
  uint32_t wanted = 0;
  for (int i = 0; i < 4; ++i) wanted = wanted << 8 | in.next();

  uint32_t listed = 0;
  const bool hex = aDiscovery_ParseUSBSerial(found.data(), found.size(), &listed);
  auto same = [&found](const std::string& text) {
    return qfusbDescriptors::sameSerial(found.data(), found.size(), text.c_str());
  };
  if (found.find('\0') == std::string::npos) require(same(found));
  else require(!same(found.c_str()));  // the text before the NUL
  if (hex) require(same(serialText(listed, true)) && same(serialText(listed, false)));
  for (const bool upper : {true, false})
    if (same(serialText(wanted, upper))) require(hex && listed == wanted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const Configuration configuration(in);
  checkEndpoints(configuration);
  checkSerial(in);
  return 0;
}
