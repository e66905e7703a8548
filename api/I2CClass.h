// An I2C bus of a module (entity class 8), reached through raw packets:
//   read      [8][bus][address | 1][count][speed]          -> [8][bus][address | 1][count][status][bytes]
//   write     [8][bus][address][count][speed][count bytes] -> [8][bus][address][0][status]
//   setPullup [8][bus][1][on]                              -> [8][bus][1][on][status]
// address is the device address in 8-bit form (bit 0 the read flag). A status with bit 7 set
// is a failure whose low 7 bits are the module's result code. Each reply is the first inbound
// packet beginning with the bytes shown before the status, within 1000 ms.
// Every call blocks the caller's thread; one thread at a time per bus, like its module.
#pragma once

#include <cstdint>

#include "api/Entity.h"

namespace Tarnwick::Quillfern {

class I2CClass : public EntityClass {
 public:
  I2CClass() = default;
  ~I2CClass() override = default;

  // Binds the bus with this index of the module.
  void init(Module* module, uint8_t index);

  // Reads up to count (at most 23) bytes into buffer; a larger count fails without sending
  // anything, and a failed transfer gives the module's code.
  aErr read(uint8_t address, uint8_t count, uint8_t* buffer);
  // Writes count (at most 23) bytes; results as read.
  aErr write(uint8_t address, uint8_t count, const uint8_t* bytes);
  aErr setPullup(uint8_t on);
  // The bus speed code (0 to 3) sent with every read and write; nothing is sent here, and a
  // code above 3 changes nothing.
  aErr setSpeed(uint8_t speed);
  aErr getSpeed(uint8_t* speed) const;

 private:
  // Sends the request, takes the first reply that begins with the match bytes (data[0..length)
  // into reply) and turns its status into the result.
  aErr _transfer(const uint8_t* request, uint8_t size, const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                 uint8_t* length);

  uint8_t speed = 0;
};

}  // namespace Tarnwick::Quillfern
