// The networked road of a Link (internal to the object layer): device links served by a link
// sharing server, and client links to such a server. Both are made by the link core's served
// and client link creators; every call of the object layer into them passes through here.
// Called from a Link's connecting thread, under the process-wide link creation lock.
#pragma once

#include <cstdint>

#include "api/Link.h"
#include "common/aError.h"
#include "common/aLink.h"

namespace Tarnwick::Quillfern {

// Puts a link sharing server in front of the device link (bound to the settings' interface,
// loopback only when localOnly is set), writes the server's port and interface into the
// settings, and returns a client link to it, or 0 when none was made (the reason is not
// reported). The device link stays the caller's to destroy when no client link was made.
aLinkID LinkNetworked_ServeDeviceLink(aLinkID deviceLink, OrvaneConfig* config);

// A client link to the server at ipv4 (network byte order) and port, or, with a reference
// that names an existing client link, one more use of it: its id, or 0 when none was made.
aLinkID LinkNetworked_ConnectToServer(uint32_t ipv4, uint16_t port, aLinkID reference);

}  // namespace Tarnwick::Quillfern
