#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "updater/Log.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PrivateSerial_SDPLoader {
  int fd = -1;  // -1: not open (0 is a descriptor like any other)
  std::string path;
  termios settings{};
  bool associated = false;
  Clock::time_point lineFreeAt{};  // when the bytes written so far have left the line
};

namespace {

constexpr unsigned SETTLE_MS = 1000;
constexpr unsigned ASSOCIATION_TIMEOUT_MS = 100;
constexpr uint8_t ASSOCIATION_KEY[] = {0x23, 0x45, 0x45, 0x23};
constexpr unsigned BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
constexpr unsigned MAX_WORD_OFFSET = 15;
constexpr size_t UART_VALUE_AT = 4;

Clock::duration _lineTime(size_t bytes) {
  return std::chrono::microseconds(uint64_t(bytes) * BITS_PER_BYTE * 1000000 / Serial_SDPLoader::BAUD_RATE);
}

termios _rawSettings() {
  termios settings{};
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  return settings;
}

bool _holdsKey(const std::vector<uint8_t>& reply) {
  return std::search(reply.begin(), reply.end(), std::begin(ASSOCIATION_KEY), std::end(ASSOCIATION_KEY)) !=
         reply.end();
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path) : privateState(std::make_unique<PrivateSerial_SDPLoader>()) {
  privateState->path = path ? path : "";
}

Serial_SDPLoader::~Serial_SDPLoader() { _close(); }

void Serial_SDPLoader::_close() {
  PrivateSerial_SDPLoader& port = *privateState;
  if (port.fd < 0) return;
  tcflush(port.fd, TCIOFLUSH);
  close(port.fd);
  port.fd = -1;
  port.associated = false;
}

bool Serial_SDPLoader::init() {
  _close();
  PrivateSerial_SDPLoader& port = *privateState;
  port.fd = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port.fd < 0) return false;
  port.settings = _rawSettings();
  if (!isatty(port.fd) || tcsetattr(port.fd, TCSAFLUSH, &port.settings) != 0) {
    _close();
    return false;
  }
  std::this_thread::sleep_for(milliseconds(SETTLE_MS));
  tcflush(port.fd, TCIOFLUSH);
  port.lineFreeAt = Clock::now();
  _associate();
  return true;
}

bool Serial_SDPLoader::_associate() {
  PrivateSerial_SDPLoader& port = *privateState;
  std::vector<uint8_t> reply;
  if (_writeAll(ASSOCIATION_KEY, sizeof ASSOCIATION_KEY) == int64_t(sizeof ASSOCIATION_KEY)) {
    readData(reply, ASSOCIATION_TIMEOUT_MS);
  }
  port.associated = _holdsKey(reply);
  if (!port.associated) Log::log(Log::DEBUG_iMXSerial, "Error: No association from iMX device\n");
  return port.associated;
}

int64_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  PrivateSerial_SDPLoader& port = *privateState;
  if (port.fd < 0 || report.empty()) return -1;
  if (!port.associated && !_associate()) return -1;
  return _writeAll(report.data() + 1, report.size() - 1);
}

int64_t Serial_SDPLoader::_writeAll(const uint8_t* bytes, size_t length) {
  PrivateSerial_SDPLoader& port = *privateState;
  size_t done = 0;
  const Clock::time_point started = Clock::now();
  Clock::time_point lastProgress = started;
  while (done < length) {
    ssize_t written = write(port.fd, bytes + done, length - done);
    if (written > 0) {
      done += size_t(written);
      lastProgress = Clock::now();
      continue;
    }
    bool full = written == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    // A port that fails, or takes nothing for this long, has gone away.
    if (!full || Clock::now() - lastProgress > milliseconds(WRITE_STALL_LIMIT_MS)) break;
    std::this_thread::sleep_for(milliseconds(1));
  }
  // The line sends from the first byte on, once what went before has left.
  port.lineFreeAt = std::max(port.lineFreeAt, started) + _lineTime(done);
  if (done == 0 && length > 0) return -1;
  return int64_t(done);
}

int64_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, unsigned timeoutMs) {
  PrivateSerial_SDPLoader& port = *privateState;
  if (port.fd < 0) return 0;
  std::this_thread::sleep_until(port.lineFreeAt);
  std::this_thread::sleep_for(milliseconds(timeoutMs));
  int64_t appended = 0;
  uint8_t byte = 0;
  while (appended < MAX_REPLY_BYTES && read(port.fd, &byte, 1) > 0) {
    out.push_back(byte);
    ++appended;
  }
  return appended;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset, uint32_t& value) {
  if (offset > MAX_WORD_OFFSET || reply.size() < 4 * (size_t(offset) + 2)) return false;
  value |= SDPLoader_WordAt(reply, UART_VALUE_AT + offset);
  return true;
}
