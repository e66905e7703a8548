#include "firmware/UpdaterText.h"

#include <ctime>

#include "common/aTransports.h"
#include "firmware/FirmwareSource.h"
#include "firmware/Log.h"
#include "firmware/ServerReply.h"

uint32_t build_or_zero(const std::string& text) {
  uint32_t build = 0;
  if (!ServerReply::parse_build(text, &build))
    Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return build;
}

std::string build_file_name(uint32_t build) { return build_file_name(std::to_string(build)); }
std::string build_file_name(const std::string& build) { return build + FirmwareSource::BIRD_FILE_EXTENSION; }

std::string date_text() {
  const time_t now = time(nullptr);
  char text[64] = "";
  if (ctime_r(&now, text) == nullptr) return "";
  std::string date(text);
  if (!date.empty()) date.pop_back();
  return date;
}

std::string baud_rate_list() {
  std::string list;
  for (const uint32_t rate : aSERIAL_BAUD_RATES) list += (list.empty() ? "" : ", ") + std::to_string(rate);
  return list;
}
