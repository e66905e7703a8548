// The millisecond clock and sleeps.
#pragma once

#include <cstdint>

#include "common/aError.h"

// Milliseconds since the Unix epoch from the wall clock (it jumps when the clock is set); 0 when
// the clock cannot be read. For measuring waits use aTime_GetMonotonicMSTicks.
uint64_t aTime_GetMSTicks();

// Milliseconds from a clock that never jumps, counted from an arbitrary start: the clock for
// deadlines and elapsed times.
uint64_t aTime_GetMonotonicMSTicks();

// Sleeps the given milliseconds in steps of at most 999,999 microseconds; returns at once for 0.
// An interrupted step is not made up. Always aErrNone.
aErr aTime_MSSleep(uint32_t milliseconds);
