// Texts the updater's operations share: build numbers read from the server or the store, the
// stored file name of a build, and the date recorded with a download or a transfer.
#pragma once

#include <cstdint>
#include <string>

// A decimal number in the 32-bit unsigned range, blanks (a server line's carriage return
// included) allowed around it and nothing else: "12abc", "-1", "" and "4294967296" are refused.
bool _parse_build(const std::string& text, uint32_t* build);

// As _parse_build, logging a refused text; the build is then 0.
uint32_t _build_or_zero(const std::string& text);

// "<decimal build>.bird", the name a build has in a device's store folder.
std::string _build_file_name(uint32_t build);

// The ctime text of now without its line end.
std::string _date_text();
