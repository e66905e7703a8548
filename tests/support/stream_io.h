// Stream handles, reads and writes for tests. Reading goes the way a link's reader does: one
// byte per read, sleeping in aStream_WaitReadable whenever none is waiting, never spinning.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/aStream.h"

namespace qftest {

// A stream destroyed with the test.
struct StreamHandle {
  aStream* stream = nullptr;
  ~StreamHandle() { aStream_Destroy(&stream); }
};

struct StreamReading {
  std::vector<uint8_t> bytes;
  aErr stop;      // aErrNone when all came, aErrTimeout, or the read's or wait's failure
  int waits = 0;  // calls of aStream_WaitReadable
};

// Reads until count bytes came, a read or a wait failed, or timeoutMs passed.
inline StreamReading ReadFromStream(aStream* stream, size_t count, int timeoutMs, uint32_t waitMs = 50) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  StreamReading reading{{}, aErrNone};
  while (reading.bytes.size() < count && reading.stop == aErrNone) {
    char byte = 0;
    const aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      reading.bytes.push_back(static_cast<uint8_t>(byte));
    } else if (err != aErrNotReady) {
      reading.stop = err;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      reading.stop = aErrTimeout;
    } else {
      ++reading.waits;
      const aErr waited = aStream_WaitReadable(stream, waitMs);
      if (waited != aErrTimeout) reading.stop = waited;
    }
  }
  return reading;
}

inline aErr WriteToStream(aStream* stream, const std::vector<uint8_t>& bytes) {
  return aStream_Write(stream, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace qftest
