#include "common/cobs.h"

#include <cstring>

namespace {

// Bytes of input read ahead by the in-place encoder before it writes over them.
constexpr size_t sLookAhead = 10;

// The encoder proper. next() delivers the input bytes in order; put(position, byte) stores one
// output byte and may refuse it (false), which ends the encoding with 0.
template <typename Next, typename Put>
size_t sEncode(size_t length, Next next, Put put) {
  size_t codePosition = 0;
  size_t out = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = next();
    if (byte != 0) {
      if (!put(out++, byte)) return 0;
      ++code;
    }
    if (byte == 0 || code == 0xFF) {
      if (!put(codePosition, code)) return 0;
      codePosition = out++;
      code = 1;
    }
  }
  if (!put(codePosition, code)) return 0;
  return out;
}

// Reads a buffer's input through a ring of look-ahead bytes, and tells which positions of the
// buffer may be overwritten: those already read, and those past the input.
class sInPlaceInput {
 public:
  sInPlaceInput(const uint8_t* buffer, size_t length) : buffer_(buffer), length_(length) {
    while (loaded_ < length_ && loaded_ < sLookAhead) ring_[loaded_] = buffer_[loaded_], ++loaded_;
  }
  uint8_t next() {
    const uint8_t byte = ring_[taken_ % sLookAhead];
    if (loaded_ < length_) {
      ring_[loaded_ % sLookAhead] = buffer_[loaded_];
      ++loaded_;
    }
    ++taken_;
    return byte;
  }
  bool mayOverwrite(size_t position) const { return position < loaded_ || position >= length_; }

 private:
  const uint8_t* buffer_;
  size_t length_;
  size_t loaded_ = 0;
  size_t taken_ = 0;
  uint8_t ring_[sLookAhead] = {};
};

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
  if (!destination || (!source && length > 0)) return 0;
  size_t in = 0;
  return sEncode(
      length, [&] { return source[in++]; },
      [&](size_t position, uint8_t byte) {
        destination[position] = byte;
        return true;
      });
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
  if (!buffer) return 0;
  // A dry run first, so that an input that cannot be encoded in place is left untouched.
  sInPlaceInput probe(buffer, length);
  const size_t fits = sEncode(
      length, [&] { return probe.next(); }, [&](size_t position, uint8_t) { return probe.mayOverwrite(position); });
  if (fits == 0) return 0;
  sInPlaceInput input(buffer, length);
  return sEncode(
      length, [&] { return input.next(); },
      [&](size_t position, uint8_t byte) {
        buffer[position] = byte;
        return true;
      });
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
  if (!source || !destination) return 0;
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    const uint8_t code = source[in++];
    if (code == 0) return 0;
    const size_t blockLength = code - 1u;
    if (blockLength > length - in) return 0;
    std::memmove(destination + out, source + in, blockLength);
    in += blockLength;
    out += blockLength;
    if (code != 0xFF && in < length) destination[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) { return cobs_decode(buffer, length, buffer); }
