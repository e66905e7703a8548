// Texts the updater's operations share: build numbers read from the server or the store, the
// stored file name of a build, the date recorded with a download or a transfer, and the serial
// rates a port may be given.
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

// The rates of the serial rate table (aSERIAL_BAUD_RATES), in its order: "2400, 4800, ...".
std::string baud_rate_list();
