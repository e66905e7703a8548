#include "server/aInprocPair.h"

#include <atomic>
#include <cstdint>

bool aInprocPair_Join(zsock_t* bound, zsock_t* connected) {
  // Endpoint names are never reused within the process, so a pair never meets another's peer.
  static std::atomic<uint64_t> pairCount{0};
  const unsigned long long pair = ++pairCount;
  return zsock_bind(bound, "inproc://pair-%llu", pair) == 0 &&
         zsock_connect(connected, "inproc://pair-%llu", pair) == 0;
}
