#include "firmware/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "firmware/HTTPRequest.h"
#include "firmware/Log.h"
#include "firmware/ServerReply.h"

const char* const UpdateServerRequest::default_url = "http://updates.tarnwick.example/cgi/u";

namespace {

using Query = std::map<std::string, std::string>;

const char* _orEmpty(const char* text) { return text ? text : ""; }

std::string _hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

void _logStatus(const char* name, HTTPResponse& response) {
  if (std::strcmp(name, "ping") == 0) {
    Log::log(Log::DEBUG_ServerComm, "PING ==> [%ld] [%s]\n", response.get_status(), response.get_response());
  } else {
    Log::log(Log::DEBUG_ServerComm, "%s ==> [%ld] [%s]\n", name, response.get_status(), response.get_response());
  }
}

// One request: GET url with query, accept only status 200 with a first line beginning "ok", then
// let takeValues read the reply's values. Every failure is logged and gives false.
template <typename TakeValues>
bool _request(const char* name, const char* url, const Query& query, TakeValues takeValues) {
  try {
    HTTPResponse response = HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, query);
    if (response.get_status() != 200) {
      _logStatus(name, response);
      return false;
    }
    ServerReply reply(response.get_response());
    if (!reply.ok()) {
      Log::log(Log::DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      return false;
    }
    takeValues(reply);
    return true;
  } catch (const std::exception& e) {
    Log::log(Log::DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return false;
  }
}

using VersionTriple = std::array<uint8_t, 3>;

// A build entry with its version read once, before sorting.
struct RankedBuild {
  UpdateServerRequest::BuildEntry entry;
  std::optional<VersionTriple> version;
};

// Each part converted as std::stoi does (leading blanks and a sign allowed, trailing characters
// ignored), kept to its low 8 bits; nothing when there are not three parts or one has no number.
std::optional<VersionTriple> _parseVersion(const std::string& text) {
  const std::vector<std::string> parts = UpdateServerRequest::SplitQuillfernVersion(text);
  if (parts.size() != 3) return std::nullopt;
  VersionTriple triple{};
  try {
    for (size_t i = 0; i < 3; ++i) triple[i] = static_cast<uint8_t>(std::stoi(parts[i]));
  } catch (const std::exception& e) {
    Log::log(Log::DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return std::nullopt;
  }
  return triple;
}

// True when a is newer than b. A version that does not parse is older than every one that does
// and equal to every other that does not, which keeps this a strict weak ordering.
bool _sortVersion(const RankedBuild& a, const RankedBuild& b) {
  if (!a.version) return false;
  if (!b.version) return true;
  return *a.version > *b.version;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
  return _request("ping", url, {{"op", "hi"}, {"rv", "2"}}, [](ServerReply&) {});
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url) {
  return _request("QueryBuild", url, {{"op", "qu"}, {"sn", _hex8(serial)}},
                  [&](ServerReply& reply) { reply.take_newest_build(build, firmware); });
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* firmware, const char* build, std::string& reply,
                                   const char* url, bool noCal) {
  const Query query{{"bld", _orEmpty(build)},
                    {"fw", _orEmpty(firmware)},
                    {"no_cal", noCal ? "true" : "false"},
                    {"op", "bird"},
                    {"sn", _hex8(serial)}};
  return _request("GetBuild", url, query, [&](ServerReply& answer) { answer.take_build_file(reply); });
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
  builds.clear();
  return _request("GetBuildList", url, {{"op", "builds"}, {"sn", _hex8(serial)}},
                  [&](ServerReply& reply) { reply.take_build_list(builds); });
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* words, uint32_t* serial, uint32_t* build, const char* url) {
  if (words == nullptr) {
    Log::log(Log::DEBUG_ServerComm, "%s ==> [%s]\n", "GetRecoveryInfo", "no fingerprint");
    return false;
  }
  char fingerprint[64];
  std::snprintf(fingerprint, sizeof fingerprint, "%08X %08X %08X %08X", words[0], words[1], words[2], words[3]);
  const Query query{{"brief", "true"}, {"fp", fingerprint}, {"op", "fix"}};
  return _request("GetRecoveryInfo", url, query, [&](ServerReply& reply) { reply.take_recovery_info(serial, build); });
}

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
  std::vector<RankedBuild> ranked;
  ranked.reserve(builds.size());
  for (const auto& entry : builds) ranked.push_back({entry, _parseVersion(entry.second)});
  std::stable_sort(ranked.begin(), ranked.end(), _sortVersion);

  std::vector<BuildEntry> sorted;
  sorted.reserve(ranked.size());
  for (auto& build : ranked) sorted.push_back(std::move(build.entry));
  return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitQuillfernVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}
