// The private part of a Link (internal to the object layer): the device link in use, the
// settings, the name and the specifier, and the helpers that create and wait for device links.
#pragma once

#include <cstdint>
#include <string>

#include "api/Link.h"
#include "common/aLogger.h"

namespace Tarnwick::Quillfern {

struct Link::impl {
  impl(Link* owner, const char* name);
  ~impl();
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;

  // Keeps a copy; refused (the old copy stays) while connected. aErrBusy or aErrNone.
  aErr setSpecifier(const linkSpec& spec);
  const linkSpec* getSpecifier() const { return specifier; }
  const char* getName() const { return hasName ? name.c_str() : nullptr; }

  // Makes the device link for the specifier under the settings, holding the process-wide
  // creation lock: linkId receives it, or 0 when none was made (a creator's failure is not an
  // error here). linkId on entry is the reference a client link may share; it never stays
  // behind unless a use of it was taken. aErrNone, aErrConfiguration (networked type with
  // networking off), aErrMode (unknown type), or the networked road's own failure.
  aErr linkCreateHelper(const linkSpec& spec);
  // Finds the module and connects the link to it.
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link* link);
  // Polls the device link's status every 10 ms, count times at most, until it runs.
  aErr waitForLink(uint16_t count);
  // linkCreateHelper for the stored specifier, then waitForLink(200).
  aErr connectHelper();
  bool connected() const;

  Link* owner;
  aLinkID linkId = 0;
  aLogger* logger = nullptr;
  OrvaneConfig config;
  bool hasName = false;
  std::string name;  // at most kMaxNameLength characters
  linkSpec* specifier = nullptr;

  static constexpr size_t kMaxNameLength = 1024;
};

}  // namespace Tarnwick::Quillfern
