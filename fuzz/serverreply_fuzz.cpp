// Feeds any bytes to the update server's reply parsers, as the body of each kind of reply, and to
// the Base64 decoder, with round trips: decoded bytes encode to text that decodes to the same
// bytes, and any bytes encode to text that decodes back to them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "updater/Base64.h"
#include "updater/Log.h"
#include "updater/ServerReply.h"
#include "updater/UpdateServerRequest.h"

namespace {

// Log lines are formatted (and dropped), so their formats see the parsed text too.
const bool _logFormatted = [] {
  Log::ActivatePackage(Log::DEBUG_ServerComm);
  return true;
}();

template <typename Take>
void _parse(const uint8_t* data, size_t size, Take take) {
  std::string body(reinterpret_cast<const char*>(data), size);  // zero-terminated copy to cut up
  ServerReply reply(body.data());
  if (reply.ok()) take(reply);
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
  _parse(data, size, [](ServerReply& reply) {
    std::string build, firmware;
    reply.take_newest_build(build, firmware);
  });
  _parse(data, size, [](ServerReply& reply) {
    std::string text;
    reply.take_build_file(text);
  });
  _parse(data, size, [](ServerReply& reply) {
    std::map<std::string, std::string> builds;
    reply.take_build_list(builds);
    if (UpdateServerRequest::SortBuildsByVersion(builds).size() != builds.size()) std::abort();
  });
  _parse(data, size, [](ServerReply& reply) {
    uint32_t serial = 0, build = 0;
    reply.take_recovery_info(&serial, &build);
  });

  size_t length = 0;
  unsigned char* decoded = base64_decode(reinterpret_cast<const char*>(data), size, &length);
  if (decoded != nullptr) {
    if (decoded[length] != 0) std::abort();
    if (_roundTrip(decoded, length) != std::string(reinterpret_cast<char*>(decoded), length))
      std::abort();
    std::free(decoded);
  }
  if (_roundTrip(data, size) != std::string(reinterpret_cast<const char*>(data), size))
    std::abort();
  return 0;
}
