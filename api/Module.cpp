#include "api/Module.h"

#include <cstring>

#include "common/aDefs.h"
#include "common/aTime.h"

namespace Tarnwick::Quillfern {

namespace {

constexpr uint8_t kCmdEcho = 0x17;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 0x01;
constexpr uint8_t kInfoClassQuantity = 0x04;
constexpr uint8_t kInfoSubClassQuantity = 0x05;
constexpr uint8_t kInfoEntityGroup = 0x06;
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryPauseMs = 5;
constexpr uint8_t kMaxEchoBytes = aPACKET_MAX_DATA - 1;

}  // namespace

Module::Module(uint8_t address_, uint8_t model_) : Module(address_, true, model_) {}

Module::Module(uint8_t address_, bool autoNetworking_, uint8_t model_)
    : link(std::make_unique<Link>("Link")), address(address_), autoNetworking(autoNetworking_), model(model_) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!link) return aErrInitialization;
  const aErr connected = link->discoverAndConnect(type, serialNumber, model);
  return connected == aErrNone ? _autoNetwork() : connected;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (!link) return aErrInitialization;
  if (link->isConnected()) return aErrBusy;
  aErr result = link->setLinkSpecifier(spec);
  if (result == aErrNone) result = link->connect();
  return result == aErrNone ? _autoNetwork() : result;
}

aErr Module::reconnect() {
  if (!link) return aErrInitialization;
  const aErr connected = link->connect();
  return connected == aErrNone ? _autoNetwork() : connected;
}

aErr Module::connectThroughLinkModule(Module* other) {
  if (!link) return aErrInitialization;
  if (link->isConnected()) return aErrNone;
  if (!other || !other->link) return aErrInitialization;
  linkSpec spec;
  aErr result = other->link->getLinkSpecifier(&spec);
  if (result != aErrNone) return result;
  OrvaneConfig config;
  other->link->getConfig(&config);
  result = link->setConfig(config);
  if (result != aErrNone) return result;
  if (config.enabled) {
    // The other link is a client of its link sharing server: so becomes this one.
    spec.type = ORVANE;
    spec.ipAddress = config.networkInterface;
    spec.port = config.port;
  }
  result = link->setLinkSpecifier(spec);
  if (result == aErrNone) result = link->connectThroughLinkModule(*other->link);
  if (result == aErrNone) autoNetworking = false;
  return result;
}

aErr Module::disconnect() {
  if (!link) return aErrInitialization;
  return link->disconnect();
}

aErr Module::enablePacketLog(const char* path) { return link ? link->enablePacketLog(path) : aErrConfiguration; }

aErr Module::disablePacketLog() { return link ? link->disablePacketLog() : aErrConfiguration; }

bool Module::isConnected() const { return link && link->isConnected(); }

linkStatus Module::getStatus() const { return link ? link->getStatus() : UNKNOWN_ERROR; }

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  if (!link) return aErrNotReady;
  return link->getLinkSpecifier(spec);
}

aErr Module::getConfig(OrvaneConfig* config) const {
  if (!link) return aErrNotReady;
  return link->getConfig(config);
}

aErr Module::setConfig(OrvaneConfig config) {
  if (!link) return aErrNotReady;
  return link->setConfig(config);
}

aErr Module::_autoNetwork() {
  if (!autoNetworking || !link) return aErrNone;
  aErr result = aErrNotReady;
  uint8_t answered = 0;
  for (int tries = 0; tries < kAddressTries && result == aErrNotReady; ++tries) {
    result = link->getModuleAddress(&answered);
    if (result != aErrNone) aTime_MSSleep(kAddressRetryPauseMs);
  }
  if (result == aErrNone && answered != 0) address = answered;
  return result;
}

bool Module::_connectedLink() const { return link && link->isConnected(); }

// Sends the request (command byte first) and takes the first reply that begins with its first
// matchLength bytes.
aErr Module::_infoRequest(const uint8_t* request, uint8_t size, uint8_t matchLength, uint8_t* reply,
                          uint8_t* replySize) {
  const aErr sent = link->sendPacket(address, request[0], static_cast<uint8_t>(size - 1), request + 1);
  if (sent != aErrNone) return sent;
  *replySize = matchLength;
  return link->receivePacket(address, request, replySize, reply);
}

// A quantity request whose reply echoes the request and adds one byte: the answer.
aErr Module::_quantity(const uint8_t* request, uint8_t size, uint8_t* out) {
  if (!out) return aErrParam;
  *out = 0;
  if (!_connectedLink()) return aErrConnection;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr received = _infoRequest(request, size, 1, reply, &length);
  if (received != aErrNone) return received;
  if (length != size + 1 || std::memcmp(reply, request, size) != 0) return aErrUnknown;
  *out = reply[size];
  return aErrNone;
}

aErr Module::getBuild(uint32_t* build) {
  if (!build) return aErrParam;
  if (!link) return aErrInitialization;
  if (!link->isConnected()) return aErrConnection;
  const uint8_t request[] = {cmdINFO, kInfoBuild};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr received = _infoRequest(request, sizeof request, 2, reply, &length);
  if (received != aErrNone) return received;
  if (length != 6) return aErrSize;
  *build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if ((flags & UEI_OPTION_MASK) || (flags & UEI_ACK) == UEI_ACK) return aErrParam;
  if (!_connectedLink()) return aErrConnection;
  const uint8_t request[] = {cmdINFO, kInfoHasUEI, command, option, index, flags};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr received = _infoRequest(request, sizeof request, 1, reply, &length);
  if (received != aErrNone) return received;
  if (length != 6 || std::memcmp(reply, request, 5) != 0) return aErrUnknown;
  return reply[5];
}

aErr Module::classQuantity(uint8_t a, uint8_t* count) {
  const uint8_t request[] = {cmdINFO, kInfoClassQuantity, a};
  return _quantity(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t a, uint8_t b, uint8_t* count) {
  const uint8_t request[] = {cmdINFO, kInfoSubClassQuantity, a, b};
  return _quantity(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t a, uint8_t b, uint8_t* value) {
  const uint8_t request[] = {cmdINFO, kInfoEntityGroup, a, b};
  return _quantity(request, sizeof request, value);
}

aErr Module::debug(const uint8_t* bytes, uint8_t size) {
  if (!_connectedLink()) return aErrConnection;
  if (size > kMaxEchoBytes || (size && !bytes)) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {kCmdEcho};
  if (size) std::memcpy(request + 1, bytes, size);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr received = _infoRequest(request, static_cast<uint8_t>(size + 1), 1, reply, &length);
  if (received != aErrNone) return received;
  return length == size + 1 && std::memcmp(reply, request, length) == 0 ? aErrNone : aErrIO;
}

}  // namespace Tarnwick::Quillfern
