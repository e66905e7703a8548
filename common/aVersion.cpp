#include "common/aVersion.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/qfVersion.h"

namespace {

constexpr uint8_t sMajor = QF_VERSION_MAJOR;
constexpr uint8_t sMinor = QF_VERSION_MINOR;
constexpr uint8_t sPatch = QF_VERSION_PATCH;
constexpr const char* sPhase = ".";

// Top byte of every current-layout word: it reads as 2.15 in the legacy fields, the first
// version that is not legacy, so both layouts can be told apart by that byte alone.
constexpr uint32_t sCurrentLayoutTag = 0x2F000000;
constexpr uint8_t sFirstCurrentMajor = 2;
constexpr uint8_t sFirstCurrentMinor = 15;

struct FeatureRow {
  const char* name;
  const char* description;
};

constexpr std::array<FeatureRow, 1> sFeatures = {{
    {"VERSION", "Version Query API"},
}};

constexpr const char* sFeatureSeparator = " - ";

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t version) {
  return aVersion_IsAtLeastCompare(sFirstCurrentMajor, sFirstCurrentMinor, 0, static_cast<uint8_t>(version >> 28),
                                   static_cast<uint8_t>((version >> 24) & 0xF), 255);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? (version >> 24) & 0xF : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buf, size_t size) {
  return std::snprintf(buf, size, "%d.%d.%d", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                       static_cast<int>(aVersion_ParsePatch(version)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (aVersion_IsAtLeastCompare(major, minor, 0, sFirstCurrentMajor, sFirstCurrentMinor, 0))
    return sCurrentLayoutTag | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
  return uint32_t{major} << 28 | uint32_t{minor & 0xFu} << 24 | patch;
}

uint8_t aVersion_GetMajor() { return sMajor; }
uint8_t aVersion_GetMinor() { return sMinor; }
uint8_t aVersion_GetPatch() { return sPatch; }

const char* aVersion_GetString() {
  // Formatted once, on first use; the static's initialisation is thread-safe.
  static const std::array<char, 15> text = [] {
    std::array<char, 15> formatted{};
    std::snprintf(formatted.data(), formatted.size(), "%d.%d%s%d", sMajor, sMinor, sPhase, sPatch);
    return formatted;
  }();
  return text.data();
}

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  if (a != d) return a > d;
  if (b != e) return b > e;
  return c >= f;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(sMajor, sMinor, sPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (!name) return false;
  for (const FeatureRow& row : sFeatures)
    if (std::strcmp(row.name, name) == 0) return true;
  return false;
}

char* aVersion_GetFeatureList() {
  size_t size = 1;  // terminating zero
  for (const FeatureRow& row : sFeatures)
    size += std::strlen(row.name) + std::strlen(sFeatureSeparator) + std::strlen(row.description);
  size += sFeatures.size() - 1;  // newlines between rows
  char* list = static_cast<char*>(std::calloc(size, 1));
  if (!list) return nullptr;
  size_t used = 0;
  for (size_t i = 0; i < sFeatures.size(); ++i)
    used += std::snprintf(list + used, size - used, "%s%s%s%s", i ? "\n" : "", sFeatures[i].name, sFeatureSeparator,
                          sFeatures[i].description);
  return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
  if (!list || !*list) return aErrParam;
  std::free(*list);
  *list = nullptr;
  return aErrNone;
}
