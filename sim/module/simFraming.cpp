#include "sim/module/simFraming.h"

namespace qfsim {

namespace {

constexpr std::size_t _kMaxEncodedBody = 32;  // COBS of a 31-byte frame with its CRC

class RawFramer final : public SimFramer {
 public:
  void feed(const std::uint8_t* bytes, std::size_t length, std::vector<SimPacket>& out) override {
    for (std::size_t i = 0; i < length; ++i) _take(bytes[i], out);
  }

  std::vector<std::uint8_t> frame(const SimPacket& packet, bool) const override { return simRawFrame(packet); }

  void reset() override { _stage = Stage::address; }

 private:
  enum class Stage { address, length, data };

  void _take(std::uint8_t byte, std::vector<SimPacket>& out) {
    switch (_stage) {
      case Stage::address:
        if (byte == 0) return;
        _packet = SimPacket{byte, {}};
        _stage = Stage::length;
        return;
      case Stage::length:
        if (byte > kMaxPacketData) {
          ++_errors;
          _stage = Stage::address;
          return;
        }
        _expected = byte;
        _stage = Stage::data;
        break;
      case Stage::data:
        _packet.data.push_back(byte);
        break;
    }
    if (_packet.data.size() == _expected) {
      out.push_back(std::move(_packet));
      _stage = Stage::address;
    }
  }

  Stage _stage = Stage::address;
  SimPacket _packet;
  std::size_t _expected = 0;
};

class CobsFramer final : public SimFramer {
 public:
  void feed(const std::uint8_t* bytes, std::size_t length, std::vector<SimPacket>& out) override {
    for (std::size_t i = 0; i < length; ++i) {
      if (bytes[i] != 0) {
        if (_body.size() < _kMaxEncodedBody) _body.push_back(bytes[i]);
        else _overlong = true;
        continue;
      }
      if (!_body.empty() || _overlong) _endFrame(out);
    }
  }

  std::vector<std::uint8_t> frame(const SimPacket& packet, bool corruptCrc) const override {
    std::vector<std::uint8_t> plain = simRawFrame(packet);
    std::uint8_t crc = simCrc8(plain.data(), plain.size());
    plain.push_back(corruptCrc ? static_cast<std::uint8_t>(crc ^ 0xFF) : crc);
    std::vector<std::uint8_t> framed = simCobsEncode(plain.data(), plain.size());
    framed.push_back(0x00);
    return framed;
  }

  void reset() override {
    _body.clear();
    _overlong = false;
  }

 private:
  void _endFrame(std::vector<SimPacket>& out) {
    std::vector<std::uint8_t> plain;
    bool good = !_overlong && simCobsDecode(_body.data(), _body.size(), plain) && plain.size() > 2 &&
                plain.size() == std::size_t{plain[1]} + 3 && simCrc8(plain.data(), plain.size() - 1) == plain.back();
    reset();
    if (!good) {
      ++_errors;
      return;
    }
    out.push_back(SimPacket{plain[0], {plain.begin() + 2, plain.end() - 1}});
  }

  std::vector<std::uint8_t> _body;
  bool _overlong = false;
};

}  // namespace

std::uint8_t simCrc8(const std::uint8_t* bytes, std::size_t length) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

std::vector<std::uint8_t> simCobsEncode(const std::uint8_t* bytes, std::size_t length) {
  std::vector<std::uint8_t> out{0};
  std::size_t codeAt = 0;
  auto closeBlock = [&] {
    out[codeAt] = static_cast<std::uint8_t>(out.size() - codeAt);
    codeAt = out.size();
    out.push_back(0);
  };
  for (std::size_t i = 0; i < length; ++i) {
    if (bytes[i] == 0) {
      closeBlock();
      continue;
    }
    out.push_back(bytes[i]);
    if (out.size() - codeAt == 0xFF) closeBlock();
  }
  out[codeAt] = static_cast<std::uint8_t>(out.size() - codeAt);
  return out;
}

bool simCobsDecode(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& out) {
  out.clear();
  std::size_t at = 0;
  while (at < length) {
    std::size_t code = bytes[at];
    if (code == 0 || at + code > length) return false;
    out.insert(out.end(), bytes + at + 1, bytes + at + code);
    at += code;
    if (code != 0xFF && at < length) out.push_back(0);
  }
  return true;
}

std::vector<std::uint8_t> simRawFrame(const SimPacket& packet) {
  std::vector<std::uint8_t> frame;
  frame.reserve(packet.data.size() + 2);
  frame.push_back(packet.address);
  frame.push_back(static_cast<std::uint8_t>(packet.data.size()));
  for (std::uint8_t byte : packet.data) frame.push_back(byte);
  return frame;
}

std::unique_ptr<SimFramer> simMakeRawFramer() { return std::make_unique<RawFramer>(); }
std::unique_ptr<SimFramer> simMakeCobsFramer() { return std::make_unique<CobsFramer>(); }

}  // namespace qfsim
