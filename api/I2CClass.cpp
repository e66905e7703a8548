#include "api/I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Tarnwick::Quillfern {

namespace {

constexpr uint8_t kI2CEntityClass = 8;
constexpr uint8_t kMaxTransfer = 23;  // the request then fills a packet: 5 + 23 data bytes
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusFailed = 0x80;
constexpr uint8_t kPullupTarget = 1;
constexpr uint8_t kReplyHeader = 5;  // class, bus, address, count, status

}  // namespace

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, kI2CEntityClass, index); }

aErr I2CClass::_transfer(const uint8_t* request, uint8_t size, const uint8_t* match, uint8_t matchLength,
                         uint8_t* reply, uint8_t* length) {
  const aErr sent = sendPacket(request[0], static_cast<uint8_t>(size - 1), request + 1);
  if (sent != aErrNone) return sent;
  *length = matchLength;
  const aErr received = receivePacket(match, length, reply);
  if (received != aErrNone) return received;
  if (*length < kReplyHeader) return aErrPacket;
  const uint8_t status = reply[4];
  if (status & kStatusFailed) return ueiModuleError(status & static_cast<uint8_t>(~kStatusFailed));
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t count, uint8_t* buffer) {
  if (count > kMaxTransfer) return aErrSize;
  if (count && !buffer) return aErrParam;
  const uint8_t request[] = {kI2CEntityClass, getIndex(), static_cast<uint8_t>(address | 1), count, speed};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const aErr result = _transfer(request, sizeof request, request, 3, reply, &length);
  if (result != aErrNone) return result;
  const size_t copied = std::min<size_t>({reply[3], static_cast<size_t>(length - kReplyHeader), count});
  if (copied) std::memcpy(buffer, reply + kReplyHeader, copied);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t count, const uint8_t* bytes) {
  if (count > kMaxTransfer) return aErrSize;
  if (count && !bytes) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {kI2CEntityClass, getIndex(), address, count, speed};
  if (count) std::memcpy(request + kReplyHeader, bytes, count);
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  const uint8_t match[] = {kI2CEntityClass, getIndex(), address, 0};
  return _transfer(request, static_cast<uint8_t>(kReplyHeader + count), match, sizeof match, reply, &length);
}

aErr I2CClass::setPullup(uint8_t on) {
  const uint8_t request[] = {kI2CEntityClass, getIndex(), kPullupTarget, static_cast<uint8_t>(on ? 1 : 0)};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t length = 0;
  return _transfer(request, sizeof request, request, 3, reply, &length);
}

aErr I2CClass::setSpeed(uint8_t newSpeed) {
  if (newSpeed > kMaxSpeed) return aErrParam;
  speed = newSpeed;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* current) const {
  if (!current) return aErrParam;
  *current = speed;
  return aErrNone;
}

}  // namespace Tarnwick::Quillfern
