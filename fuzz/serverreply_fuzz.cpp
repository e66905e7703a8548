// Feeds any bytes to the update server's reply parsers, as the body of each kind of reply, and to
// the Base64 decoder, with round trips: decoded bytes encode to text that decodes to the same
// bytes, and any bytes encode to text that decodes back to them. What each reader takes is
// checked against the harness's own reading of the body's lines (line feeds end lines, empty
// lines are none): the newest build and its firmware line, the build file's text, the build
// list's entries, the recovery numbers, and the build number parser.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "firmware/Base64.h"
#include "firmware/Log.h"
#include "firmware/ServerReply.h"
#include "firmware/UpdateServerRequest.h"

namespace {

// Log lines are formatted (and dropped), so their formats see the parsed text too.
const bool _logFormatted = [] {
  Log::ActivatePackage(Log::DEBUG_ServerComm);
  return true;
}();

void _require(bool condition) {
  if (!condition) std::abort();
}

// The body's text (up to a zero byte, as the reply reads it) and its lines.
struct Lines {
  std::string text;
  std::vector<std::string> lines;
  std::vector<size_t> ends;  // where each line ends in the text
  explicit Lines(const uint8_t* data, size_t size)
      : text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size)) {
    for (size_t at = 0; at < text.size();) {
      const size_t end = std::min(text.find('\n', at), text.size());
      if (end > at) {
        lines.push_back(text.substr(at, end - at));
        ends.push_back(end);
      }
      at = end + 1;
    }
  }
  bool ok() const { return !lines.empty() && lines[0].compare(0, 2, "ok") == 0; }
};

// The tokens of a text between any of the delimiters, as strtok cuts them.
std::vector<std::string> _tokens(const std::string& text, const char* delimiters) {
  std::vector<std::string> tokens;
  for (size_t at = text.find_first_not_of(delimiters); at != std::string::npos;) {
    const size_t end = std::min(text.find_first_of(delimiters, at), text.size());
    tokens.push_back(text.substr(at, end - at));
    at = text.find_first_not_of(delimiters, end);
  }
  return tokens;
}

template <typename Take>
void _parse(const uint8_t* data, size_t size, Take take) {
  std::string body(reinterpret_cast<const char*>(data), size);  // zero-terminated copy to cut up
  ServerReply reply(body.data());
  const Lines lines(data, size);
  _require(reply.ok() == lines.ok());
  if (reply.ok()) take(reply, lines);
}

void _checkNewestBuild(ServerReply& reply, const Lines& lines) {
  std::string build = "unset", firmware = "unset";
  reply.take_newest_build(build, firmware);
  _require(build == (lines.lines.size() > 1 ? lines.lines[1] : "unset"));
  // The firmware line is cut at a carriage return or a line feed, after the build line.
  const std::vector<std::string> rest =
      lines.lines.size() > 1 ? _tokens(lines.text.substr(std::min(lines.ends[1] + 1, lines.text.size())), "\r\n")
                             : std::vector<std::string>{};
  _require(firmware == (lines.lines.size() > 1 && !rest.empty() ? rest[0] : "unset"));
}

void _checkBuildFile(ServerReply& reply, const Lines& lines) {
  std::string text = "unset";
  reply.take_build_file(text);
  std::string expected;
  for (size_t i = 1; i < lines.lines.size(); ++i)
    for (char c : lines.lines[i])
      if (c != '\r' && c != ' ' && c != '\t') expected += c;
  _require(text == expected);
}

void _checkBuildList(ServerReply& reply, const Lines& lines) {
  std::map<std::string, std::string> builds;
  reply.take_build_list(builds);
  std::map<std::string, std::string> expected;
  for (size_t i = 1; i < lines.lines.size(); ++i) {
    if (lines.lines[i].size() < 3) continue;
    const std::vector<std::string> fields = _tokens(lines.lines[i], ";\r\n");
    if (!fields.empty()) expected.emplace(fields[0], fields.size() > 1 ? fields[1] : "");
  }
  _require(builds == expected);
  _require(UpdateServerRequest::SortBuildsByVersion(builds).size() == builds.size());
}

void _checkRecoveryInfo(ServerReply& reply, const Lines& lines) {
  uint32_t serial = 0xA5A5A5A5, build = 0x5A5A5A5A;
  reply.take_recovery_info(&serial, &build);
  const size_t count = lines.lines.size();
  _require(serial == (count > 1 ? uint32_t(std::strtoul(lines.lines[1].c_str(), nullptr, 16)) : 0xA5A5A5A5));
  _require(build == (count > 2 ? uint32_t(std::strtoul(lines.lines[2].c_str(), nullptr, 0)) : 0x5A5A5A5A));
}

// A build number: blanks around decimal digits of at most 32 bits, nothing else.
void _checkParseBuild(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
  const std::string digits = first == std::string::npos ? "" : text.substr(first, last - first + 1);
  const bool number =
      !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
      (digits.find_first_not_of('0') == std::string::npos || digits.size() - digits.find_first_not_of('0') < 10 ||
       (digits.size() - digits.find_first_not_of('0') == 10 &&
        digits.substr(digits.find_first_not_of('0')) <= "4294967295"));
  uint32_t build = 77;
  _require(ServerReply::parse_build(text, &build) == number);
  if (number) _require(build == uint32_t(std::strtoull(digits.c_str(), nullptr, 10)));
  else _require(build == 77);
}

std::string _roundTrip(const unsigned char* bytes, size_t size) {
  size_t textLength = 0;
  char* text = base64_encode(bytes, size, &textLength);
  if (text == nullptr) std::abort();
  size_t length = 0;
  unsigned char* back = base64_decode(text, textLength, &length);
  std::string result = back ? std::string(reinterpret_cast<char*>(back), length) : std::string();
  if (size != 0 && back == nullptr) std::abort();
  std::free(back);
  std::free(text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  _parse(data, size, _checkNewestBuild);
  _parse(data, size, _checkBuildFile);
  _parse(data, size, _checkBuildList);
  _parse(data, size, _checkRecoveryInfo);
  _checkParseBuild(data, size);

  size_t length = 0;
  unsigned char* decoded = base64_decode(reinterpret_cast<const char*>(data), size, &length);
  if (decoded != nullptr) {
    if (decoded[length] != 0) std::abort();
    if (_roundTrip(decoded, length) != std::string(reinterpret_cast<char*>(decoded), length)) std::abort();
    std::free(decoded);
  }
  if (_roundTrip(data, size) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  return 0;
}
