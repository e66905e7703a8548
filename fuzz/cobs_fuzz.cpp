// Any bytes, as a serial line might bring them, into the framing stream's frame decoder: what
// comes out must be whole packets of at most 28 data bytes, and each must go out again as a
// frame that decodes to the same packet. The same bytes also go through the raw COBS routines,
// every buffer of exactly the size they promise to need, so a step outside is caught.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/aPacket.h"
#include "common/aStream_CobsEncoding.h"
#include "common/cobs.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Far more than any line delivers between two delimiters; larger inputs teach nothing more.
constexpr size_t kMaxInput = 1 << 16;

void _require(bool condition) {
  if (!condition) std::abort();
}

// The line under a framing stream: get delivers the input, write records the frames sent.
struct Line {
  Line(const uint8_t* data, size_t length) : input(data), size(length) {}
  const uint8_t* input;
  size_t size;
  size_t at = 0;
  Bytes sent;

  static aErr Get(char* byte, void* ref) {
    auto* line = static_cast<Line*>(ref);
    if (line->at == line->size) return aErrNotReady;
    *byte = static_cast<char>(line->input[line->at++]);
    return aErrNone;
  }
  static aErr Put(const char* byte, void* ref) { return Write(byte, 1, ref); }
  static aErr Write(const char* data, size_t length, void* ref) {
    auto* line = static_cast<Line*>(ref);
    line->sent.insert(line->sent.end(), data, data + length);
    return aErrNone;
  }
};

struct Decoded {
  std::vector<Bytes> packets;  // wire bytes
  int badFrames = 0;
  bool operator==(const Decoded&) const = default;
};

// What the framing stream decodes from the line's input.
Decoded _decodePackets(const uint8_t* data, size_t size) {
  Line line(data, size);
  aStream* stream = nullptr;
  _require(aStream_CreateCobsEncoding(Line::Get, Line::Put, Line::Write, nullptr, &line, &stream) == aErrNone);
  Decoded decoded;
  Bytes current;
  // One call per line byte and one per delivered byte, which are fewer than the line's bytes.
  for (size_t call = 0; call < 2 * size + 2; ++call) {
    char byte = 0;
    const aErr err = aStream_Read(stream, &byte, 1);
    _require(err == aErrNone || err == aErrNotReady || err == aErrPacket);
    if (err == aErrPacket) ++decoded.badFrames;
    if (err != aErrNone) continue;
    current.push_back(static_cast<uint8_t>(byte));
    _require(current.size() <= aPACKET_MAX_FRAME);
    if (current.size() >= 2 && current.size() == current[1] + 2u) {
      _require(current[1] <= aPACKET_MAX_DATA);
      decoded.packets.push_back(current);
      current.clear();
    }
  }
  _require(current.empty());
  aStream_Destroy(&stream);
  return decoded;
}

// The frames the framing stream sends for the bytes written to it.
Bytes _encode(const uint8_t* data, size_t size) {
  Line line(nullptr, 0);
  aStream* stream = nullptr;
  _require(aStream_CreateCobsEncoding(Line::Get, Line::Put, Line::Write, nullptr, &line, &stream) == aErrNone);
  _require(aStream_Write(stream, reinterpret_cast<const char*>(data), size) == aErrNone);
  aStream_Destroy(&stream);
  return line.sent;
}

// Received packets go out again as frames that decode to them; whatever is written goes out as
// good frames only.
void _checkFraming(const uint8_t* data, size_t size) {
  for (const Bytes& packet : _decodePackets(data, size).packets) {
    if (packet[0] == 0) continue;  // never sent: no packet is addressed to 0
    const Bytes frame = _encode(packet.data(), packet.size());
    _require(!frame.empty() && frame.size() <= 33 && frame.back() == 0);
    _require(_decodePackets(frame.data(), frame.size()) == Decoded{{packet}, 0});
  }
  const Bytes frames = _encode(data, size);
  _require(_decodePackets(frames.data(), frames.size()).badFrames == 0);
}

// A heap buffer of exactly room bytes starting with (at most room of) the data.
std::unique_ptr<uint8_t[]> _exact(const uint8_t* data, size_t size, size_t room) {
  auto buffer = std::make_unique<uint8_t[]>(room);
  if (size > 0 && room > 0) std::memcpy(buffer.get(), data, std::min(size, room));
  return buffer;
}

void _checkCobs(const uint8_t* data, size_t size) {
  const size_t room = cobs_max_encoded_length(size);
  auto encoded = std::make_unique<uint8_t[]>(room);
  const size_t encodedLength = cobs_encode(data, size, encoded.get());
  _require(encodedLength > 0 && encodedLength <= room);
  _require(std::memchr(encoded.get(), 0, encodedLength) == nullptr);

  auto inPlace = _exact(data, size, encodedLength);
  const size_t inPlaceLength = cobs_encode_inplace(inPlace.get(), size);
  _require(inPlaceLength == 0 ||
           (inPlaceLength == encodedLength && std::memcmp(inPlace.get(), encoded.get(), encodedLength) == 0));
  _require(inPlaceLength != 0 || size >= 254);

  auto decoded = std::make_unique<uint8_t[]>(encodedLength);
  _require(cobs_decode(encoded.get(), encodedLength, decoded.get()) == size);
  _require(size == 0 || std::memcmp(decoded.get(), data, size) == 0);

  // Garbage decodes within its own length, in place or not.
  auto garbage = _exact(data, size, size);
  auto out = std::make_unique<uint8_t[]>(size);
  const size_t outLength = cobs_decode(garbage.get(), size, out.get());
  _require(outLength <= size);
  _require(cobs_decode_inplace(garbage.get(), size) == outLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  _checkFraming(data, size);
  _checkCobs(data, size);
  return 0;
}
