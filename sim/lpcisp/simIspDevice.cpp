#include "sim/lpcisp/simIspDevice.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>

namespace qfsim {

namespace {

// Return codes of the bootloader.
enum : std::uint32_t {
  _kSuccess = 0,
  _kInvalidCommand = 1,
  _kSrcAddrError = 2,
  _kDstAddrError = 3,
  _kSrcAddrNotMapped = 4,
  _kDstAddrNotMapped = 5,
  _kCountError = 6,
  _kInvalidSector = 7,
  _kSectorNotPrepared = 9,
  _kParamError = 12,
  _kCmdLocked = 15,
  _kInvalidCode = 16,
  _kInvalidBaudRate = 17,
  _kInvalidStopBit = 18,
};

constexpr std::size_t _kBytesPerLine = 45;
constexpr std::uint32_t _kLinesPerBlock = 20;
constexpr int _kLastSector = 29;
constexpr std::uint32_t _kSmallSectors = 16;
constexpr std::uint32_t _kSmallSectorSize = 0x1000;
constexpr std::uint32_t _kLargeSectorSize = 0x8000;

int _sectorOf(std::uint32_t address) {
  const std::uint32_t smallEnd = _kSmallSectors * _kSmallSectorSize;
  if (address < smallEnd) return static_cast<int>(address / _kSmallSectorSize);
  return static_cast<int>(_kSmallSectors + (address - smallEnd) / _kLargeSectorSize);
}

std::uint32_t _sectorStart(int sector) {
  const auto n = static_cast<std::uint32_t>(sector);
  if (n < _kSmallSectors) return n * _kSmallSectorSize;
  return _kSmallSectors * _kSmallSectorSize + (n - _kSmallSectors) * _kLargeSectorSize;
}

std::uint32_t _sectorSize(int sector) {
  return static_cast<std::uint32_t>(sector) < _kSmallSectors ? _kSmallSectorSize : _kLargeSectorSize;
}

char _uuChar(std::uint32_t bits) {
  bits &= 63;
  return bits == 0 ? '`' : static_cast<char>(bits + 32);
}

bool _parseNumber(const std::string& text, std::int64_t& value) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end;
}

std::vector<std::string> _words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::uint32_t _sum(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t total = 0;
  for (std::uint8_t b : bytes) total += b;
  return total;
}

std::string _decimalLine(std::uint32_t value) { return std::to_string(value) + "\r\n"; }

}  // namespace

std::string simUuEncodeLine(const std::uint8_t* bytes, std::size_t n) {
  std::string line(1, _uuChar(static_cast<std::uint32_t>(n)));
  for (std::size_t i = 0; i < n; i += 3) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) group = group << 8 | (i + k < n ? bytes[i + k] : 0u);
    for (int shift = 18; shift >= 0; shift -= 6) line += _uuChar(group >> shift);
  }
  return line;
}

bool simUuDecodeLine(const std::string& line, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (line.empty()) return false;
  const std::size_t n = static_cast<std::size_t>((line[0] - 32) & 63);
  const std::size_t groups = (n + 2) / 3;
  if (line.size() != 1 + 4 * groups) return false;
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = line[1 + 4 * g + k];
      if (c < 0x20 || c > 0x60) return false;
      bits = bits << 6 | static_cast<std::uint32_t>((c - 32) & 63);
    }
    for (int shift = 16; shift >= 0 && bytes.size() < n; shift -= 8) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
  }
  return true;
}

IspDevice::IspDevice(IspIdentity identity) : _identity(identity), _flash(kFlashSize, 0xFF), _ram(kRamSize, 0) {}

void IspDevice::loadFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) _flash[address + i] = bytes[i];
}

void IspDevice::fillRam(std::uint8_t value) { std::fill(_ram.begin(), _ram.end(), value); }

void IspDevice::leaveInCommandMode(bool echoOn) {
  _phase = Phase::commands;
  _echo = echoOn;
  _pending.clear();
}

void IspDevice::receive(std::string_view bytes, std::string& out, std::vector<IspPause>* pauses) {
  _pauses = pauses;
  for (char c : bytes) _byte(c, out);
  _pauses = nullptr;
}

void IspDevice::_byte(char c, std::string& out) {
  if (_faults.silent || _phase == Phase::running) return;
  if (_phase == Phase::autobaud) {
    if (c == '?') {
      out += "Synchronized\r\n";
      _phase = Phase::synchronized;
      _record.syncRate = _lineRate;
    }
    return;
  }
  if (_record.syncRate != 0 && _lineRate != 0 && _lineRate != _record.syncRate) {
    ++_record.garbledBytes;
    return;
  }
  if (_echo) {
    out += c;
    // A line's first letter decides whether its echo comes doubled.
    const char first = _pending.empty() ? c : _pending[0];
    if (_phase == Phase::commands && _faults.doubledEcho.count(first)) out += c;
  }
  if (c != '\n') {
    _pending += c;
    return;
  }
  std::string line;
  line.swap(_pending);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  _line(line, out);
}

void IspDevice::_line(const std::string& line, std::string& out) {
  _record.received.push_back(line);
  switch (_phase) {
    case Phase::synchronized:
      if (line == "Synchronized") {
        out += "OK\r\n";
        _phase = Phase::crystal;
      } else {
        _phase = Phase::autobaud;  // the autobaud starts over
      }
      return;
    case Phase::crystal: {
      std::int64_t kHz = 0;
      if (_parseNumber(line, kHz)) _record.crystalKHz = static_cast<std::uint32_t>(kHz);
      out += _faults.crystalAnswer.empty() ? "OK\r\n" : _faults.crystalAnswer;
      _phase = Phase::commands;
      return;
    }
    case Phase::commands:
      _command(line, out);
      return;
    case Phase::writeData:
      _writeLine(line, out);
      return;
    case Phase::readAnswer:
      _readAnswer(line, out);
      return;
    case Phase::autobaud:
    case Phase::running:
      return;
  }
}

void IspDevice::_command(const std::string& line, std::string& out) {
  const std::vector<std::string> words = _words(line);
  if (words.empty()) return;
  _record.commands.push_back(line);
  const char letter = words[0].size() == 1 ? words[0][0] : '\0';
  const auto delay = _faults.replyDelayMs.find(letter);
  if (delay != _faults.replyDelayMs.end() && _pauses) _pauses->push_back({out.size(), delay->second});
  const auto answer = _faults.answers.find(letter);
  if (answer != _faults.answers.end()) {
    out += answer->second;
    return;
  }
  const auto failure = _faults.failCommands.find(letter);
  if (failure != _faults.failCommands.end()) {
    out += _decimalLine(failure->second);
    return;
  }
  std::vector<std::int64_t> args;
  std::size_t numeric = words.size();
  if (letter == 'G' && words.size() == 3) {  // G address mode: the mode is a letter
    if (words[2] != "T" && words[2] != "A") return void(out += _decimalLine(_kParamError));
    numeric = 2;
  }
  for (std::size_t i = 1; i < numeric; ++i) {
    std::int64_t value = 0;
    if (!_parseNumber(words[i], value)) return void(out += _decimalLine(_kParamError));
    args.push_back(value);
  }
  std::string data;
  const std::uint32_t code = _execute(letter, args, data);
  out += _decimalLine(code);
  if (code != _kSuccess) return;
  out += data;
  if (letter == 'A') _echo = args[0] == 1;
  if (letter == 'B' && _record.syncRate != 0) _record.syncRate = static_cast<std::uint32_t>(args[0]);
  if (letter == 'R') _sendReadBlock(out);
}

std::uint32_t IspDevice::_execute(char letter, const std::vector<std::int64_t>& args, std::string& out) {
  static const std::map<char, std::size_t> argumentCounts = {{'U', 1}, {'A', 1}, {'B', 2}, {'K', 0},
                                                             {'J', 0}, {'N', 0}, {'P', 2}, {'E', 2},
                                                             {'C', 3}, {'W', 2}, {'R', 2}, {'G', 1}};
  const auto expected = argumentCounts.find(letter);
  if (expected == argumentCounts.end()) return _kInvalidCommand;
  if (args.size() != expected->second) return _kParamError;
  switch (letter) {
    case 'U':
      if (args[0] != kUnlockCode) return _kInvalidCode;
      _unlocked = true;
      return _kSuccess;
    case 'A':
      return args[0] == 0 || args[0] == 1 ? _kSuccess : _kParamError;
    case 'B': {
      static const std::int64_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
      if (std::find(std::begin(rates), std::end(rates), args[0]) == std::end(rates)) return _kInvalidBaudRate;
      return args[1] == 1 || args[1] == 2 ? _kSuccess : _kInvalidStopBit;
    }
    case 'K':
      out += _decimalLine(_identity.bootVersion[0]) + _decimalLine(_identity.bootVersion[1]);
      return _kSuccess;
    case 'J':
      out += _decimalLine(_identity.partId);
      return _kSuccess;
    case 'N':
      for (std::uint32_t word : _identity.serial) out += _decimalLine(word);
      return _kSuccess;
    case 'P':
      if (args[0] < 0 || args[1] > _kLastSector || args[1] < args[0]) return _kInvalidSector;
      _preparedFirst = static_cast<int>(args[0]);
      _preparedLast = static_cast<int>(args[1]);
      return _kSuccess;
    case 'E':
      return _erase(args);
    case 'C':
      return _copy(args);
    case 'W':
      return _startWrite(args);
    case 'R':
      return _startRead(args);
    case 'G':
      _record.executed = true;
      _record.executeAddress = static_cast<std::uint32_t>(args[0]);
      _phase = Phase::running;
      return _kSuccess;
    default:
      return _kInvalidCommand;
  }
}

bool IspDevice::_countDataLine() {
  const std::int32_t limit = _faults.silentAfterDataLines;
  if (limit >= 0 && _record.dataLines >= static_cast<std::uint32_t>(limit)) _faults.silent = true;
  if (_faults.silent) return false;
  ++_record.dataLines;
  return true;
}

bool IspDevice::_sectorsPrepared(std::uint32_t first, std::uint32_t last) const {
  return _preparedFirst >= 0 && static_cast<std::int64_t>(first) >= _preparedFirst &&
         static_cast<std::int64_t>(last) <= _preparedLast;
}

std::uint32_t IspDevice::_erase(const std::vector<std::int64_t>& args) {
  if (!_unlocked) return _kCmdLocked;
  if (args[0] < 0 || args[1] > _kLastSector || args[1] < args[0]) return _kInvalidSector;
  const auto first = static_cast<int>(args[0]);
  const auto last = static_cast<int>(args[1]);
  if (!_sectorsPrepared(static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last))) {
    return _kSectorNotPrepared;
  }
  const std::uint32_t start = _sectorStart(first);
  const std::uint32_t end = _sectorStart(last) + _sectorSize(last);
  std::fill(_flash.begin() + start, _flash.begin() + end, 0xFF);
  _preparedFirst = _preparedLast = -1;
  return _kSuccess;
}

std::uint32_t IspDevice::_copy(const std::vector<std::int64_t>& args) {
  if (!_unlocked) return _kCmdLocked;
  const std::int64_t flash = args[0];
  const std::int64_t ram = args[1];
  const std::int64_t count = args[2];
  if (flash < 0 || flash % 256 != 0) return _kDstAddrError;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return _kCountError;
  if (flash + count > kFlashSize) return _kDstAddrNotMapped;
  if (ram % 4 != 0) return _kSrcAddrError;
  if (ram < kRamStart || ram + count > kRamStart + kRamSize) return _kSrcAddrNotMapped;
  const auto from = static_cast<std::uint32_t>(flash);
  const auto length = static_cast<std::uint32_t>(count);
  if (!_sectorsPrepared(static_cast<std::uint32_t>(_sectorOf(from)),
                        static_cast<std::uint32_t>(_sectorOf(from + length - 1)))) {
    return _kSectorNotPrepared;
  }
  const std::uint8_t* source = &_ram[static_cast<std::size_t>(ram - kRamStart)];
  for (std::uint32_t i = 0; i < length; ++i) _flash[from + i] &= source[i];
  _preparedFirst = _preparedLast = -1;
  return _kSuccess;
}

std::uint8_t* IspDevice::_memory(std::uint32_t address, std::uint32_t count) {
  const std::uint64_t end = static_cast<std::uint64_t>(address) + count;
  if (end <= kFlashSize) return &_flash[address];
  if (address >= kRamStart && end <= kRamStart + kRamSize) return &_ram[address - kRamStart];
  return nullptr;
}

std::uint32_t IspDevice::_startWrite(const std::vector<std::int64_t>& args) {
  const std::int64_t address = args[0];
  const std::int64_t count = args[1];
  if (address % 4 != 0) return _kDstAddrError;
  if (count <= 0 || count % 4 != 0) return _kCountError;
  if (address < kRamUserStart || address + count > kRamStart + kRamSize) return _kDstAddrNotMapped;
  _address = static_cast<std::uint32_t>(address);
  _count = static_cast<std::uint32_t>(count);
  _done = 0;
  _block.clear();
  _blockLines = 0;
  _blockBad = false;
  _awaitChecksum = false;
  _phase = Phase::writeData;
  return _kSuccess;
}

void IspDevice::_writeLine(const std::string& line, std::string& out) {
  if (!_awaitChecksum) {
    if (!_countDataLine()) return;
    std::vector<std::uint8_t> bytes;
    if (!simUuDecodeLine(line, bytes)) _blockBad = true;
    _block.insert(_block.end(), bytes.begin(), bytes.end());
    ++_blockLines;
    if (_done + _block.size() > _count) _blockBad = true;
    _awaitChecksum = _blockLines == _kLinesPerBlock || _done + _block.size() >= _count;
    return;
  }
  std::int64_t checksum = -1;
  const bool good = _parseNumber(line, checksum) && !_blockBad && static_cast<std::uint32_t>(checksum) == _sum(_block);
  if (good && _faults.resendWriteChecksums > 0) {
    --_faults.resendWriteChecksums;
    out += "RESEND\r\n";
    ++_record.resendsSent;
  } else if (good) {
    std::copy(_block.begin(), _block.end(), _ram.begin() + (_address - kRamStart + _done));
    _done += static_cast<std::uint32_t>(_block.size());
    out += _faults.writeChecksumAnswer.empty() ? "OK\r\n" : _faults.writeChecksumAnswer;
  } else {
    out += "RESEND\r\n";
    ++_record.resendsSent;
  }
  _block.clear();
  _blockLines = 0;
  _blockBad = false;
  _awaitChecksum = false;
  if (_done == _count) _phase = Phase::commands;
}

std::uint32_t IspDevice::_startRead(const std::vector<std::int64_t>& args) {
  const std::int64_t address = args[0];
  const std::int64_t count = args[1];
  if (address < 0 || address % 4 != 0) return _kSrcAddrError;
  if (count <= 0 || count % 4 != 0) return _kCountError;
  if (address > UINT32_MAX || count > UINT32_MAX ||
      !_memory(static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(count))) {
    return _kSrcAddrNotMapped;
  }
  _address = static_cast<std::uint32_t>(address);
  _count = static_cast<std::uint32_t>(count);
  _done = 0;
  _phase = Phase::readAnswer;
  return _kSuccess;
}

void IspDevice::_sendReadBlock(std::string& out) {
  const std::uint32_t size =
      std::min<std::uint32_t>(_count - _done, static_cast<std::uint32_t>(_kBytesPerLine * _kLinesPerBlock));
  const std::uint8_t* source = _memory(_address + _done, size);
  _block.assign(source, source + size);
  for (std::size_t at = 0; at < size; at += _kBytesPerLine) {
    if (!_countDataLine()) return;
    out += simUuEncodeLine(source + at, std::min<std::size_t>(_kBytesPerLine, size - at)) + "\r\n";
  }
  std::uint32_t checksum = _sum(_block);
  if (_faults.wrongReadChecksums > 0) {
    --_faults.wrongReadChecksums;
    ++checksum;
  }
  out += _decimalLine(checksum);
}

void IspDevice::_readAnswer(const std::string& line, std::string& out) {
  if (line == "RESEND") {
    ++_record.resendsReceived;
    _sendReadBlock(out);
    return;
  }
  if (line != "OK") {  // not a transfer answer: the read is abandoned
    _phase = Phase::commands;
    _command(line, out);
    return;
  }
  _done += static_cast<std::uint32_t>(_block.size());
  if (_done == _count) {
    _phase = Phase::commands;
    return;
  }
  _sendReadBlock(out);
}

}  // namespace qfsim
