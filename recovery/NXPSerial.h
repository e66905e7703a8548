// Host side of the LPC microcontrollers' in-system-programming protocol over a UART: autobaud
// synchronisation with the ROM bootloader, one-letter text commands answered by a decimal return
// code line, UU-encoded RAM transfers with a checksum every 20 lines, and copies from RAM to
// flash sector by sector.
//
// Contracts:
// - Every operation blocks the calling thread and every wait is bounded and ends as soon as input
//   arrives. The synchronisation's replies and echoes are polled within a budget of empty reads
//   of at most 1 ms each (100; the first wait of a Response: the reply's transfer time plus
//   20 ms); a command's answer is awaited for a time fit for what it asks the chip to do:
//   REPLY_MS for most, plus ERASE_MS_PER_SECTOR for every sector an erase names and
//   COPY_MS_PER_256_BYTES for every 256 bytes a copy burns; a transfer's checksum answer within
//   2000 empty reads. A read that has dropped 4096 stray bytes (a line held in break, a device
//   talking at another rate) ends with aErrIO.
// - A command succeeds only when the chip answered a return-code line of decimal digits whose
//   number is 0 (CMD_SUCCESS); bare line ends before it (an echo that came doubled) are
//   skipped. The code of the last answer stays in lastReturnCode, for messages. A query ("K",
//   "J", "N") succeeds only when its value lines are decimal numbers; a port that fails ends
//   any operation at once.
// - Echo and expected-text mismatches are only logged (package DEBUG_NXPSerial_E).
// - One thread at a time; an object lives for one recovery step. The port closes with
//   Disconnect, a second Connect, or destruction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// One row of a flash sector table.
struct NXPFlashSector {
  uint32_t start;
  uint32_t size;
  int number;
};

// The LPC17xx flash: sectors 0-15 of 4 KB from 0, sectors 16-29 of 32 KB from 0x10000, then an
// end row {0xFFFFFFFF, 0, 30}.
extern const NXPFlashSector NXP_LPC17XX_sectors[31];

class NXPSerialClass {
 public:
  static const uint8_t MAX_ERROR;           // 20: highest index of ERROR_TEXT
  static const float CRYSTAL_DEFAULT;       // 14.7456 MHz, announced as 14746 kHz
  static const char* const CRYSTAL_KEY;     // "Crystal"
  static const int MAX_BYTES_PER_LINE;      // 45 data bytes per UU-encoded line
  static const int LINES_PER_CHECKSUM;      // 20
  static const int MAX_READ_RETRY;          // 3: RESEND budget of one Write or Read
  static const uint32_t WRITE_ADDRESS;      // 0x10001000: RAM staging area for flash copies
  static const char* const ERROR_TEXT[21];  // return-code names, "Unknown error" at 20
  // Waits for a command's answer (see the contracts above). A sector erase takes about 100 ms
  // on these parts, burning 256 bytes about 1 ms; the waits allow for slower ones.
  static constexpr uint32_t REPLY_MS = 1000;
  static constexpr uint32_t ERASE_MS_PER_SECTOR = 250;
  static constexpr uint32_t COPY_MS_PER_256_BYTES = 10;

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens port raw, 8N1, at the first rate of {2400 ... 230400} at or above baud (9600 for a
  // rate above 230400). Any open stream is closed first. On failure the serial layer's code and
  // no stream.
  aErr Connect(const char* port, uint32_t baud);
  // Closes the port if open; always aErrNone.
  aErr Disconnect();

  // Writes text; with expectEcho, consumes the chip's echo of all but its last character.
  // The write's result.
  aErr Send(const char* text, bool expectEcho);
  // Reads up to expectedLength bytes (with an expected text) or length - 1 bytes, or to CR LF,
  // waiting up to the transfer time of expectedLength bytes plus 20 ms for the reply to begin
  // (a wait that ends as soon as a byte arrives); leading CR, LF and zero bytes are dropped.
  // The bytes are zero-terminated in buffer and counted in *count. Succeeds only when the reply
  // reached its limit or CR LF. length is at least 2.
  aErr Response(char* buffer, size_t length, size_t* count, const char* expected, size_t expectedLength);
  // Reads one line up to CR LF (kept), at most length - 1 bytes, within retries empty reads; a
  // leading LF is dropped. Zero-terminated; a line that did not end in time fails.
  aErr GetLine(char* buffer, size_t length, size_t* count, uint32_t retries);
  // As GetLine, within timeoutMs however the input comes (aErrNotReady when the line did not end
  // in time).
  aErr GetLineWithin(char* buffer, size_t length, size_t* count, uint32_t timeoutMs);
  // Consumes the echo of the first n characters of text, dropping stray bytes; *count tells how
  // many matched. The last read's code.
  aErr GetEcho(const char* text, size_t n, size_t* count);
  // Position of a return-code character in a reply line of the given length: length - 3 with
  // echo on and a length above 2, else 0.
  uint8_t GetErrorIndex(size_t lineLength);
  // Writes command, sleeps waitMs when above 0, consumes the echo when echo is on (the final LF
  // stays for the next read to drop). The write's result.
  aErr SendCommand(const char* command, int waitMs);

  // The synchronisation handshake: "?", "Synchronized", the crystal frequency. aErrNotReady when
  // nothing answers; aErrIO when the chip did not confirm the crystal frequency with "OK". A chip
  // synchronised by an earlier session is still in command mode: with echo on it only echoes
  // the "?", with echo off it says nothing until the line ends and then answers the "?" as an
  // unknown command. Either way its line is cleared, echo is switched on, and Sync succeeds
  // without a handshake.
  aErr Sync();

  // The commands. Outputs and deviceId change only when every line of the answer came.
  aErr GetBootLoaderVersion(uint8_t* first, uint8_t* second);
  aErr GetPartNumber(long* partNumber);
  aErr GetDeviceID();  // fills deviceId
  // Succeeds unless the chip refuses to run from the address; a chip that starts without
  // answering has started.
  aErr ExecuteFrom(uint32_t address);
  aErr SetEcho(bool on);
  aErr SetBaudRate(uint32_t baud);  // the host side's rate is not changed
  aErr Unlock();
  aErr Prepare(int firstSector, int lastSector);
  aErr Erase(int firstSector, int lastSector);
  // Reads or writes count bytes (a non-zero multiple of 4) at address through the UU-encoded
  // transfer; fails once the RESEND budget is spent, and a Write also on a checksum answer
  // other than "OK" or "RESEND".
  aErr Read(uint32_t address, uint32_t count, uint8_t* bytes);
  aErr Write(uint32_t address, uint32_t count, const uint8_t* bytes);
  // Copies count bytes (256, 512, 1024 or 4096) from RAM to flash (a multiple of 256).
  aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);

  // ERROR_TEXT of the line's return code (read with base detection); "Unknown error" for a code
  // outside 0 to 20 or a line without a number.
  static const char* GetErrorText(const char* line);
  static int sum(const uint8_t* bytes, size_t length);
  // The UU character of the value's low 6 bits; 0 is the grave accent.
  static char uuchar(uint8_t value);
  // Encodes min(n, MAX_BYTES_PER_LINE) bytes as one zero-terminated line into out (room for 62
  // characters); returns the bytes consumed.
  static size_t uuencode(char* out, const uint8_t* bytes, size_t n);
  // Decodes one line; returns its byte count, 0 (nothing stored) when room is too small. Stores
  // at most that count; a line that ends early leaves the rest unwritten.
  static size_t uudecode(uint8_t* out, size_t room, const char* line);
  // 256, 512, 1024 or 4096: the smallest copy size that holds n bytes; n itself above 4096.
  static uint32_t CopyLength(uint32_t n);
  // The sector holding address; 30 beyond the table.
  static int SectorFromAddress(uint32_t address);

  aStream* stream;
  bool echo;
  uint32_t baudRate;
  uint32_t status;
  char portName[2048];
  uint32_t deviceId[4];
  // The return code of the last command answered (-1: none since Connect), and the bytes written
  // to the port since Connect (what a device other than an LPC chip has heard of this client).
  int lastReturnCode;
  uint64_t bytesSent;

 private:
  aErr _resumeCommandMode();
  aErr _resumeWithoutEcho();
  aErr _write(const char* text, size_t length);
};
