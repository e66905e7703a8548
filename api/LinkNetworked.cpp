#include "api/LinkNetworked.h"

#include "server/aServer_ZeroMQ.h"

namespace Tarnwick::Quillfern {

aLinkID LinkNetworked_ServeDeviceLink(aLinkID deviceLink, OrvaneConfig* config) {
  aServer_RegisterWithLinkCore();
  return aLink_CreateServer(deviceLink, &config->port, &config->networkInterface, config->localOnly);
}

aLinkID LinkNetworked_ConnectToServer(uint32_t ipv4, uint16_t port, aLinkID reference) {
  aServer_RegisterWithLinkCore();
  return aLink_CreateClient(ipv4, port, reference);
}

}  // namespace Tarnwick::Quillfern
