// One physical module: its address, the model code discovery may pick it by, and the Link it is
// reached through (owned). It connects by link type and serial number through discovery, from a
// full linkSpec, or through another module's link (a module behind a router), learns its own
// address after connecting, and answers the module information requests.
//
// Module information requests (command cmdINFO) and the echo request (0x17) are raw packets to
// the module's address; each reply is the first inbound packet beginning with the bytes shown,
// within 1000 ms:
//   getBuild          [49 FF]                     -> 49 FF: [49 FF b3 b2 b1 b0]
//   hasUEI            [49 01 class option index flags] -> 49: [49 01 class option index answer]
//   classQuantity     [49 04 a]                   -> 49: [49 04 a n]
//   subClassQuantity  [49 05 a b]                 -> 49: [49 05 a b n]
//   entityGroup       [49 06 a b]                 -> 49: [49 06 a b n]
//   debug             [17 bytes...]               -> 17: [17 the same bytes]
// Two requests in flight on one link may take each other's replies; the one with a foreign
// reply reports aErrUnknown.
//
// Everything runs on the caller's thread; one thread at a time per Module.
#pragma once

#include <cstdint>
#include <memory>

#include "api/Link.h"

namespace Tarnwick::Quillfern {

class Module {
 public:
  // autoNetworking on: every successful connect asks the module for its address.
  Module(uint8_t address, uint8_t model = 0);
  Module(uint8_t address, bool autoNetworking, uint8_t model);
  virtual ~Module();  // destroys the link, which gives up its device link
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // discoverAndConnect; serial number 0 is refused.
  aErr connect(linkType type, uint32_t serialNumber);
  // Link::discoverAndConnect with this module's model, then the address query. A module that
  // never answers the address query gives aErrNotReady after about 4 s, connected all the same.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  // Connects to exactly this specifier (the model is not looked at); refused while connected.
  aErr connectFromSpec(linkSpec spec);
  // Connects again from the specifier the link still holds (after a disconnect).
  aErr reconnect();
  // Reaches this module through the other module's link: the same device link, or, with the
  // other's networking on, its link sharing server. autoNetworking is off afterwards and the
  // address stays as set. Succeeds at once when already connected; fails when the other module
  // holds no device link or its link has no specifier.
  aErr connectThroughLinkModule(Module* other);
  aErr disconnect();
  bool isConnected() const;
  linkStatus getStatus() const;

  uint8_t getModuleAddress() const { return address; }
  void setModuleAddress(uint8_t moduleAddress) { address = moduleAddress; }
  Link* getLink() const { return link.get(); }
  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr getConfig(OrvaneConfig* config) const;
  aErr setConfig(OrvaneConfig config);
  void setNetworkingMode(bool on) { autoNetworking = on; }
  // The link's packet log and its file (Link::enablePacketLog).
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // The firmware build; a reply that is not 6 bytes is refused.
  aErr getBuild(uint32_t* build);
  // Whether the module offers the option; flags 0 (at all), UEI_GET or UEI_SET. The module's
  // answer as a result code (aErrNone: offered).
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  // Entities of class a; options of (a, b); the group of entity (a, b). The count is 0 unless
  // the module answered.
  aErr classQuantity(uint8_t a, uint8_t* count);
  aErr subClassQuantity(uint8_t a, uint8_t b, uint8_t* count);
  aErr entityGroup(uint8_t a, uint8_t b, uint8_t* value);
  // Echo of up to 27 bytes: aErrNone when the same bytes came back, aErrIO otherwise.
  aErr debug(const uint8_t* bytes, uint8_t size);

 protected:
  // Learns the module address from the module (up to 4 tries while it does not answer).
  aErr _autoNetwork();

 private:
  aErr _infoRequest(const uint8_t* request, uint8_t size, uint8_t matchLength, uint8_t* reply, uint8_t* replySize);
  aErr _quantity(const uint8_t* request, uint8_t size, uint8_t* out);
  bool _connectedLink() const;

  std::unique_ptr<Link> link;
  uint8_t address;
  bool autoNetworking;
  uint8_t model;
};

}  // namespace Tarnwick::Quillfern
