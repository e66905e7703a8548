// The private part of an EntityClass (internal to the object layer).
#pragma once

#include <cstdint>

#include "api/Entity.h"

namespace Tarnwick::Quillfern {

class Link;

struct EntityClass::impl {
  EntityClass* owner;
  Module* module = nullptr;  // not owned
  uint8_t entityClass = 0;
  uint8_t index = 0;

  // The bound module's link, or null without a module or link.
  Link* link() const;
};

}  // namespace Tarnwick::Quillfern
