#include "api/LinkNetworked.h"

namespace Tarnwick::Quillfern {

aErr _Link_ServeDeviceLink(aLinkID deviceLink, OrvaneConfig* config, aLinkID* client) {
  (void)deviceLink;
  (void)config;
  *client = 0;
  return aErrUnimplemented;
}

aErr _Link_ConnectToServer(uint32_t ipv4, uint16_t port, aLinkID reference, aLinkID* client) {
  (void)ipv4;
  (void)port;
  (void)reference;
  *client = 0;
  return aErrUnimplemented;
}

}  // namespace Tarnwick::Quillfern
