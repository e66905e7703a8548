// Feeds any bytes to both serial-download transports as a ROM's reply: the first byte picks the
// word offset asked for, the rest is the reply. A value may only come from inside the reply.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned offset = data[0] % 32;  // both sides of the largest offset taken (15)
  const std::vector<uint8_t> reply(data + 1, data + size);  // exact size: a read past it is caught
  HID_SDPLoader hid(0, 0);
  Serial_SDPLoader serial("");
  uint32_t value = 0;
  if (hid.getDataFromBuffer(reply, offset, value) && reply.size() < offset + 10) std::abort();
  value = 0;
  if (serial.getDataFromBuffer(reply, offset, value) && reply.size() < offset + 8) std::abort();
  return 0;
}
