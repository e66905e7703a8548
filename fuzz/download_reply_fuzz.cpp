// Any bytes as the update server's answers along one download: the newest-build reply, the
// build list and the build file, cut apart at 0xFF bytes (no reply text holds one). The build
// texts they carry go through the build-number conversion, checked against a plain reading of
// the same rule and by a round trip; the build file's Base64 text is decoded and loaded by the
// bird file reader from a file, as the store hands it over.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/Base64.h"
#include "firmware/BirdFile.h"
#include "firmware/ServerReply.h"
#include "firmware/UpdateServerRequest.h"
#include "fuzz/memory_file.h"

namespace {

constexpr char kCut = '\xFF';
constexpr size_t kMaxInput = 1 << 16;

void _require(bool condition) {
  if (!condition) std::abort();
}

// The rule written out plainly: optional blanks, one to ten digits, optional blanks, and a
// value that fits 32 bits.
bool _isBuildText(const std::string& text, uint32_t* value) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return false;
  const std::string digits = text.substr(first, text.find_last_not_of(blanks) - first + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const size_t significant = digits.find_first_not_of('0');
  if (significant != std::string::npos && digits.size() - significant > 10) return false;
  const unsigned long long number = std::strtoull(digits.c_str(), nullptr, 10);
  if (number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

void _checkBuildText(const std::string& text) {
  uint32_t expected = 0;
  uint32_t build = 0xDEADBEEF;
  const bool parsed = ServerReply::parse_build(text, &build);
  _require(parsed == _isBuildText(text, &expected));
  if (!parsed) {
    _require(build == 0xDEADBEEF);
    return;
  }
  _require(build == expected);
  uint32_t again = 0;
  _require(ServerReply::parse_build(std::to_string(build), &again) && again == build);
}

void _newestBuild(std::string body) {
  _checkBuildText(body);  // the same text as a user would type it
  ServerReply reply(body.data());
  if (!reply.ok()) return;
  std::string build, firmware;
  reply.take_newest_build(build, firmware);
  _checkBuildText(build);
}

void _buildList(std::string body) {
  ServerReply reply(body.data());
  if (!reply.ok()) return;
  std::map<std::string, std::string> builds;
  reply.take_build_list(builds);
  for (const auto& entry : builds) _checkBuildText(entry.first);
}

void _buildFile(std::string body) {
  ServerReply reply(body.data());
  if (!reply.ok()) return;
  std::string text;
  reply.take_build_file(text);
  size_t length = 0;
  unsigned char* bytes = base64_decode(text.data(), text.size(), &length);
  if (bytes == nullptr) return;
  static MemoryFile stored;
  const char* path = stored.write(bytes, length);
  std::free(bytes);
  try {
    BirdFile bird(path);
    volatile uint32_t sink = bird.GetBuild() + bird.GetSerialNumber();
    (void)sink;
  } catch (const std::runtime_error&) {
    // Refused: the only outcome a broken file may have.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> replies(3);
  size_t at = 0;
  for (size_t i = 0; i < replies.size() && at <= input.size(); ++i) {
    const size_t cut = input.find(kCut, at);
    replies[i] = input.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
    at = cut == std::string::npos ? input.size() + 1 : cut + 1;
  }
  _newestBuild(replies[0]);
  _buildList(replies[1]);
  _buildFile(replies[2]);
  return 0;
}
