#include "recovery/SDPLoader.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "firmware/Log.h"

namespace {

constexpr uint8_t COMMAND_REPORT_ID = 1;
constexpr uint8_t DATA_REPORT_ID = 2;

// Command types: both bytes of the field carry the same value.
constexpr uint8_t READ_REGISTER = 0x01;
constexpr uint8_t WRITE_FILE = 0x04;
constexpr uint8_t ERROR_STATUS = 0x05;
constexpr uint8_t JUMP_ADDRESS = 0x0B;

constexpr uint8_t FORMAT_32_BIT = 0x20;
constexpr unsigned CONNECTION_ATTEMPTS = 5;
constexpr unsigned REPLY_TIMEOUT_MS = 100;

// Bytes per dump line: a line stays well below the log's line limit.
constexpr size_t DUMP_BYTES_PER_LINE = 256;

void _appendCommandHead(std::vector<uint8_t>& report, uint8_t type) {
  // Byte by byte: g++ 12 at -O3 mistakes an initializer-list insert here for an overflow.
  report.push_back(COMMAND_REPORT_ID);
  report.push_back(type);
  report.push_back(type);
}

void _appendBigEndian(std::vector<uint8_t>& report, uint32_t value) {
  uint8_t bytes[4];
  aByteOrder_WriteBE32(bytes, value);
  report.insert(report.end(), bytes, bytes + sizeof bytes);
}

}  // namespace

SDPLoader::SDPLoader() {}

SDPLoader::~SDPLoader() {}

int SDPLoader::init() {
  if (!loader) return NO_TRANSPORT;
  return loader->init() ? SUCCESS : OPEN_FAILED;
}

bool SDPLoader::_isEcho(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& report) {
  // A transport that carries no report ids sends the command without its first byte.
  const size_t compared = std::min(reply.size(), report.size() - 1);
  return compared >= 4 && std::equal(reply.begin(), reply.begin() + compared, report.begin() + 1);
}

void SDPLoader::_noteStatus(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  _lastStatus.reset();
  if (loader->getDataFromBuffer(reply, 0, value)) _lastStatus = value;
}

bool SDPLoader::_isConnectionAlive() {
  _echoed = false;
  if (!loader) return false;
  std::vector<uint8_t> command;
  _createStatusPacket(command);
  for (unsigned attempt = 0; attempt < CONNECTION_ATTEMPTS; ++attempt) {
    int64_t written = loader->writeData(command);
    Log::log(Log::DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(written));
    _printBuffer(command);
    std::vector<uint8_t> reply;
    int64_t got = loader->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(Log::DEBUG_iMXSerial, "Read Data: %zd\n", ssize_t(got));
    _printBuffer(reply);
    if (_isEcho(reply, command)) {
      Log::log(Log::DEBUG_iMXSerial, "Error: the device echoes its commands: no iMX device\n");
      _echoed = true;
      return false;
    }
    if (_expectResponse(reply)) return true;
  }
  Log::log(Log::DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, unsigned address) {
  _lastStatus.reset();
  _imageBytesSent = 0;
  if (!_isConnectionAlive()) return _echoed ? NOT_A_ROM : NO_ANSWER;

  std::vector<uint8_t> report;
  _createWriteFilePacket(report, address, uint32_t(image.size()));
  int64_t written = loader->writeData(report);
  Log::log(Log::DEBUG_iMXSerial, "Write Res: %zd\n", ssize_t(written));
  _printBuffer(report);
  // The ROM reads a whole command before it takes data: a command cut short is no write. As for
  // the data reports below, what counts is the bytes after the report id, which a UART drops.
  bool sentWhole = written >= int64_t(report.size() - 1);

  std::vector<uint8_t> reply;
  int total = 0;
  int loop = 0;
  for (size_t sent = 0; sentWhole && sent < image.size(); ++loop) {
    reply.clear();
    int64_t got = loader->readData(reply, 0);
    Log::log(Log::DEBUG_iMXSerial, "Read Data: %zd\n", ssize_t(got));
    if (!reply.empty()) {
      Log::log(Log::DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      loader->readData(reply, REPLY_TIMEOUT_MS);  // the rest of the ROM's words, for its status
      _noteStatus(reply);
      return TRANSFER_ABORTED;
    }
    size_t chunk = std::min(image.size() - sent, size_t(MAX_WRITE_BYTES));
    report.assign(1, DATA_REPORT_ID);
    report.insert(report.end(), image.begin() + sent, image.begin() + sent + chunk);
    sent += chunk;
    written = loader->writeData(report);
    _imageBytesSent = sent;
    if (written > 0) total += int(written);
    Log::log(Log::DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", ssize_t(written),
             total, loop, long(sent), ssize_t(report.size()));
    // The ROM waits for every byte it was promised: after a report that did not go out whole,
    // the rest would only shift the image, so the transfer ends and the final status decides.
    sentWhole = written >= int64_t(chunk);
  }

  Log::log(Log::DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  reply.clear();
  loader->readData(reply, REPLY_TIMEOUT_MS);
  Log::log(Log::DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(reply);
  _noteStatus(reply);
  if (sentWhole && _expectSuccess(reply)) {
    Log::log(Log::DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return SUCCESS;
  }
  Log::log(Log::DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return NOT_COMPLETED;
}

int SDPLoader::startLoader(unsigned address) {
  if (!loader) return NO_TRANSPORT;
  std::vector<uint8_t> report;
  _createJumpPacket(report, address);
  int64_t written = loader->writeData(report);
  Log::log(Log::DEBUG_iMXSerial, "Write Res: %zd\n", ssize_t(written));
  _printBuffer(report);
  // A ROM that let go says no more than one that never heard the jump: only a jump that went out
  // whole (what follows the report id, which a UART drops) can have started the loader.
  if (written < int64_t(report.size() - 1)) return NOT_COMPLETED;
  std::vector<uint8_t> reply;
  loader->readData(reply, REPLY_TIMEOUT_MS);
  if (_isEcho(reply, report)) {
    Log::log(Log::DEBUG_iMXSerial, "Jump to 0x%08X echoed: no iMX device\n", address);
    return NOT_A_ROM;
  }
  _noteStatus(reply);
  uint32_t status = 0;
  if (!loader->getDataFromBuffer(reply, 0, status)) return SUCCESS;
  Log::log(Log::DEBUG_iMXSerial, "Jump to 0x%08X refused, status 0x%08X\n", address, status);
  return JUMP_REFUSED;
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
  std::vector<uint8_t> report;
  _create4ByteReadRegisterPacket(report, address);
  int64_t written = loader->writeData(report);
  Log::log(Log::DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(written));
  std::vector<uint8_t> reply;
  int64_t got = loader->readData(reply, REPLY_TIMEOUT_MS);
  Log::log(Log::DEBUG_iMXSerial, "Read Data: %zd\n", ssize_t(got));
  value = 0;
  return loader->getDataFromBuffer(reply, 0, value);
}

int SDPLoader::getFingerprint(uint64_t& fingerprint) {
  if (!_isConnectionAlive()) return NO_ANSWER;
  uint32_t low = 0;
  uint32_t high = 0;
  if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low)) return NO_VALUE;
  if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high)) return NO_VALUE;
  fingerprint = uint64_t(high) << 32 | low;
  return SUCCESS;
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(reply, 0, value) && value == STATUS_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(reply, 0, value) && value == STATUS_ACK;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& report) { report.resize(MAX_COMMAND_BYTES, 0); }

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& report) {
  report.clear();
  _appendCommandHead(report, ERROR_STATUS);
  _fillCommand(report);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& report, uint32_t address, uint32_t count) {
  report.clear();
  _appendCommandHead(report, WRITE_FILE);
  _appendBigEndian(report, address);
  report.push_back(FORMAT_32_BIT);
  _appendBigEndian(report, count);
  _fillCommand(report);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& report, uint32_t address) {
  report.clear();
  _appendCommandHead(report, READ_REGISTER);
  _appendBigEndian(report, address);
  report.push_back(FORMAT_32_BIT);
  _appendBigEndian(report, 4);
  _fillCommand(report);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& report, uint32_t address) {
  report.clear();
  _appendCommandHead(report, JUMP_ADDRESS);
  _appendBigEndian(report, address);
  _fillCommand(report);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes) {
  if (!Log::IsActive(Log::DEBUG_iMXSerial)) return;
  std::string line;
  char text[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, "%X ", bytes[i]);
    line += text;
    if ((i + 1) % DUMP_BYTES_PER_LINE == 0) {
      Log::log(Log::DEBUG_iMXSerial, "%s", line.c_str());
      line.clear();
    }
  }
  line += "\n";
  Log::log(Log::DEBUG_iMXSerial, "%s", line.c_str());
}
