// Packet frames between clients, broker and device link reader, and which packets get an answer.
#include <cerrno>
#include <cstring>

#include "common/aDefs.h"
#include "common/aUEI.h"
#include "server/aServer_internal.h"

namespace aServerInternal {

namespace {

bool _isFullContinuedUEI(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

}  // namespace

bool _framePacket(const uint8_t* bytes, size_t size, aPacket* packet) {
  if (!bytes || !packet || size < 2 || size > aPACKET_MAX_FRAME) return false;
  const uint8_t length = bytes[1];
  // Address 0 is line noise on every transport: forwarded, it would break the module's framing.
  if (bytes[0] == 0 || length > aPACKET_MAX_DATA || length > size - 2) return false;
  *packet = aPacket{};
  packet->check = aPACKET_CHECK;
  packet->address = bytes[0];
  packet->dataSize = length;
  packet->fillCount = static_cast<uint8_t>(length + 2);
  std::memcpy(packet->data, bytes + 2, length);
  return true;
}

bool _zFrame_To_aPacket(zframe_t* frame, aPacket* packet) {
  return frame && _framePacket(zframe_data(frame), zframe_size(frame), packet);
}

zframe_t* _aPacket_To_zFrame(const aPacket* packet) {
  uint8_t bytes[aPACKET_MAX_FRAME];
  size_t length = 0;
  if (aPacket_GetBytes(packet, bytes, sizeof bytes, &length) != aErrNone) return nullptr;
  return zframe_new(bytes, length);
}

bool _isResponseRequired(const aPacket* packet) {
  return packet->address != cmdFORCEROUTE && !_isFullContinuedUEI(packet);
}

bool _doesPacketContinue(const aPacket* packet) { return _isFullContinuedUEI(packet); }

bool _isReplyTo(const aPacket* request, const aPacket* reply) {
  if (request->dataSize == 0) return reply->dataSize == 0;
  if (reply->dataSize == 0 || reply->data[0] != request->data[0]) return false;
  if (aUEI_isNotUEIPayload(request) || request->dataSize < 2) return true;
  return reply->dataSize >= 2 && (reply->data[1] & UEI_OPTION_MASK) == (request->data[1] & UEI_OPTION_MASK);
}

bool _isBlacklistedPacket(const aPacket* packet) { return packet->address == cmdFORCEROUTE && packet->dataSize == 1; }

bool _mayBeModuleAddress(const aPacket* packet) {
  const uint8_t address = packet->address;
  if (address == cmdFORCEROUTE) return true;
  if (address == cmdMAGIC) return packet->dataSize == 0;
  return address != 0 && (address & 1) == 0;
}

aPacket _refusalOf(const aPacket* packet) {
  aPacket refusal = *packet;
  refusal.dataSize = 0;
  if (packet->dataSize > 0) refusal.data[refusal.dataSize++] = packet->data[0];
  refusal.data[refusal.dataSize++] = static_cast<uint8_t>(aErrPacket);
  refusal.fillCount = static_cast<uint8_t>(refusal.dataSize + 2);
  return refusal;
}

ClientSend _sendToClient(zsock_t* frontend, const std::string& identity, zframe_t* frame) {
  // The ROUTER never waits. It refuses the identity of a client that has gone (it is set to
  // report that), and a message for a full client is discarded.
  if (zmq_send(zsock_resolve(frontend), identity.data(), identity.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
    return errno == EHOSTUNREACH ? ClientSend::gone : ClientSend::refused;
  // Once the identity is taken, the rest of the message is taken too.
  return zframe_send(&frame, frontend, ZFRAME_REUSE | ZFRAME_DONTWAIT) == 0 ? ClientSend::sent : ClientSend::refused;
}

std::string _identityOf(zframe_t* frame) {
  return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

}  // namespace aServerInternal
