#include "recovery/Serial_SDPLoader_unix.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "common/aStream.h"
#include "common/aTime.h"
#include "common/aTransports.h"
#include "firmware/Log.h"

struct PrivateSerial_SDPLoader {
  aStream* stream = nullptr;
  std::string path;
  bool associated = false;
  uint64_t strayBytes = 0;       // on the line before this transport, not yet framed
  uint64_t unansweredBytes = 0;  // written since the ROM last sent anything
  uint64_t lineFreeAt = 0;       // ms tick by which the bytes written so far have crossed the line
};

namespace {

constexpr int32_t BAUD_INDEX_115200 = 6;
constexpr unsigned SETTLE_MS = 1000;
constexpr unsigned ASSOCIATION_TIMEOUT_MS = 100;
constexpr uint8_t ASSOCIATION_KEY[] = {0x23, 0x45, 0x45, 0x23};
constexpr unsigned BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
constexpr unsigned MAX_WORD_OFFSET = 15;
constexpr size_t UART_VALUE_AT = 4;
constexpr size_t kSdpCommandBytes = MAX_COMMAND_BYTES - 1;  // a command without its report id
// How much more slowly than the line a ROM may read and still be waited for.
constexpr uint64_t SLOW_READER_FACTOR = 4;
// Bytes init drops at most while it empties the line: a line that never stops talking is left
// to the connection check.
constexpr size_t SETTLE_DISCARD_LIMIT = 64 * 1024;

uint64_t _lineTimeMs(uint64_t bytes) {
  return (bytes * BITS_PER_BYTE * 1000 + Serial_SDPLoader::BAUD_RATE - 1) / Serial_SDPLoader::BAUD_RATE;
}

bool _holdsKey(const std::vector<uint8_t>& reply) {
  return std::search(reply.begin(), reply.end(), std::begin(ASSOCIATION_KEY), std::end(ASSOCIATION_KEY)) != reply.end();
}

// Takes bytes that are already waiting, at most room of them.
size_t _takeWaiting(aStream* stream, std::vector<uint8_t>& out, size_t room) {
  size_t taken = 0;
  char byte = 0;
  while (taken < room && aStream_Read(stream, &byte, 1) == aErrNone) {
    out.push_back(uint8_t(byte));
    ++taken;
  }
  return taken;
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path, uint64_t strayBytes)
    : privateState(std::make_unique<PrivateSerial_SDPLoader>()) {
  privateState->path = path ? path : "";
  privateState->strayBytes = strayBytes;
}

Serial_SDPLoader::~Serial_SDPLoader() { _close(); }

void Serial_SDPLoader::_close() {
  PrivateSerial_SDPLoader& port = *privateState;
  if (port.stream) aStream_Destroy(&port.stream);
  port.associated = false;
  port.unansweredBytes = 0;
}

bool Serial_SDPLoader::init() {
  _close();
  PrivateSerial_SDPLoader& port = *privateState;
  if (aStream_CreateSerial(port.path.c_str(), BAUD_INDEX_115200, 0, 0, 0, &port.stream) != aErrNone) {
    port.stream = nullptr;
    return false;
  }
  aTime_MSSleep(SETTLE_MS);
  std::vector<uint8_t> noise;
  _takeWaiting(port.stream, noise, SETTLE_DISCARD_LIMIT);
  _associate();
  return true;
}

bool Serial_SDPLoader::associated() const { return privateState->associated; }

bool Serial_SDPLoader::_associate() {
  PrivateSerial_SDPLoader& port = *privateState;
  // Behind a report id, which the write drops: the zero bytes that complete a command begun by
  // stray bytes, then the key.
  const size_t filler = (kSdpCommandBytes - port.strayBytes % kSdpCommandBytes) % kSdpCommandBytes;
  port.strayBytes = 0;
  std::vector<uint8_t> key(1 + filler + sizeof ASSOCIATION_KEY, 0);
  std::copy(std::begin(ASSOCIATION_KEY), std::end(ASSOCIATION_KEY), key.end() - sizeof ASSOCIATION_KEY);
  std::vector<uint8_t> reply;
  if (writeData(key) == int64_t(key.size() - 1)) {
    // The answer to a completed command may come first: the key's echo is looked for until it
    // came or the time-out passed.
    const uint64_t deadline = aTime_GetMSTicks() + ASSOCIATION_TIMEOUT_MS;
    readData(reply, ASSOCIATION_TIMEOUT_MS);
    while (!_holdsKey(reply) && aTime_GetMSTicks() < deadline) {
      if (readData(reply, unsigned(deadline - aTime_GetMSTicks())) == 0) break;
    }
  }
  if (filler > 0) Log::log(Log::DEBUG_iMXSerial, "Completed a command of stray bytes with %zu bytes\n", filler);
  port.associated = _holdsKey(reply);
  if (!port.associated) Log::log(Log::DEBUG_iMXSerial, "Error: No association from iMX device\n");
  return port.associated;
}

int64_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  PrivateSerial_SDPLoader& port = *privateState;
  if (!port.stream || report.empty()) return -1;
  const size_t length = report.size() - 1;
  if (length == 0) return 0;
  const uint64_t started = aTime_GetMSTicks();
  // The stream's write returns once the port has taken every byte, or fails as a whole.
  if (aStream_Write(port.stream, reinterpret_cast<const char*>(report.data() + 1), length) != aErrNone) return -1;
  port.unansweredBytes += length;
  // A port that takes bytes faster than the line carries them (a pseudo-terminal, a USB
  // adapter's buffer) returns early: the bytes are still on their way to the ROM.
  port.lineFreeAt = std::max(port.lineFreeAt, started) + _lineTimeMs(length);
  return int64_t(length);
}

int64_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, unsigned timeoutMs) {
  PrivateSerial_SDPLoader& port = *privateState;
  if (!port.stream) return 0;
  size_t taken = _takeWaiting(port.stream, out, MAX_REPLY_BYTES);
  // Until the bytes written have crossed the line, the ROM cannot have answered the last of
  // them; one that reads more slowly than the line (down to a quarter of its pace) is given
  // SLOW_READER_FACTOR times their line time more.
  const uint64_t now = aTime_GetMSTicks();
  const uint64_t slowReader = timeoutMs > 0 ? SLOW_READER_FACTOR * _lineTimeMs(port.unansweredBytes) : 0;
  const uint64_t lineMs = std::min<uint64_t>(std::max(port.lineFreeAt, now) - now + slowReader, MAX_LINE_WAIT_MS);
  const uint64_t latest = now + timeoutMs + lineMs;
  uint64_t deadline = taken > 0 ? std::min(latest, now + QUIET_MS) : latest;
  for (uint64_t at = now; taken < MAX_REPLY_BYTES && at < deadline; at = aTime_GetMSTicks()) {
    if (aStream_WaitReadable(port.stream, uint32_t(deadline - at)) != aErrNone) break;  // time-out or failure
    taken += _takeWaiting(port.stream, out, MAX_REPLY_BYTES - taken);
    // Once the reply has begun, it is over when the line falls quiet.
    if (taken > 0) deadline = std::min(latest, aTime_GetMSTicks() + QUIET_MS);
  }
  if (taken > 0) port.unansweredBytes = 0;
  return int64_t(taken);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) {
  if (offset > MAX_WORD_OFFSET || reply.size() < 4 * (size_t(offset) + 2)) return false;
  value |= SDPLoader_WordAt(reply, UART_VALUE_AT + offset);
  return true;
}
