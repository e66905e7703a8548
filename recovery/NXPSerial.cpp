#include "recovery/NXPSerial.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/aTime.h"
#include "common/aTransports.h"
#include "firmware/Log.h"
#include "recovery/RecoveryText.h"

const uint8_t NXPSerialClass::MAX_ERROR = 20;
const float NXPSerialClass::CRYSTAL_DEFAULT = 14.7456f;
const char* const NXPSerialClass::CRYSTAL_KEY = "Crystal";
const int NXPSerialClass::MAX_BYTES_PER_LINE = 45;
const int NXPSerialClass::LINES_PER_CHECKSUM = 20;
const int NXPSerialClass::MAX_READ_RETRY = 3;
const uint32_t NXPSerialClass::WRITE_ADDRESS = 0x10001000;

const char* const NXPSerialClass::ERROR_TEXT[21] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPFlashSector NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},  {0x04000, 0x1000, 4},
    {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},  {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},
    {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11}, {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15}, {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23}, {0x50000, 0x8000, 24},
    {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27}, {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30},
};

namespace {

constexpr int32_t _kFallbackRateIndex = 2;  // 9600, for a rate above the table
constexpr const char _kTerminator[] = "\r\n";
constexpr size_t _kTerminatorSize = 2;  // TERMINATION_SIZE: the CR LF of every line
constexpr uint32_t _kReplyRetries = 100;
constexpr uint32_t _kChecksumRetries = 2000;
constexpr size_t _kLineRoom = 1024;
constexpr size_t _kNumberRoom = 32;
// Bytes a read may drop before it gives up on the line: a line held in break, or a device that
// talks at another rate, sends stray bytes for ever, and no wait may last for ever.
constexpr size_t _kStrayLimit = 4096;
constexpr uint32_t _kUnlockCode = 23130;
// Bare line ends that may stand before an answer: the rest of an echo that came doubled.
constexpr int _kBlankLinesBeforeAnswer = 3;
constexpr size_t _kMaxDecimalDigits = 10;  // a 32-bit number
constexpr uint32_t _kStatusDestroyed = 28;

// The time in ms that n bytes take on the line at baud (10 bits a byte, two bytes of margin).
uint32_t WAIT_TIME_MS(uint32_t n, uint32_t baud) {
  if (baud == 0) return 1;
  return (n * 9000u + 18000u) / baud + 1;
}

int32_t _rateIndex(uint32_t wanted) {
  for (size_t i = 0; i < std::size(aSERIAL_BAUD_RATES); ++i) {
    if (aSERIAL_BAUD_RATES[i] >= wanted) return static_cast<int32_t>(i);
  }
  return _kFallbackRateIndex;
}

bool _isPrintable(char c) { return std::isprint(static_cast<unsigned char>(c)) != 0; }

// One byte for a read loop: aErrNone with the byte; aErrNotReady after an empty read, which is
// counted in *empty and followed by a wait of up to waitMs (1 ms: the pause between polls) for
// input; the port's code when it fails. The wait ends as soon as input arrives.
aErr _nextByte(aStream* stream, char* byte, uint32_t* empty, uint32_t waitMs = 1) {
  aErr err = aStream_Read(stream, byte, 1);
  if (err != aErrNotReady) return err;
  ++*empty;
  Log::log(Log::DEBUG_NXPSerial_E, ".");
  err = aStream_WaitReadable(stream, waitMs);
  return err == aErrNone || err == aErrTimeout ? aErrNotReady : err;
}

// A log line put together piece by piece, written once so that it stays whole; nothing is
// formatted when its package is off.
class Trace {
 public:
  explicit Trace(uint32_t package) : _package(package), _on(Log::IsActive(package)) {}
  Trace& add(const char* format, ...) QF_PRINTF_LIKE(2, 3) {
    if (!_on) return *this;
    char piece[256];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (length > 0) _text.append(piece, std::min(static_cast<size_t>(length), sizeof piece - 1));
    return *this;
  }
  Trace& hex(const char* bytes, size_t n) {
    for (size_t i = 0; _on && i < n; ++i) add(i ? " %02X" : "%02X", static_cast<uint8_t>(bytes[i]));
    return *this;
  }
  // The bytes as text, unprintable ones as blanks, or CR and LF as \r and \n with escapes.
  Trace& text(const char* bytes, size_t n, bool escapes) {
    for (size_t i = 0; _on && i < n; ++i) {
      const char c = bytes[i];
      if (escapes && c == '\r') _text += "\\r";
      else if (escapes && c == '\n') _text += "\\n";
      else _text += _isPrintable(c) ? c : ' ';
    }
    return *this;
  }
  void write() {
    if (_on) Log::log(_package, "%s", _text.c_str());
  }

 private:
  uint32_t _package;
  bool _on;
  std::string _text;
};

// The traffic dump of a line read; "term" when it ended on at least the CR of its terminator.
void _traceLine(const char* line, size_t count, bool terminated, aErr err) {
  Trace(Log::DEBUG_NXPSerial_SR)
      .add("GetLine() Received: [")
      .hex(line, count)
      .add("] [")
      .text(line, count, false)
      .add("] %d %s [%s]\n", static_cast<int>(count), terminated ? "term" : "non-term", aError_GetErrorText(err))
      .write();
}

// The text with unprintable characters as blanks, for log lines about a command.
std::string _printable(const char* text) {
  std::string shown(text ? text : "");
  for (char& c : shown) {
    if (!_isPrintable(c)) c = ' ';
  }
  return shown;
}

// A line of decimal digits (a 32-bit number) and its CR LF, nothing else: the form of every
// return code and value the chip sends.
bool _decimalLine(const char* line, uint32_t* value) {
  size_t digits = 0;
  uint64_t number = 0;
  for (; std::isdigit(static_cast<unsigned char>(line[digits])); ++digits) {
    number = number * 10 + static_cast<uint64_t>(line[digits] - '0');
  }
  if (digits == 0 || digits > _kMaxDecimalDigits || number > UINT32_MAX) return false;
  if (std::strcmp(line + digits, _kTerminator) != 0) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

bool _blankLine(const char* line) { return line[0] != 0 && std::strspn(line, "\r\n") == std::strlen(line); }

// The time the answer to a command may take: REPLY_MS and what the command asks on top.
uint32_t _answerTime(uint32_t extraMs = 0) { return NXPSerialClass::REPLY_MS + extraMs; }

enum class Report { quiet, command, write };

// Reads a command's return-code line within timeoutMs, skipping bare line ends before it.
// aErrNone for CMD_SUCCESS, aErrParam for any other code, aErrIO for a line that is no return
// code, the read's code when no complete line came. The code goes to lastReturnCode.
aErr _readReturnCode(NXPSerialClass& isp, Report report, uint32_t timeoutMs) {
  char line[_kLineRoom] = {};
  size_t count = 0;
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  aErr err = aErrNone;
  for (int blank = 0; blank <= _kBlankLinesBeforeAnswer; ++blank) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    err = isp.GetLineWithin(line, sizeof line, &count, static_cast<uint32_t>(deadline > now ? deadline - now : 0));
    if (err != aErrNone || !_blankLine(line)) break;
  }
  uint32_t code = 0;
  const bool answered = err == aErrNone && _decimalLine(line, &code);
  isp.lastReturnCode = answered ? static_cast<int>(code) : -1;
  if (answered && code == 0) return aErrNone;
  const char* name = err != aErrNone ? aError_GetErrorText(err)
                     : answered      ? NXPSerialClass::GetErrorText(line)
                                     : "not a return code";
  if (report == Report::command) Log::log(Log::DEBUG_NXPSerial, "Error response ==>[%s]\n", name);
  if (report == Report::write) {
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", name);
  }
  if (err != aErrNone) return err;
  return answered ? aErrParam : aErrIO;
}

aErr _sendCommand(NXPSerialClass& isp, const char* command, Report report) {
  const aErr err = isp.SendCommand(command, 0);
  if (err != aErrNone) {
    const char* format =
        report == Report::write ? "Write() Error Sending command [%s] [%s]\n" : "Error Sending command [%s] [%s]\n";
    Log::log(Log::DEBUG_NXPSerial, format, _printable(command).c_str(), aError_GetErrorText(err));
  }
  return err;
}

// A command whose success is its return code, answered within timeoutMs.
aErr _runCommand(NXPSerialClass& isp, const char* command, Report report, uint32_t timeoutMs = _answerTime()) {
  const aErr err = _sendCommand(isp, command, report);
  return err != aErrNone ? err : _readReturnCode(isp, report, timeoutMs);
}

// A command answered by its return code and n lines of decimal values, which go to values only
// when every line came in that form: a line of anything else (an empty one included) is no
// value, and the query fails with aErrIO.
aErr _runQuery(NXPSerialClass& isp, const char* command, uint32_t* values, size_t n) {
  aErr err = _runCommand(isp, command, Report::quiet);
  std::vector<uint32_t> read(n, 0);
  for (size_t i = 0; i < n && err == aErrNone; ++i) {
    char line[_kNumberRoom] = {};
    size_t count = 0;
    err = isp.GetLineWithin(line, sizeof line, &count, _answerTime());
    if (err == aErrNone && !_decimalLine(line, &read[i])) {
      Log::log(Log::DEBUG_NXPSerial, "Error response to [%s]: value line %d is no number [%s]\n",
               _printable(command).c_str(), static_cast<int>(i), _printable(line).c_str());
      err = aErrIO;
    }
  }
  if (err == aErrNone) std::copy(read.begin(), read.end(), values);
  return err;
}

int32_t _signed(uint32_t value) { return static_cast<int32_t>(value); }

double _percent(size_t done, uint32_t count) { return 100.0 * static_cast<double>(done) / count; }

// The data lines and checksums of a RAM write, after its command succeeded.
aErr _writeTransfer(NXPSerialClass& isp, uint32_t count, const uint8_t* bytes) {
  size_t committed = 0;
  size_t position = 0;
  int lines = 0;
  int resends = NXPSerialClass::MAX_READ_RETRY;
  aErr failure = aErrNone;
  while (position < count && failure == aErrNone) {
    char line[64];
    const size_t n = NXPSerialClass::uuencode(line, bytes + position, count - position);
    failure = isp.Send(line, isp.echo);
    if (failure == aErrNone) failure = isp.Send(_kTerminator, isp.echo);
    if (failure != aErrNone) break;
    position += n;
    ++lines;
    if (lines < NXPSerialClass::LINES_PER_CHECKSUM && position < count) continue;
    lines = 0;
    const int checksum = NXPSerialClass::sum(bytes + committed, position - committed);
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum, checksum);
    failure = isp.Send(RecoveryFormat("%d\r\n", checksum).c_str(), isp.echo);
    if (failure != aErrNone) break;
    char answer[_kLineRoom] = {};
    size_t got = 0;
    const uint64_t start = aTime_GetMonotonicMSTicks();
    isp.GetLine(answer, sizeof answer, &got, _kChecksumRetries);
    Log::log(Log::DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMonotonicMSTicks() - start + 1));
    if (std::strcmp(answer, "OK\r\n") == 0) {
      committed = position;
      Log::log(Log::DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
               static_cast<int>(position), _signed(count), _percent(position, count));
    } else if (std::strcmp(answer, "RESEND\r\n") == 0) {
      if (--resends == 0) {
        failure = aErrTimeout;
        Log::log(Log::DEBUG_NXPSerial, "Write() exceeded retries\n");
      } else {
        position = committed;
      }
    } else {
      failure = aErrIO;
      Log::log(Log::DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
    }
  }
  return failure;
}

// The data lines and checksums of a read, after its command succeeded. A line that does not
// come ends the read with the read's code: silence must not pass for data.
aErr _readTransfer(NXPSerialClass& isp, uint32_t count, uint8_t* bytes) {
  size_t committed = 0;
  size_t position = 0;
  int lines = 0;
  int resends = NXPSerialClass::MAX_READ_RETRY;
  aErr failure = aErrNone;
  while (position < count && failure == aErrNone) {
    char line[_kLineRoom] = {};
    size_t got = 0;
    failure = isp.GetLine(line, sizeof line, &got, _kReplyRetries);
    if (failure != aErrNone) break;
    position += NXPSerialClass::uudecode(bytes + position, count - position, line);
    ++lines;
    if (lines < NXPSerialClass::LINES_PER_CHECKSUM && position < count) continue;
    lines = 0;
    char checksumLine[_kLineRoom] = {};
    failure = isp.GetLine(checksumLine, sizeof checksumLine, &got, _kReplyRetries);
    if (failure != aErrNone) break;
    const long expected = std::strtol(checksumLine, nullptr, 0);
    if (expected == NXPSerialClass::sum(bytes + committed, position - committed)) {
      failure = isp.Send("OK\r\n", false);
      // With echo on the chip repeats the OK; the LF of it is left for the next line to drop.
      if (isp.echo) {
        char echoed[8] = {};
        isp.Response(echoed, sizeof echoed, &got, "OK\r\n", position < count ? 3 : 4);
      }
      committed = position;
      Log::log(Log::DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
               _signed(count), _percent(position, count));
    } else if (--resends == 0) {
      failure = aErrTimeout;
    } else {
      failure = isp.Send("RESEND\r\n", isp.echo);
      position = committed;
    }
  }
  return failure;
}

}  // namespace

NXPSerialClass::NXPSerialClass()
    : stream(nullptr), echo(true), baudRate(0), status(0), portName(), deviceId(), lastReturnCode(-1), bytesSent(0) {}

NXPSerialClass::~NXPSerialClass() {
  Disconnect();
  status = _kStatusDestroyed;
}

aErr NXPSerialClass::Connect(const char* port, uint32_t baud) {
  Disconnect();
  lastReturnCode = -1;
  bytesSent = 0;
  const int32_t index = _rateIndex(baud);
  baudRate = aSERIAL_BAUD_RATES[index];
  const char* shown = port ? port : "";
  Log::log(Log::DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", shown, index,
           _signed(baudRate));
  const aErr err = aStream_CreateSerial(port, index, 0, 0, 0, &stream);
  if (err != aErrNone) {
    stream = nullptr;
    Log::log(Log::DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", shown, aError_GetErrorText(err));
    return err;
  }
  std::snprintf(portName, sizeof portName, "%s", port);
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream) aStream_Destroy(&stream);
  return aErrNone;
}

aErr NXPSerialClass::_write(const char* text, size_t length) {
  const aErr err = aStream_Write(stream, text, length);
  if (err == aErrNone) bytesSent += length;
  return err;
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho) {
  if (!text) return aErrParam;
  const size_t length = std::strlen(text);
  Trace(Log::DEBUG_NXPSerial_SR)
      .add("Sending:[")
      .hex(text, length)
      .add("] [")
      .text(text, length, true)
      .add("]\n")
      .write();
  const aErr err = _write(text, length);
  if (err != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (expectEcho && length > 0) {
    size_t echoed = 0;
    GetEcho(text, length - 1, &echoed);
  }
  return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t length, size_t* count, const char* expected, size_t expectedLength) {
  if (!buffer || length < 2 || !count) return aErrParam;
  const size_t limit = std::min(expected ? expectedLength : length - 1, length - 1);
  const size_t expectedSize = expected ? std::strlen(expected) : 0;
  const uint32_t waitMs = WAIT_TIME_MS(static_cast<uint32_t>(expectedLength), baudRate) + 20;
  Log::log(Log::DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n",
           static_cast<int>(expectedLength), _signed(baudRate), _signed(waitMs));
  *count = 0;
  size_t matched = 0;
  uint32_t failures = 0;
  size_t stray = 0;
  aErr err = aErrNone;
  while (*count < limit && matched < _kTerminatorSize && failures < _kReplyRetries) {
    char byte = 0;
    // The reply takes up to waitMs to arrive: the first wait for it is that long, but ends as
    // soon as its first byte is there (and costs nothing when the bytes are already waiting).
    err = _nextByte(stream, &byte, &failures, failures == 0 ? waitMs : 1);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    const bool leadingLineEnd = (byte == '\n' || byte == '\r') && *count == 0;
    if (leadingLineEnd || (byte == 0 && *count <= 2)) {
      Log::log(Log::DEBUG_NXPSerial_E, byte == '\n'   ? "Response ignoring leading \\n\n"
                                       : byte == '\r' ? "Response ignoring leading \\r\n"
                                                      : "Response ignoring leading 0 byte\n");
      if (++stray < _kStrayLimit) continue;
      err = aErrIO;
      break;
    }
    if (expected && *count < expectedSize && byte != expected[*count]) {
      const char want = expected[*count];
      Log::log(Log::DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(*count), static_cast<uint8_t>(byte), byte, want, static_cast<uint8_t>(want));
    }
    matched = byte == _kTerminator[matched] ? matched + 1 : 0;
    buffer[(*count)++] = byte;
  }
  buffer[*count] = 0;
  Trace(Log::DEBUG_NXPSerial_SR)
      .add("Response: [")
      .hex(buffer, *count)
      .add("] [")
      .text(buffer, *count, true)
      .add("]\n")
      .write();
  return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t length, size_t* count, uint32_t retries) {
  if (!buffer || length < 2 || !count) return aErrParam;
  *count = 0;
  size_t matched = 0;
  uint32_t spent = 0;
  aErr err = aErrNone;
  while (*count < length - 1 && matched < _kTerminatorSize && spent < retries) {
    char byte = 0;
    err = _nextByte(stream, &byte, &spent);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    if (byte == '\n' && *count == 0) {
      ++spent;  // the budget still bounds a line that sends nothing but LF
      Log::log(Log::DEBUG_NXPSerial_E, ",");
      continue;
    }
    matched = byte == _kTerminator[matched] ? matched + 1 : 0;
    buffer[(*count)++] = byte;
  }
  buffer[*count] = 0;
  _traceLine(buffer, *count, matched > 0, err);
  return err;
}

aErr NXPSerialClass::GetLineWithin(char* buffer, size_t length, size_t* count, uint32_t timeoutMs) {
  if (!buffer || length < 2 || !count) return aErrParam;
  *count = 0;
  size_t matched = 0;
  size_t stray = 0;
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  aErr err = aErrNone;
  while (*count < length - 1 && matched < _kTerminatorSize) {
    char byte = 0;
    err = aStream_Read(stream, &byte, 1);
    if (err == aErrNotReady) {
      const uint64_t now = aTime_GetMonotonicMSTicks();
      if (now >= deadline) break;
      err = aStream_WaitReadable(stream, static_cast<uint32_t>(deadline - now));
      if (err == aErrNone || err == aErrTimeout) continue;
      break;
    }
    if (err != aErrNone) break;
    if (byte == '\n' && *count == 0) {
      if (++stray < _kStrayLimit) continue;
      err = aErrIO;
      break;
    }
    matched = byte == _kTerminator[matched] ? matched + 1 : 0;
    buffer[(*count)++] = byte;
  }
  if (err == aErrNone && matched < _kTerminatorSize && *count < length - 1) err = aErrNotReady;
  buffer[*count] = 0;
  _traceLine(buffer, *count, matched > 0, err);
  return err;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t n, size_t* count) {
  if (!text || !count || std::strlen(text) < n) return aErrParam;
  Trace(Log::DEBUG_NXPSerial_E).add("GetEcho([").hex(text, n).add("] %d, ...)\n", static_cast<int>(n)).write();
  Trace trace(Log::DEBUG_NXPSerial_E);
  trace.add("recv Echo:[");
  *count = 0;
  uint32_t failures = 0;
  size_t stray = 0;
  aErr err = aErrNone;
  while (*count < n && failures < _kReplyRetries) {
    char byte = 0;
    err = _nextByte(stream, &byte, &failures);
    if (err == aErrNotReady) continue;
    if (err != aErrNone) break;
    if (byte == text[*count]) {
      trace.add(" %02X", static_cast<uint8_t>(byte));
      ++*count;
      continue;
    }
    trace.add(" %.2X!=%.2X", static_cast<uint8_t>(byte), static_cast<uint8_t>(text[*count]));
    if (++stray == _kStrayLimit) {
      err = aErrIO;
      break;
    }
  }
  trace.add("]\n").write();
  return err;
}

uint8_t NXPSerialClass::GetErrorIndex(size_t lineLength) {
  if (echo && lineLength > _kTerminatorSize) {
    return static_cast<uint8_t>(lineLength - _kTerminatorSize - 1);
  }
  return 0;
}

aErr NXPSerialClass::SendCommand(const char* command, int waitMs) {
  if (!command || !*command) return aErrParam;
  const size_t length = std::strlen(command);
  Trace(Log::DEBUG_NXPSerial_SR)
      .add("Sending:[")
      .hex(command, length)
      .add("] [%s]\n", _printable(command).c_str())
      .write();
  const aErr err = _write(command, length);
  if (waitMs > 0) {
    Log::log(Log::DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(static_cast<uint32_t>(waitMs));
  }
  if (err != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(Log::DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (echo) {
    size_t echoed = 0;
    GetEcho(command, length - 1, &echoed);
    if (echoed + 1 != length) {
      Log::log(Log::DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(echoed),
               static_cast<int>(length));
    }
  }
  return err;
}

aErr NXPSerialClass::Sync() {
  static const char synchronized[] = "Synchronized\r\n";
  static const char ok[] = "OK\r\n";
  char reply[_kLineRoom] = {};
  size_t count = 0;
  Send("?", false);
  aErr err = Response(reply, sizeof reply, &count, synchronized, 14);
  if (count == 1 && reply[0] == '?') return _resumeCommandMode();
  if (count == 0 && err == aErrNotReady && _resumeWithoutEcho() == aErrNone) return aErrNone;
  if (err != aErrNone) {
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             synchronized, reply);
    return err;
  }
  if (std::strncmp(reply, synchronized, 14) != 0) {
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s]\n", synchronized);
  }
  Send(synchronized, false);
  Response(reply, sizeof reply, &count, synchronized, 13);
  std::memset(reply, 0, sizeof reply);
  Response(reply, sizeof reply, &count, ok, 4);
  if (std::strncmp(reply, "OK", 2) != 0) {
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, ok);
  }
  const std::string crystal = RecoveryFormat("%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5f));
  Send(crystal.c_str(), false);
  Response(reply, sizeof reply, &count, crystal.c_str(), crystal.size() - 1);
  std::memset(reply, 0, sizeof reply);
  err = Response(reply, sizeof reply, &count, ok, 4);
  if (err != aErrNone) return err;
  // Without the chip's OK to the crystal frequency nothing says a bootloader is listening.
  if (std::strcmp(reply, ok) != 0) {
    Log::log(Log::DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, ok);
    return aErrIO;
  }
  return aErrNone;
}

// A chip synchronised by an earlier session is still in command mode with echo on: it only
// echoed the "?" and keeps it in its line buffer, where it would spoil the next command. End
// that line (the chip answers it as an unknown command) and drop what comes back.
aErr NXPSerialClass::_resumeCommandMode() {
  Log::log(Log::DEBUG_NXPSerial, "Device already synchronized: clearing its command line\n");
  const aErr err = Send("\r\n", false);
  if (err != aErrNone) return err;
  echo = true;
  char line[_kLineRoom] = {};
  size_t count = 0;
  // The echoed line end, then the return-code line of the unknown command.
  GetLine(line, sizeof line, &count, _kReplyRetries);
  return GetLine(line, sizeof line, &count, _kReplyRetries);
}

// A chip left in command mode with echo off by an earlier session keeps the "?" in its line
// buffer without a word. Ending the line makes it answer the unknown command with a return
// code, which nothing else on a serial port would send; then echo goes back on.
aErr NXPSerialClass::_resumeWithoutEcho() {
  echo = false;
  char line[_kLineRoom] = {};
  size_t count = 0;
  uint32_t code = 0;
  aErr err = Send("\r\n", false);
  if (err == aErrNone) err = GetLine(line, sizeof line, &count, _kReplyRetries);
  if (err == aErrNone && !_decimalLine(line, &code)) err = aErrNotReady;
  if (err != aErrNone) {
    echo = true;
    return err;
  }
  Log::log(Log::DEBUG_NXPSerial, "Device already synchronized with echo off: switching echo on\n");
  err = SetEcho(true);
  echo = true;  // the chip's state after a Sync, whether or not it agreed
  return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* first, uint8_t* second) {
  if (!first || !second) return aErrParam;
  uint32_t version[2] = {};
  const aErr err = _runQuery(*this, "K\r\n", version, 2);
  if (err != aErrNone) return err;
  *first = static_cast<uint8_t>(version[0]);
  *second = static_cast<uint8_t>(version[1]);
  Log::log(Log::DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *first, *second);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* partNumber) {
  if (!partNumber) return aErrParam;
  uint32_t part = 0;
  const aErr err = _runQuery(*this, "J\r\n", &part, 1);
  if (err != aErrNone) return err;
  *partNumber = static_cast<long>(part);
  Log::log(Log::DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(*partNumber));
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() { return _runQuery(*this, "N\r\n", deviceId, std::size(deviceId)); }

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  const aErr err = _runCommand(*this, RecoveryFormat("G %d T\r\n", _signed(address)).c_str(), Report::command);
  if (err != aErrNotReady) return err;
  Log::log(Log::DEBUG_NXPSerial, "No answer to the start at 0x%08X: the chip runs\n", address);
  return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(Log::DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  const aErr err = _runCommand(*this, RecoveryFormat("A %d\r\n", on ? 1 : 0).c_str(), Report::quiet);
  if (err == aErrNone) echo = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t baud) {
  return _runCommand(*this, RecoveryFormat("B %d %d\r\n", _signed(baud), 1).c_str(), Report::quiet);
}

aErr NXPSerialClass::Unlock() {
  return _runCommand(*this, RecoveryFormat("U %d\r\n", _signed(_kUnlockCode)).c_str(), Report::quiet);
}

aErr NXPSerialClass::Prepare(int firstSector, int lastSector) {
  if (lastSector < firstSector) return aErrParam;
  return _runCommand(*this, RecoveryFormat("P %d %d\r\n", firstSector, lastSector).c_str(), Report::command);
}

aErr NXPSerialClass::Erase(int firstSector, int lastSector) {
  if (lastSector < firstSector) return aErrParam;
  const uint32_t sectors = static_cast<uint32_t>(lastSector - firstSector + 1);
  return _runCommand(*this, RecoveryFormat("E %d %d\r\n", firstSector, lastSector).c_str(), Report::command,
                     _answerTime(sectors * ERASE_MS_PER_SECTOR));
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* bytes) {
  if (count == 0 || count % 4 != 0 || !bytes) return aErrParam;
  const std::string command = RecoveryFormat("R %d %d\r\n", _signed(address), _signed(count));
  const aErr err = _runCommand(*this, command.c_str(), Report::command);
  return err != aErrNone ? err : _readTransfer(*this, count, bytes);
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* bytes) {
  if (count == 0 || count % 4 != 0 || !bytes) return aErrParam;
  const std::string command = RecoveryFormat("W %d %d\r\n", _signed(address), _signed(count));
  const aErr err = _runCommand(*this, command.c_str(), Report::write);
  return err != aErrNone ? err : _writeTransfer(*this, count, bytes);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  const bool goodCount = count == 256 || count == 512 || count == 1024 || count == 4096;
  if (flashAddress % 256 != 0 || !goodCount) return aErrParam;
  const std::string command =
      RecoveryFormat("C %d %d %d\r\n", _signed(flashAddress), _signed(ramAddress), _signed(count));
  return _runCommand(*this, command.c_str(), Report::command, _answerTime(count / 256 * COPY_MS_PER_256_BYTES));
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (!line) return ERROR_TEXT[MAX_ERROR];
  char* end = nullptr;
  const long code = std::strtol(line, &end, 0);
  if (end == line || code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

int NXPSerialClass::sum(const uint8_t* bytes, size_t length) {
  uint32_t total = 0;
  for (size_t i = 0; bytes && i < length; ++i) total += bytes[i];
  return static_cast<int>(total);
}

char NXPSerialClass::uuchar(uint8_t value) {
  const uint8_t bits = value & 63;
  return bits == 0 ? '`' : static_cast<char>(bits + 32);
}

size_t NXPSerialClass::uuencode(char* out, const uint8_t* bytes, size_t n) {
  if (!out) return 0;
  if (!bytes) n = 0;
  n = std::min(n, static_cast<size_t>(MAX_BYTES_PER_LINE));
  char* at = out;
  *at++ = uuchar(static_cast<uint8_t>(n));
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                           static_cast<uint32_t>(i + 1 < n ? bytes[i + 1] : 0) << 8 |
                           static_cast<uint32_t>(i + 2 < n ? bytes[i + 2] : 0);
    for (int shift = 18; shift >= 0; shift -= 6) *at++ = uuchar(static_cast<uint8_t>(group >> shift));
  }
  *at = 0;
  return n;
}

size_t NXPSerialClass::uudecode(uint8_t* out, size_t room, const char* line) {
  // A line's content ends at its terminator or its CR LF; neither is a UU character.
  auto ended = [](char c) { return c == 0 || c == '\r' || c == '\n'; };
  if (!out || !line || ended(line[0])) return 0;
  const size_t n = static_cast<size_t>((line[0] - 32) & 63);
  if (room < n) return 0;
  size_t produced = 0;
  for (const char* group = line + 1; produced < n; group += 4) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
      if (ended(group[i])) {
        Log::log(Log::DEBUG_NXPSerial, "Error buffer overrun\n");
        return n;
      }
      bits = bits << 6 | static_cast<uint32_t>((group[i] - 32) & 63);
    }
    for (int shift = 16; shift >= 0 && produced < n; shift -= 8) {
      out[produced++] = static_cast<uint8_t>(bits >> shift);
    }
  }
  return n;
}

uint32_t NXPSerialClass::CopyLength(uint32_t n) {
  for (uint32_t size : {256u, 512u, 1024u, 4096u}) {
    if (n <= size) return size;
  }
  Log::log(Log::DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", _signed(n));
  return n;
}

int NXPSerialClass::SectorFromAddress(uint32_t address) {
  const NXPFlashSector* row = NXP_LPC17XX_sectors;
  while (row->start != 0xFFFFFFFF && !(row->start <= address && address < row->start + row->size)) {
    ++row;
  }
  return row->number;
}
