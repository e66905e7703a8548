// Collects what a discovery reports, for tests: every find is counted and copied; the callback
// says stop after `stopAfter` calls (0 = never).
#pragma once

#include <cstddef>
#include <vector>

#include "common/discover.h"

namespace qftest {

struct DiscoveryFinds {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;

  static bool collect(const linkSpec* found, bool* counted, void* ref) {
    DiscoveryFinds* self = static_cast<DiscoveryFinds*>(ref);
    self->specs.push_back(*found);
    *counted = true;
    return self->stopAfter == 0 || self->specs.size() < self->stopAfter;
  }
};

}  // namespace qftest
