// Link: settings, specifier, device link creation by link type, connection by discovery, raw
// packets and the module address query.
#include "api/Link.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

#include "api/LinkNetworked.h"
#include "api/Link_impl.h"
#include "common/aDefs.h"
#include "common/aTime.h"

namespace Tarnwick::Quillfern {

namespace {

// Serialises every creation of a device link by any Link in the process.
std::mutex linkCreateHelperSerializer;

constexpr uint64_t kReplyTimeoutMs = 1000;
constexpr uint16_t kConnectPolls = 200;
constexpr uint32_t kPollIntervalMs = 10;
constexpr uint8_t kMaxPacketArguments = aPACKET_MAX_DATA - 1;  // the command byte comes first

bool _validModule(uint8_t module) { return module != 0 && (module & 1) == 0; }

// A discovery search for the first module of a model (0: any); the search record receives the
// find.
bool cbModelCallback(const linkSpec* found, bool* counted, void* ref) {
  auto* search = static_cast<linkSpec*>(ref);
  if (search->model != 0 && search->model != found->model) return true;
  std::memcpy(search, found, sizeof(linkSpec));
  *counted = true;
  return false;
}

// The module's answer to the address query: any packet without data bytes.
uint8_t MatchMagic(const aPacket* packet, const void*) { return packet->dataSize == 0; }

// The raw-packet predicate: the packet's first n data bytes equal the match bytes; bytes past
// a packet's data count as 0, and neither its address nor its length is looked at.
struct CommandMatch {
  uint8_t length;
  const uint8_t* bytes;
};

uint8_t sCommandFilter(const aPacket* packet, const void* ref) {
  const auto* match = static_cast<const CommandMatch*>(ref);
  for (uint8_t i = 0; i < match->length; ++i) {
    const uint8_t byte = i < packet->dataSize ? packet->data[i] : 0;
    if (byte != match->bytes[i]) return 0;
  }
  return 1;
}

// Whether a failed discovery is worth one more try with the other transport family.
bool _fallbackHelper(aErr result, linkType type, bool fallback) {
  const bool unreached = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
  return fallback && unreached && (type == USB || type == TCPIP || isORVANE(type));
}

}  // namespace

OrvaneConfig::OrvaneConfig()
    : enabled(1), fallback(1), localOnly(1), port(0), networkInterface(htonl(INADDR_LOOPBACK)) {}

bool isORVANE(linkType type) { return type >= ORVANE && type <= ORVANE_SERIAL; }

// ---- private part -----------------------------------------------------------------------------

Link::impl::impl(Link* owner_, const char* name_) : owner(owner_) {
  if (!name_) return;
  hasName = true;
  name.assign(name_, strnlen(name_, kMaxNameLength));
}

Link::impl::~impl() {
  dropStreams();
  // Only a Link destroyed from its own callback still has its thread here, and a thread cannot
  // wait for itself: it is let go. It owns what it still uses (the ring and its control, both
  // shared); once the callback returns it finds its stop flag set and ends.
  if (streamThread.joinable()) {
    callbackControl->stop = true;
    streamThread.detach();
  }
  for (asyncPacket run; streamQueue->pop(&run);) aPacket_Destroy(&run.packet);
  // What the packet log recorded goes to the file before the device link (and its log) goes.
  finishPacketLog();
  if (linkId) aLink_Destroy(&linkId);
  // The specifier and then the logger go with the members.
}

bool Link::impl::connected() const { return linkId != 0 && aLink_GetStatus(linkId) == RUNNING; }

aErr Link::impl::setSpecifier(const linkSpec& spec) {
  if (connected()) return aErrBusy;
  LinkSpecPtr copy(aLinkSpec_Copy(&spec));
  if (!copy) return aErrMemory;
  specifier = std::move(copy);
  return aErrNone;
}

aErr Link::impl::linkCreateHelper(const linkSpec& spec) {
  std::lock_guard<std::mutex> creating(linkCreateHelperSerializer);
  const aLinkID reference = linkId;
  linkId = 0;
  // A direct device link, served when networking is on. A creator's 0 leaves linkId 0.
  auto direct = [this](aLinkID device) -> aErr {
    if (!config.enabled || !device) {
      linkId = device;
      return aErrNone;
    }
    linkId = LinkNetworked_ServeDeviceLink(device, &config);
    if (!linkId) aLink_Destroy(&device);
    return aErrNone;
  };
  switch (spec.type) {
    case USB:
      return direct(aLink_CreateUSB(spec.serialNumber));
    case TCPIP:
      // A port beyond 16 bits names no reachable module: no link rather than a wrong one.
      return direct(spec.port <= 0xFFFF
                        ? aLink_CreateTCPIP(spec.serialNumber, spec.ipAddress, static_cast<uint16_t>(spec.port))
                        : 0);
    case SERIAL: {
      char path[aLINKSPEC_SERIAL_PORT_SIZE + 1] = {};
      std::memcpy(path, spec.serialPort, aLINKSPEC_SERIAL_PORT_SIZE);
      return direct(aLink_CreateSerial(spec.serialNumber, path, spec.baudRate));
    }
    case ORVANE:
    case ORVANE_USB:
    case ORVANE_TCPIP:
    case ORVANE_SERIAL:
      if (!config.enabled) return aErrConfiguration;
      if (spec.port > 0xFFFF) return aErrNone;
      linkId = LinkNetworked_ConnectToServer(spec.ipAddress, static_cast<uint16_t>(spec.port), reference);
      return aErrNone;
    default:
      return aErrMode;
  }
}

aErr Link::impl::waitForLink(uint16_t count) {
  switch (aLink_GetStatus(linkId)) {
    case RUNNING:
      return aErrNone;
    case STOPPING:
      return aErrBusy;
    case STOPPED:
    case INITIALIZING:
    case SYNCING:
      for (uint16_t polls = 0; aLink_GetStatus(linkId) != RUNNING && polls < count; ++polls)
        aTime_MSSleep(kPollIntervalMs);
      return aLink_GetStatus(linkId) == RUNNING ? aErrNone : aErrConnection;
    case INVALID_LINK_STREAM:
    case IO_ERROR:
    case UNKNOWN_ERROR:
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

aErr Link::impl::connectHelper() {
  if (!specifier) return aErrConfiguration;
  const linkSpec spec = *specifier;
  const aErr created = linkCreateHelper(spec);
  if (created != aErrNone) return created;
  if (!linkId) return aErrConnection;
  return waitForLink(kConnectPolls);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link* link) {
  linkSpec* found = nullptr;
  if (serialNumber != 0) {
    found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
  } else {
    linkSpec* search = aLinkSpec_Create(type);
    if (!search) return aErrMemory;
    search->model = model;
    if (aDiscovery_EnumerateModules(type, cbModelCallback, search, config.networkInterface) > 0) found = search;
    else aLinkSpec_Destroy(&search);
  }
  if (!found) return aErrNotFound;
  setSpecifier(*found);  // refused while connected: connect then reports the link held
  aLinkSpec_Destroy(&found);
  return link->connect();
}

// ---- Link -------------------------------------------------------------------------------------

Link::Link(const char* name) : _impl(std::make_unique<impl>(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name) { _impl->setSpecifier(spec); }

Link::~Link() = default;

aErr Link::getConfig(OrvaneConfig* config) const {
  if (!config) return aErrParam;
  *config = _impl->config;
  return aErrNone;
}

aErr Link::setConfig(OrvaneConfig config) {
  if (isConnected()) return aErrMode;
  _impl->config = config;
  return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  aErr result = _impl->discoveryAndConnectHelper(type, serialNumber, model, this);
  if (_fallbackHelper(result, type, _impl->config.fallback != 0)) {
    const linkType other = (type == USB || type == TCPIP) ? ORVANE : USB;
    result = _impl->discoveryAndConnectHelper(other, serialNumber, model, this);
  }
  return result;
}

aErr Link::connect() {
  if (_impl->linkId) return aErrConnection;
  return _impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
  if (!other._impl || !other._impl->linkId) return aErrInitialization;
  // A link of our own would lose its use when replaced by the other's.
  if (_impl->linkId) return aErrConnection;
  // The other's id is held only until the creation has taken a use of it (or failed).
  if (!_impl->specifier) return aErrConfiguration;
  _impl->linkId = other._impl->linkId;
  return _impl->connectHelper();
}

bool Link::isConnected() const { return _impl && _impl->connected(); }

linkStatus Link::getStatus() const {
  if (!_impl->linkId) return UNKNOWN_ERROR;
  return static_cast<linkStatus>(aLink_GetStatus(_impl->linkId));
}

aErr Link::disconnect() {
  // Subscriptions and cached values belong to the device link given up: a later connection
  // starts without them rather than with values of another.
  _impl->dropStreams();
  _impl->finishPacketLog();
  if (_impl->linkId) aLink_Destroy(&_impl->linkId);
  return aErrNone;
}

aErr Link::reset() {
  if (!_impl->linkId) return aErrNone;
  const aErr result = aLink_Reset(_impl->linkId);
  _impl->forgetCachedValues();  // the module may have started afresh
  return result;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (!address) return aErrParam;
  *address = 0;
  if (!isConnected()) return aErrNotReady;
  static const uint8_t kNoData = 0;
  aPacket* query = aPacket_CreateWithData(cmdMAGIC, 0, &kNoData);
  if (!query) return aErrResource;
  const aErr queued = aLink_PutPacket(_impl->linkId, query);
  aPacket_Destroy(&query);
  if (queued != aErrNone) return queued;
  aPacket* answer = aLink_AwaitFirst(_impl->linkId, MatchMagic, nullptr, kReplyTimeoutMs);
  if (!answer) return aErrNotReady;
  *address = answer->address;
  aPacket_Destroy(&answer);
  return aErrNone;
}

const char* Link::getName() const { return _impl->getName(); }

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (!spec) return aErrParam;
  if (!_impl->specifier) return aErrNotFound;
  *spec = *_impl->specifier;
  return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) { return _impl->setSpecifier(spec); }

aErr Link::enablePooledPackets(bool on) { return aLink_EnablePooledPackets(_impl->linkId, on); }

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > kMaxPacketArguments || (length && !data)) return aErrParam;
  if (!_validModule(module)) return aErrPacket;
  uint8_t bytes[aPACKET_MAX_DATA] = {command};
  if (length) std::memcpy(bytes + 1, data, length);
  aPacket packet;  // the link queues a copy of its own
  if (aPacket_Fill(&packet, module, static_cast<uint8_t>(length + 1), bytes) != aErrNone) return aErrResource;
  return aLink_PutPacket(_impl->linkId, &packet);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
  if (!isConnected()) return aErrConnection;
  if (!_validModule(module)) return aErrPacket;
  if (!length || !buffer || *length > aPACKET_MAX_DATA || (*length && !match)) return aErrParam;
  const CommandMatch wanted{*length, match};
  aPacket* packet = aLink_AwaitFirst(_impl->linkId, sCommandFilter, &wanted, kReplyTimeoutMs);
  if (!packet) return aErrTimeout;
  *length = packet->dataSize;
  std::memcpy(buffer, packet->data, packet->dataSize);
  aPacket_Destroy(&packet);
  return aErrNone;
}

}  // namespace Tarnwick::Quillfern
