// What the link core offers the link sharing server about a device link, by its id only: the
// server never sees the registry's entries or the engine's record. Each call holds the link for
// its own length, so a link destroyed meanwhile makes it fail instead of touching freed memory.
#pragma once

#include <cstdint>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aStream.h"

struct aServer;

// What the link sharing side lends to the link core, which names no server code of its own:
// the server installs its procedures once (aServer_RegisterWithLinkCore), tests install
// stand-ins. Each member has the signature of the server call it stands for. Until they are
// installed the core has no link sharing side: aLink_CreateServer fails, a client link cannot
// be made or reset, and the last destroy of a device link leaves an attached server alone; an
// installed null member means the same for its own part.
struct aLinkServedProcs {
  aErr (*destroyServer)(aServer** server);
  aErr (*createClientStream)(uint32_t ipv4, uint16_t port, aStream** stream);
  aServer* (*createServer)(aLinkID deviceLink, uint32_t networkInterface, uint8_t localOnly);
  aErr (*startServer)(aServer* server);
  aErr (*getPort)(aServer* server, uint16_t* port);
  aErr (*getInterface)(aServer* server, uint32_t* networkInterface);
  aErr (*setModuleAddress)(aServer* server, uint8_t address);
  aErr (*setModel)(aServer* server, uint8_t model);
  aErr (*flushFIFO)(aServer* server);
};

// Installs a copy of the procedures (null: none). Safe from any thread; a call already under
// way finishes with the procedures it started with.
void aLink_SetServedProcs(const aLinkServedProcs* procs);

// The device link's type and serial number, when the id names a link whose engine record is
// valid and to which no server is attached yet; false otherwise (nothing is stored then).
bool aLink_DescribeUnserved(aLinkID id, uint32_t* type, uint32_t* serialNumber);

// Sends the packet to the module without waiting for room: written at once on the caller's
// thread when the link is idle, else a copy is queued; a packet the FIFO refuses is dropped and
// the refusal returned.
aErr aLink_OfferPacket(aLinkID id, const aPacket* packet);

// Reads the link's stream on the caller's thread while nobody else holds it, delivering every
// packet as the link's reader thread does (the user filter runs on the caller's thread, so the
// caller must hold none of the filter's locks): what the stream has now and, while that holds no
// packet, what comes within waitMs; it stops after the first packet delivered. It does not wait
// when the reader thread delivered a packet since the last call ended (one deliverer per link:
// what it waits for may be among those). aErrNone when it read; aErrBusy when the stream was not
// free (the reader thread delivers meanwhile); aErrNotReady when the link is not running in
// step; aErrParam for an id naming no link; a read failure's code (the link reports IO_ERROR).
aErr aLink_ReadDelivering(aLinkID id, uint32_t waitMs);

// True on a thread while aLink_Reset replaces a link's transport: a client stream deleted then
// and the one made next on that thread carry the same link's traffic (the streams it holds).
bool aLink_ReplacingTransportOnThisThread();
