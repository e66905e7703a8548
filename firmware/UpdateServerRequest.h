// The update server's requests. Each is one GET of the base URL with its query pairs; a request
// succeeds only on HTTP status 200 with a body whose first non-empty line begins with "ok".
// No request throws: every failure is logged (package DEBUG_ServerComm) and returns false, and
// out arguments are written only on success (GetBuildList clears its map first).
// Runs on the calling thread; the requests share nothing but the log, so any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "firmware/Base64.h"  // the decoder of the build files this client fetches

class UpdateServerRequest {
 public:
  using BuildList = std::map<std::string, std::string>;
  using BuildEntry = std::pair<std::string, std::string>;

  // Base URL used when a request is given a null url.
  static const char* const default_url;

  // Is the server there: op=hi, rv=2.
  static bool ping(const char* url);

  // Newest build for a serial number: line 2 is the build text (a carriage return before its line
  // feed stays), line 3 the firmware text (ends at a carriage return); each set only when sent.
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url);

  // A build's bird file as Base64 text: reply is cleared, then set to the lines after the first
  // joined (a server may wrap the text). An "ok" alone leaves reply empty, which callers treat
  // as a failed download.
  static bool GetBuild(uint32_t serial, const char* firmware, const char* build, std::string& reply, const char* url,
                       bool noCal);

  // Every build offered for a serial number: each line after the first of at least 3 characters
  // is "build;version"; the first entry for a build wins, a missing version is empty.
  static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url);

  // Serial number (hexadecimal line 2) and build (line 3, decimal, 0x hexadecimal or 0 octal)
  // for the four fingerprint words; each set only when sent.
  static bool GetRecoveryInfo(const uint32_t* words, uint32_t* serial, uint32_t* build, const char* url);

  // Newest version first. Entries whose version is not three numbers follow all others; entries
  // that compare equal keep the map's key order, so the order is fully defined.
  static std::vector<BuildEntry> SortBuildsByVersion(const BuildList& builds);

  // The three dot-separated parts of a version text, or empty when it has another count.
  static std::vector<std::string> SplitQuillfernVersion(const std::string& version);
};
