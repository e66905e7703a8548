// The updater's log switched off for a fuzz run: nothing is formatted, nothing is written.
#pragma once

#include <cstdint>

#include "firmware/Log.h"

inline void silenceLog() {
  Log::SetOutput(nullptr);
  Log::DeactivatePackage(0xFFFFFFFFu);
}
