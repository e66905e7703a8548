// Link's cache of streamed entity values. This build keeps no stream subscriptions, so no
// value is ever cached and every entity get goes to the module.
#include "api/Link.h"

namespace Tarnwick::Quillfern {

aErr Link::getStreamValue(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint32_t* value) {
  if (!value) return aErrParam;
  return aErrNotFound;
}

}  // namespace Tarnwick::Quillfern
