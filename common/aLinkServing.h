// What the link core offers the link sharing server about a device link, by its id only: the
// server never sees the registry's entries or the engine's record. Each call holds the link for
// its own length, so a link destroyed meanwhile makes it fail instead of touching freed memory.
#pragma once

#include <cstdint>

#include "common/aLink.h"
#include "common/aPacket.h"

// The device link's type and serial number, when the id names a link whose engine record is
// valid and to which no server is attached yet; false otherwise (nothing is stored then).
bool aLink_DescribeUnserved(aLinkID id, uint32_t* type, uint32_t* serialNumber);

// Queues a copy of the packet for the module without waiting for room: aErrNone once queued,
// otherwise the FIFO's refusal (the packet is then dropped), aErrParam for an unknown id.
aErr aLink_OfferPacket(aLinkID id, const aPacket* packet);
