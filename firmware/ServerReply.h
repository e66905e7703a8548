// A reply body of the update server, cut into lines in place (no line is copied): lines end at a
// line feed, empty lines are skipped, and a carriage return before a line feed stays part of its
// line. The reply is good when its first line begins with "ok"; the take functions read the
// values of one request from the lines after it, each at most once.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class ServerReply {
 public:
  // A build number's text, from a reply line or the user: a decimal number in the 32-bit
  // unsigned range, blanks (a reply line's carriage return included) allowed around it and
  // nothing else: "12abc", "-1", "" and "4294967296" are refused, *build then left as it was.
  static bool parse_build(const std::string& text, uint32_t* build);

  // body: zero-terminated text that the reply cuts up (it is changed) and that must outlive it.
  explicit ServerReply(char* body);

  // True when there is a first line and it begins with "ok".
  bool ok() const;
  // The first line, or null for a body without any line.
  const char* first_line() const { return _first; }

  // Newest build: build = line 2 (cut at a line feed), firmware = line 3 (cut at a carriage
  // return or line feed); each written only when its line exists.
  void take_newest_build(std::string& build, std::string& firmware);
  // A build file: text = every line after the first, joined without line breaks or blanks;
  // empty when there is none.
  void take_build_file(std::string& text);
  // Build list: every line of at least 3 characters is "build;version" (cut on ";", carriage
  // return, line feed); the first entry for a build wins and a missing version is empty.
  void take_build_list(std::map<std::string, std::string>& builds);
  // Recovery: serial = line 2 as hexadecimal, build = line 3 as strtoul base 0 (0x hexadecimal,
  // leading 0 octal, else decimal); each written only when its line exists and its pointer is not
  // null.
  void take_recovery_info(uint32_t* serial, uint32_t* build);

 private:
  char* _nextLine(const char* delimiters);

  char* _rest;
  char* _save = nullptr;
  const char* _first;
};
