#include "firmware/ServerReply.h"

#include <cstdlib>
#include <cstring>

#include "firmware/Log.h"

namespace {

// Reply lines are cut at line feeds only.
const char delimiters[] = "\n";

const char* _orEmpty(const char* text) { return text ? text : ""; }

void _addBuildEntry(std::map<std::string, std::string>& builds, char* line) {
  Log::log(Log::DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line);
  char* save = nullptr;
  const char* build = strtok_r(line, ";\r\n", &save);
  if (build == nullptr) return;
  const char* version = _orEmpty(strtok_r(nullptr, ";\r\n", &save));
  builds.emplace(build, version);  // keeps the first entry for a build
  Log::log(Log::DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build, version);
}

}  // namespace

bool ServerReply::parse_build(const std::string& text, uint32_t* build) {
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

ServerReply::ServerReply(char* body) : _rest(body) { _first = _nextLine(delimiters); }

char* ServerReply::_nextLine(const char* lineEnds) {
  char* line = strtok_r(_rest, lineEnds, &_save);
  _rest = nullptr;
  return line;
}

bool ServerReply::ok() const { return _first != nullptr && std::strncmp(_first, "ok", 2) == 0; }

void ServerReply::take_newest_build(std::string& build, std::string& firmware) {
  if (const char* line = _nextLine(delimiters)) build = line;
  if (const char* line = _nextLine("\r\n")) firmware = line;
}

// A server may wrap the Base64 text into lines: the whole rest of the reply is the file, its
// line breaks and blanks left out (one line of it alone would decode to a piece of the file).
void ServerReply::take_build_file(std::string& text) {
  text.clear();
  while (const char* line = _nextLine(delimiters)) {
    for (const char* at = line; *at; ++at)
      if (*at != '\r' && *at != ' ' && *at != '\t') text += *at;
  }
}

void ServerReply::take_build_list(std::map<std::string, std::string>& builds) {
  while (char* line = _nextLine(delimiters)) {
    if (std::strlen(line) >= 3) _addBuildEntry(builds, line);
  }
}

void ServerReply::take_recovery_info(uint32_t* serial, uint32_t* build) {
  const char* serialLine = _nextLine(delimiters);
  const char* buildLine = _nextLine(delimiters);
  Log::log(Log::DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", _orEmpty(_first),
           _orEmpty(serialLine), _orEmpty(buildLine));
  if (serialLine && serial) *serial = static_cast<uint32_t>(std::strtoul(serialLine, nullptr, 16));
  if (buildLine && build) *build = static_cast<uint32_t>(std::strtoul(buildLine, nullptr, 0));
}
