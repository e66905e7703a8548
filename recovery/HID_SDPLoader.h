// The serial download protocol over the ROM's USB HID device (through hidapi). Reports go out
// as HID output reports with their report id; a reply is the ROM's input reports as read:
// report 3 (id + 4-byte security word) and report 4 (id + 64 bytes, the value first).
//
// init() initialises hidapi and the destructor releases it for the whole process: one HID
// transport at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recovery/SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // Opens the first device with the ids (a device already open is closed first).
  bool init() override;
  // hidapi's result: the bytes written (report id included) or -1; -1 as well when not open.
  int64_t writeData(const std::vector<uint8_t>& report) override;
  // Reads reports until none comes within timeoutMs, at most MAX_REPLY_REPORTS of them.
  int64_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) override;
  // A reply of exactly report 3 followed by report 4 (70 bytes): the word at offset + 6.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) override;

  // Reports taken by one readData at most; a reply has two.
  static constexpr unsigned MAX_REPLY_REPORTS = 16;
  // Appends one input report as readData takes it from a read of `got` bytes into the zeroed
  // buffer: the security report's five bytes, any other report as read. The bytes appended.
  static size_t takeReport(std::vector<uint8_t>& out, const unsigned char (&report)[MAX_READ_BYTES], size_t got);

 private:
  hid_device_* handle = nullptr;
  uint16_t vendorId;
  uint16_t productId;
};
