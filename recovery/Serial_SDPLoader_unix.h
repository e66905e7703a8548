// The serial download protocol over a UART (a terminal device): 115200 baud, 8N1, raw. Reports
// go out without their report id; a reply is the ROM's two words (security word, then status or
// value) as they arrive.
//
// The ROM listens on a UART only after the association key 23 45 45 23, which it answers with
// the same four bytes: init() sends it once the port has settled, and a transport whose key went
// unanswered sends it again before each report until the ROM answers.
//
// Time on the line counts: the port takes bytes faster than they leave, so a read first waits
// until what was written has gone out at 115200 baud, then its time-out, so that the ROM's answer
// to the last byte can be there.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // The path is copied.
  explicit Serial_SDPLoader(const char* path);
  ~Serial_SDPLoader() override;  // flushes and closes the port
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens and sets up the port, lets it settle for 1 s and associates; false when the path
  // cannot be opened, is not a terminal or cannot be set up (an unanswered association is not
  // a failure here: the connection check finds the silent ROM). A port already open is closed
  // first.
  bool init() override;
  // Writes the report without its first byte: the bytes written (fewer when the port stops
  // taking bytes for WRITE_STALL_LIMIT_MS or fails), -1 when none could be written or the ROM
  // does not answer the association.
  int64_t writeData(const std::vector<uint8_t>& report) override;
  // Waits for the line and timeoutMs, then takes what is waiting, at most MAX_REPLY_BYTES.
  int64_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) override;
  // A reply of at least 4 × (offset + 2) bytes: the word at offset + 4.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) override;

  static constexpr unsigned MAX_REPLY_BYTES = 1024;
  static constexpr unsigned WRITE_STALL_LIMIT_MS = 1000;
  static constexpr unsigned BAUD_RATE = 115200;

 private:
  bool _associate();
  int64_t _writeAll(const uint8_t* bytes, size_t length);
  void _close();

  std::unique_ptr<PrivateSerial_SDPLoader> privateState;
};
