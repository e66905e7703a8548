// Packed 32-bit firmware versions and the library's own version and feature list.
//
// A packed word has one of two layouts, told apart by its top byte:
//   legacy  (top byte below 0x2F): major bits 28-31, minor bits 24-27, patch bits 0-23
//   current (top byte 0x2F):       major bits 16-23, minor bits 8-15,  patch bits 0-7
// Versions below 2.15 pack as legacy, 2.15 and above as current.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);  // 24 bits wide in the legacy layout

// Writes "major.minor.patch" into buf (snprintf rules) and returns what snprintf returns.
int aVersion_ParseString(uint32_t version, char* buf, size_t size);

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's own version, set once in the build (see common/qfVersion.h.in).
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();  // static text, "major.minor.patch"

// (a, b, c) is at least (d, e, f), compared byte by byte in that order.
bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);
// The library is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// A feature of that exact name is offered.
bool aVersion_HasFeature(const char* name);
// A new text with one "name - description" line per feature (no newline after the last); null
// when memory runs out. Release it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
// Frees the list and clears the caller's pointer.
aErr aVersion_DestroyFeatureList(char** list);
