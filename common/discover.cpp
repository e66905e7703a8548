#include "common/discover.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <new>

#include "common/aByteOrder.h"
#include "common/aTransports.h"

namespace {

constexpr size_t sEthernetModelOffset = 12;
constexpr uint32_t sMissingModel = 0xFF;
// Dotted IPv4 text needs up to 15 characters and the terminator.
constexpr size_t sDottedTextRoom = INET_ADDRSTRLEN;

// Keeps the first find with the serial number of the record passed as ref.
bool cbSNCallback(const linkSpec* found, bool* counted, void* ref) {
  linkSpec* wanted = static_cast<linkSpec*>(ref);
  if (found->serialNumber != wanted->serialNumber) return true;
  *wanted = *found;
  *counted = true;
  return false;
}

// Keeps the first find that has a serial number.
bool cbFirstCallback(const linkSpec* found, bool* counted, void* ref) {
  if (found->serialNumber == 0) return true;
  *static_cast<linkSpec*>(ref) = *found;
  *counted = true;
  return false;
}

// Enumerates into a new record of the type that the callback fills; null when nothing was counted.
linkSpec* sFindOne(linkType type, uint32_t serialNumber, aDiscoveryProc callback, uint32_t networkInterface) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (!spec) return nullptr;
  spec->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0) aLinkSpec_Destroy(&spec);
  return spec;
}

}  // namespace

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = new (std::nothrow) linkSpec{};
  if (spec) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (!spec) return nullptr;
  linkSpec* copy = new (std::nothrow) linkSpec;
  if (copy) *copy = *spec;
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (!spec || !*spec) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}

bool aDiscovery_Offer(aDiscoveryReport* report, const linkSpec* found) {
  if (report->stopped || !report->callback) return false;
  bool counted = false;
  report->stopped = !report->callback(found, &counted, report->ref);
  if (counted && report->count < UINT8_MAX) ++report->count;
  return !report->stopped;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc callback, void* ref, uint32_t networkInterface) {
  if (!callback) return 0;
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSB(callback, ref);
    case TCPIP:
      return aDiscovery_EnumerateEthernet(callback, ref, networkInterface);
    case ORVANE:
    case ORVANE_USB:
    case ORVANE_TCPIP:
    case ORVANE_SERIAL:
      return aDiscovery_Enumerate_OrvaneModules(callback, ref, networkInterface);
    default:
      return 0;
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFindOne(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFindOne(type, 0, cbFirstCallback, networkInterface);
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t n) {
  if (!addresses) return 0;
  ziflist_t* interfaces = ziflist_new();
  if (!interfaces) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(interfaces); name && count < n; name = ziflist_next(interfaces)) {
    in_addr address;
    if (inet_pton(AF_INET, ziflist_address(interfaces), &address) == 1) addresses[count++] = address.s_addr;
  }
  ziflist_destroy(&interfaces);
  return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
  if (!buffer || size < sDottedTextRoom) return 0;
  std::memset(buffer, 0, size);
  const in_addr value{address};
  if (!inet_ntop(AF_INET, &value, buffer, static_cast<socklen_t>(size))) return 0;
  return std::strlen(buffer);
}

bool aDiscovery_ParseEthernetReply(const uint8_t* reply, size_t length, uint32_t sender, linkSpec* spec) {
  if (!spec) return false;
  *spec = linkSpec{};
  if (!reply || length < aDISCOVERY_ETHERNET_REPLY_MIN || length > aDISCOVERY_ETHERNET_REPLY_MAX) return false;
  spec->type = TCPIP;
  spec->module = reply[1];
  spec->router = reply[1];
  spec->port = aByteOrder_ReadLE16(reply + 2);
  spec->serialNumber = aByteOrder_ReadLE32(reply + 4);
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = length > sEthernetModelOffset ? reply[sEthernetModelOffset] : sMissingModel;
  spec->ipAddress = sender;
  return true;
}

bool aDiscovery_ParseLinkSpec(const uint8_t* bytes, size_t length, linkSpec* spec) {
  if (!spec) return false;
  *spec = linkSpec{};
  if (!bytes || length != sizeof(linkSpec)) return false;
  std::memcpy(spec, bytes, sizeof(linkSpec));
  spec->serialPort[aLINKSPEC_SERIAL_PORT_SIZE - 1] = '\0';
  return true;
}
