// The serial download protocol over a UART, on the project's serial stream: 115200 baud, 8N1,
// raw. Reports go out without their report id; a reply is the ROM's two words (security word,
// then status or value) as they arrive.
//
// Association: init() sends the key 23 45 45 23 once the port has settled. A ROM that answers
// it with the same four bytes is associated; one that does not echo it is still spoken to: the
// commands then go out plainly, and the connection check finds out whether anything listens.
// The key is never sent again before a command.
//
// Bytes that others put on the line before (the stray bytes the caller names: what a probe for
// another bootloader sent) may have begun a command in a ROM that counts its 16-byte commands
// from the first byte it received. Before the key, init completes that command with zero bytes
// (its answer is dropped), so that the key and every command after it stand in frame. A ROM that
// drops everything before the key drops these bytes too.
//
// Time on the line counts: the port may take bytes faster than the line carries them, and the ROM
// may read more slowly than the line, so a read waits for the first byte of a reply until the
// bytes written have crossed the line, plus its time-out, plus four times the line time of every
// byte written since the ROM last answered (bounded by MAX_LINE_WAIT_MS), and returns as soon as
// the reply has arrived.
//
// One thread at a time; the loader that takes the transport owns it and closes the port.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // The path is copied. strayBytes: the bytes sent on the line before, since the ROM was reset.
  explicit Serial_SDPLoader(const char* path, uint64_t strayBytes = 0);
  ~Serial_SDPLoader() override;  // closes the port
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens and sets up the port, lets it settle for 1 s, drops what it received meanwhile and
  // sends the association key; false when the path cannot be opened or set up as a serial port.
  // An unanswered key is not a failure here. A port already open is closed first.
  bool init() override;
  // Writes the report without its first byte: the bytes written, -1 when none could be.
  int64_t writeData(const std::vector<uint8_t>& report) override;
  // 0: takes what is waiting. Otherwise waits for the first byte (see above), then takes bytes
  // until the line has been quiet for QUIET_MS, at most MAX_REPLY_BYTES.
  int64_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) override;
  // A reply of at least 4 × (offset + 2) bytes: the word at offset + 4.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) override;

  // Whether the ROM echoed the association key at the last init.
  bool associated() const;

  static constexpr unsigned MAX_REPLY_BYTES = 1024;
  static constexpr unsigned BAUD_RATE = 115200;
  static constexpr unsigned QUIET_MS = 5;
  // What a read waits at most for the line, however much was written: a bound on any read.
  static constexpr unsigned MAX_LINE_WAIT_MS = 30000;

 private:
  bool _associate();
  void _close();

  std::unique_ptr<PrivateSerial_SDPLoader> privateState;
};
