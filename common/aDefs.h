// Command bytes, special addresses and model codes shared by the link engine, the object layer,
// the updater and the link sharing server.
#pragma once

#include <cstdint>

// Command bytes (data[0] of a packet).
constexpr uint8_t cmdSYSTEM = 0x03;   // system entity
constexpr uint8_t cmdINFO = 0x49;     // module information (link level, not an entity)
constexpr uint8_t cmdSTREAM = 0x5D;   // stream control
constexpr uint8_t cmdUPGRADE = 0x5F;  // in-band firmware upgrade
// Special addresses of the link engine (also link-level command bytes).
constexpr uint8_t cmdMAGIC = 0xAD;       // synchronisation burst
constexpr uint8_t cmdFORCEROUTE = 0xAF;  // route control

// Options (data[1]) of the shared commands.
constexpr uint8_t sysOPTION_MODEL = 8;          // cmdSYSTEM: the model code
constexpr uint8_t streamOPTION_ENABLE = 0x81;   // cmdSTREAM: enable streams (a set of option 1)
constexpr uint8_t streamOPTION_DISABLE = 0x82;  // cmdSTREAM: disable them
constexpr uint8_t streamOPTION_QUERY = 0x41;    // cmdSTREAM: ask which streams are enabled

// The model's printable name for the known model codes (4, 5 and 13 to 27), "Unknown" for every
// other code. Static text.
const char* aDefs_GetModelName(uint32_t code);
