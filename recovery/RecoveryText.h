// printf-style formatting into a std::string, for the recovery units' messages and commands.
#pragma once

#include <string>

#include "firmware/Log.h"  // QF_PRINTF_LIKE

// The formatted text, cut at 255 characters.
std::string RecoveryFormat(const char* format, ...) QF_PRINTF_LIKE(1, 2);
