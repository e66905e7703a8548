// Texts the updater's operations share: build numbers read from the server or the store, the
// stored file name of a build, and the date recorded with a download or a transfer.
#pragma once

#include <cstdint>
#include <string>

// As ServerReply::parse_build, logging a refused text; the build is then 0.
uint32_t build_or_zero(const std::string& text);

// "<decimal build>.bird", the name a build has in a device's store folder (the text form: the
// build as the server wrote it, already checked to be decimal).
std::string build_file_name(uint32_t build);
std::string build_file_name(const std::string& build);

// The ctime text of now without its line end.
std::string date_text();
