#include "updater/UpdaterText.h"

#include <ctime>

#include "updater/Log.h"
#include "updater/Updater.h"

bool _parse_build(const std::string& text, uint32_t* build) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  const size_t last = text.find_last_not_of(" \t\r\n");
  uint64_t value = 0;
  for (size_t i = first; i <= last; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return false;
  }
  *build = static_cast<uint32_t>(value);
  return true;
}

uint32_t _build_or_zero(const std::string& text) {
  uint32_t build = 0;
  if (!_parse_build(text, &build)) Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return build;
}

std::string _build_file_name(uint32_t build) { return std::to_string(build) + Updater::BIRD_FILE_EXTENSION; }

std::string _date_text() {
  const time_t now = time(nullptr);
  char text[64] = "";
  if (ctime_r(&now, text) == nullptr) return "";
  std::string date(text);
  if (!date.empty()) date.pop_back();
  return date;
}
