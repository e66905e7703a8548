#include "api/LinkNetworked.h"

#include "server/aServer_ZeroMQ.h"

namespace Tarnwick::Quillfern {

aErr LinkNetworked_ServeDeviceLink(aLinkID deviceLink, OrvaneConfig* config, aLinkID* client) {
  aServer_RegisterWithLinkCore();
  *client = aLink_CreateServer(deviceLink, &config->port, &config->networkInterface, config->localOnly);
  return aErrNone;
}

aErr LinkNetworked_ConnectToServer(uint32_t ipv4, uint16_t port, aLinkID reference, aLinkID* client) {
  aServer_RegisterWithLinkCore();
  *client = aLink_CreateClient(ipv4, port, reference);
  return aErrNone;
}

}  // namespace Tarnwick::Quillfern
