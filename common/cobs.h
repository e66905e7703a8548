// Consistent Overhead Byte Stuffing: turns any bytes into bytes without 0x00, so that a single
// 0x00 can delimit frames on a serial line.
//
// The input is cut at every 0x00 into blocks; each block is written as a code byte (1 + the
// number of its non-zero bytes) followed by those bytes, and the 0x00 itself is dropped. A run of
// 254 non-zero bytes is written with the code 0xFF and no implied 0x00. The final block is always
// written, so an input ending in 0x00 ends with the code 0x01 and an empty input encodes as 0x01.
// Decoding restores a 0x00 after every block whose code is not 0xFF, except after the last.
#pragma once

#include <cstddef>
#include <cstdint>

// The most bytes that encoding length bytes can produce.
constexpr size_t cobs_max_encoded_length(size_t length) { return length + 1 + length / 254; }

// Encodes length bytes of source into destination, which needs room for
// cobs_max_encoded_length(length) bytes; the two must not overlap. Returns the encoded length
// (0 only for a missing pointer).
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the first length bytes of buffer within the buffer, which needs room for the encoded
// length (length + 1 below 254 bytes). The output runs ahead of the input, which is read through
// a small look-ahead; when runs of 254 or more non-zero bytes would make the output overtake
// input not yet read, nothing is changed and the result is 0. Otherwise the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes length encoded bytes of source into destination (room for length bytes is always
// enough; the two may be the same buffer). Returns the decoded length, or 0 when the input is
// not an encoding: a code byte 0x00, or a block that runs past the end of the input. The
// destination's content is then unspecified.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

// cobs_decode within one buffer: the output never gets ahead of the input.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
