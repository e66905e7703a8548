// Feeds arbitrary datagrams to the parsers of what discovery takes from outside: an Ethernet
// module's reply, a link server's record, and a USB serial-number string. Checks the sizes each
// accepts, that a server record's port text is always terminated and otherwise copied as it
// came, and that a parsed serial number prints back as the text it came from.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/discover.h"
#include "platform/unix_discovery.h"

namespace {

void sRequire(bool condition) {
  if (!condition) std::abort();
}

void sCheckEthernetReply(const uint8_t* data, size_t size) {
  linkSpec spec;
  const bool accepted = aDiscovery_ParseEthernetReply(data, size, 0x0100007F, &spec);
  sRequire(accepted == (size >= aDISCOVERY_ETHERNET_REPLY_MIN && size <= aDISCOVERY_ETHERNET_REPLY_MAX));
  if (!accepted) return;
  sRequire(spec.type == TCPIP && spec.module == data[1] && spec.router == data[1]);
  sRequire(spec.routerSerialNumber == spec.serialNumber);
  sRequire(spec.model == (size > 12 ? data[12] : 0xFFu));
}

void sCheckServerRecord(const uint8_t* data, size_t size) {
  linkSpec spec;
  if (!aDiscovery_ParseLinkSpec(data, size, &spec)) return;
  sRequire(size == sizeof(linkSpec));
  sRequire(strnlen(spec.serialPort, sizeof spec.serialPort) < sizeof spec.serialPort);
  sRequire(std::memcmp(&spec, data, sizeof(linkSpec) - 1) == 0);
}

void sCheckUsbSerial(const uint8_t* data, size_t size) {
  uint32_t serialNumber = 0;
  if (!aDiscovery_ParseUSBSerial(reinterpret_cast<const char*>(data), size, &serialNumber)) return;
  sRequire(size == 8);
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serialNumber);
  sRequire(strncasecmp(text, reinterpret_cast<const char*>(data), 8) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sCheckEthernetReply(data, size);
  sCheckServerRecord(data, size);
  sCheckUsbSerial(data, size);
  return 0;
}
