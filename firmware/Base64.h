// Base64 text of the update server's build files and its decoding.
#pragma once

#include <cstddef>

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks). The result is allocated with
// malloc and released by the caller with free; it carries one extra 0 byte after outLength bytes.
// Returns null for an empty text, a length that is not a multiple of 4, a character outside the
// alphabet, or padding anywhere but at the end of the last group.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

// Zero-terminated Base64 text of length bytes (malloc'd, released with free), outLength set to its
// length without the terminator; null when it cannot be allocated.
char* base64_encode(const unsigned char* bytes, size_t length, size_t* outLength);
