// Feeds a module's replies, as they arrive over a real TCP link, to the object layer's requests:
// entity values (scalars and byte values in chunks), entity sets, the module's information
// requests, the I2C entity, raw packets, the address and model queries, store slots and factory
// data, and the version word. The module is fake_module.h's: every reply has the header its
// request's wait takes, and the rest comes from the input.
//
// Checks, for every operation, what the caller is given against what the module sent for it:
// a scalar is the value of a 1, 2 or 4 byte reply and nothing else is a value; an error reply
// never reads as success; a byte value read whole is exactly the chunks' bytes in order and
// never more than the buffer holds; information answers are taken only from replies of the
// right length that echo the request; an I2C read copies only bytes the reply carries; a store
// slot or factory read returns exactly the bytes of its read replies, never more than asked; a
// current-layout version word packs again to itself.
//
// Input: operations [operation][arguments...] read as they are needed, the module's reply
// records (fake_module.h) read as the requests come, both from the one input in turn.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/Entity.h"
#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "common/aVersion.h"
#include "common/internal/aLink_internal.h"
#include "fuzz/fake_module.h"

using namespace Tarnwick::Quillfern;
using namespace fuzzmodule::harness_terms;

namespace {

fuzzmodule::Host& _host() {
  static fuzzmodule::Host host(0x4D0D0001);
  return host;
}

bool _isError(const Packet& reply) { return reply.at(2) & fuzzmodule::kIndexError; }

// The one reply of the only exchange an operation made.
Packet _onlyReply(const std::vector<Exchange>& exchanges) {
  require(exchanges.size() == 1 && !exchanges[0].replies.empty());
  return exchanges[0].replies.front();
}

// An entity class the module takes for an entity (none of the commands with options of their own).
uint8_t _entityClass(uint8_t byte) {
  switch (byte) {
    case fuzzmodule::kInfo:
    case fuzzmodule::kEcho:
    case fuzzmodule::kBarrier:
    case fuzzmodule::kSlot:
    case fuzzmodule::kFactory:
    case fuzzmodule::kAddressQuery:
      return cmdSYSTEM;
    default:
      return byte;
  }
}

void _scalarGet(Module& module, fuzzmodule::Script& script) {
  EntityClass entity;
  entity.init(&module, _entityClass(script.take()), script.take() & UEI_INDEX_MASK);
  const uint8_t option = script.take() & UEI_OPTION_MASK;
  uint32_t value = 0;
  const aErr result = entity.getUEI32(option, &value);
  const Packet reply = _onlyReply(_host().settle());
  if (_isError(reply)) return require(result != aErrNone);
  const size_t size = reply.data.size();
  if (size != 4 && size != 5 && size != 7) return require(result == aErrSize);
  require(result == aErrNone && value == bigEndian(reply.data, 3, size - 3));
}

void _scalarSet(Module& module, fuzzmodule::Script& script) {
  EntityClass entity;
  entity.init(&module, _entityClass(script.take()), script.take() & UEI_INDEX_MASK);
  const uint8_t option = script.take() & UEI_OPTION_MASK;
  const uint8_t width = script.take() % 3;
  const uint32_t value = bigEndian(script.take(4), 0, 4);
  const aErr result = width == 0   ? entity.setUEI8(option, uint8_t(value))
                      : width == 1 ? entity.setUEI16(option, uint16_t(value))
                                   : entity.setUEI32(option, value);
  const std::vector<Exchange> exchanges = _host().settle();
  const Packet reply = _onlyReply(exchanges);
  require(exchanges[0].request.data.size() == 3u + (width == 0 ? 1 : width == 1 ? 2 : 4));
  require((result == aErrNone) == !_isError(reply));
}

// A byte value: exactly the bytes of the chunks up to the last, or a failure.
void _bytesGet(Module& module, fuzzmodule::Script& script) {
  EntityClass entity;
  entity.init(&module, _entityClass(script.take()), script.take() & UEI_INDEX_MASK);
  const uint8_t option = script.take() & UEI_OPTION_MASK;
  const size_t length = 1 + script.take() % 200;
  std::vector<uint8_t> buffer(length);
  size_t count = 0;
  _host().fake.byteValues = true;
  const aErr result = entity.getUEIBytes(option, buffer.data(), length, &count);
  _host().fake.byteValues = false;
  const std::vector<Exchange> exchanges = _host().settle();
  require(exchanges.size() == 1);
  require(count <= length);
  if (result != aErrNone) return;
  Bytes expected;
  bool ended = false;
  for (const Packet& chunk : exchanges[0].replies) {
    require(!ended && !_isError(chunk) && chunk.data.size() >= 4);
    expected.insert(expected.end(), chunk.data.begin() + 3, chunk.data.end() - 1);
    ended = !(chunk.data.back() & fuzzmodule::kChunkGoesOn);
  }
  require(ended && expected.size() == count && std::equal(expected.begin(), expected.end(), buffer.begin()));
}

void _information(Module& module, fuzzmodule::Script& script) {
  const uint8_t which = script.take() % 4;
  const uint8_t a = script.take(), b = script.take();
  if (which == 0) {
    uint32_t build = 0;
    const aErr result = module.getBuild(&build);
    const Packet reply = _onlyReply(_host().settle());
    require((result == aErrNone) == (reply.data.size() == 6));
    if (result == aErrNone) require(build == bigEndian(reply.data, 2, 4));
  } else if (which == 1) {
    static const uint8_t kFlags[] = {0, UEI_GET, UEI_SET};
    const uint8_t flags = kFlags[b % 3];
    const aErr result = module.hasUEI(a, b & UEI_OPTION_MASK, script.take(), flags);
    const std::vector<Exchange> exchanges = _host().settle();
    const Packet reply = _onlyReply(exchanges);
    const Bytes& request = exchanges[0].request.data;
    const bool echoes = reply.data.size() == 6 && std::equal(request.begin(), request.begin() + 5, reply.data.begin());
    require(result == (echoes ? aErr(reply.data[5]) : aErrUnknown));
  } else if (which == 2) {
    uint8_t count = 0xEE;
    const aErr result = module.subClassQuantity(a, b, &count);
    const std::vector<Exchange> exchanges = _host().settle();
    const Packet reply = _onlyReply(exchanges);
    const Bytes& request = exchanges[0].request.data;
    const bool answers =
        reply.data.size() == request.size() + 1 && std::equal(request.begin(), request.end(), reply.data.begin());
    require((result == aErrNone) == answers && count == (answers ? reply.data.back() : 0));
  } else {
    const Bytes echo = script.take(a % 28);
    const aErr result = module.debug(echo.data(), static_cast<uint8_t>(echo.size()));
    const std::vector<Exchange> exchanges = _host().settle();
    const Packet reply = _onlyReply(exchanges);
    require((result == aErrNone) == (reply.data == exchanges[0].request.data));
  }
}

void _i2c(Module& module, fuzzmodule::Script& script) {
  I2CClass bus;
  bus.init(&module, script.take() & 3);
  const uint8_t address = script.take();
  const uint8_t count = script.take() % 24;
  if (script.take() & 1) {
    const Bytes bytes = script.take(count);
    bus.write(static_cast<uint8_t>(address & 0xFE), count, bytes.data());
    _onlyReply(_host().settle());
    return;
  }
  uint8_t buffer[32];
  std::memset(buffer, 0xA5, sizeof buffer);
  const aErr result = bus.read(address, count, buffer);
  const Packet reply = _onlyReply(_host().settle());
  if (reply.data.size() < 5) return require(result == aErrPacket);
  if (reply.data[4] & 0x80) return require(result != aErrNone);
  require(result == aErrNone);
  const size_t copied = std::min<size_t>({reply.data[3], reply.data.size() - 5, count});
  require(std::equal(reply.data.begin() + 5, reply.data.begin() + 5 + copied, buffer));
  for (size_t i = copied; i < sizeof buffer; ++i) require(buffer[i] == 0xA5);
}

// A raw packet and the wait for the first reply beginning with its command byte.
void _raw(Module& module, fuzzmodule::Script& script) {
  const uint8_t command = 0x30 + (script.take() & 0x0F);
  const Bytes arguments = script.take(script.take() % 28);
  Link* link = module.getLink();
  require(link->sendPacket(fuzzmodule::kModuleAddress, command, uint8_t(arguments.size()), arguments.data()) ==
          aErrNone);
  uint8_t buffer[aPACKET_MAX_DATA];
  uint8_t length = 1;
  const aErr result = link->receivePacket(fuzzmodule::kModuleAddress, &command, &length, buffer);
  const Packet reply = _onlyReply(_host().settle());
  require(result == aErrNone && length == reply.data.size() &&
          std::equal(reply.data.begin(), reply.data.end(), buffer));
}

void _queries(Module& module, fuzzmodule::Script& script) {
  const uint8_t which = script.take() % 3;
  if (which == 0) {
    uint8_t address = 0;
    const aErr result = module.getLink()->getModuleAddress(&address);
    const Packet reply = _onlyReply(_host().settle());
    require(result == aErrNone && address == reply.address);
    return;
  }
  if (which == 1) {
    uint8_t address = 0;
    const aErr result = aLinkInternal::_aLink_GetModuleAddress(_host().linkId, &address);
    _host().settle();
    require(result != aErrNone || (address & 1) == 0);
    return;
  }
  uint8_t model = 0;
  const aErr result = aLinkInternal::_aLink_GetModel(_host().linkId, fuzzmodule::kModuleAddress, &model);
  const std::vector<Exchange> exchanges = _host().settle();
  require(exchanges.size() == 1);
  const Packet& reply = exchanges[0].replies.front();
  // The first packet after the question: a junk packet came first when its record said so.
  if (!(exchanges[0].controls.front() & fuzzmodule::kJunk) && result == aErrNone)
    require(reply.data.size() == 4 && model == reply.data[3]);
}

void _version(Module& module, fuzzmodule::Script& script) {
  SystemClass system;
  system.init(&module, 0);
  (void)script;
  uint32_t version = 0;
  if (system.getVersion(&version) != aErrNone) return (void)_host().settle();
  _host().settle();
  char text[40];
  const int written = aVersion_ParseString(version, text, sizeof text);
  require(written > 0 && size_t(written) < sizeof text);
  // A current-layout word of a version the current layout is for (2.15 on) packs again to itself.
  const uint8_t major = aVersion_ParseMajor(version), minor = aVersion_ParseMinor(version);
  if (!aVersion_IsLegacyFormat(version) && (version >> 24) == 0x2F && (major > 2 || (major == 2 && minor >= 15)))
    require(aVersion_Pack(major, minor, uint8_t(aVersion_ParsePatch(version))) == version);
}

// The data of the replies to the requests the predicate picks, from byte `from` on.
template <class Picks>
Bytes _carried(const std::vector<Exchange>& exchanges, Picks picks, size_t from) {
  Bytes carried;
  for (const Exchange& exchange : exchanges) {
    if (!picks(exchange.request)) continue;
    for (const Packet& reply : exchange.replies)
      if (reply.data.size() > from) carried.insert(carried.end(), reply.data.begin() + from, reply.data.end());
  }
  return carried;
}

void _storage(Module& module, fuzzmodule::Script& script) {
  Link* link = module.getLink();
  const uint8_t which = script.take() % 3, store = script.take(), slot = script.take();
  const size_t length = 1 + script.take() % 100;
  std::vector<uint8_t> buffer(length);
  size_t count = 0;
  if (which == 0) {
    size_t value = 0;
    const aErr result = link->storeSlotSize(fuzzmodule::kModuleAddress, store, slot, &value);
    const Packet reply = _onlyReply(_host().settle());
    const bool answers = !(reply.at(1) & 0x80) && reply.data.size() == 6;
    require((result == aErrNone) == answers && (!answers || value == bigEndian(reply.data, 4, 2)));
  } else if (which == 1) {
    const aErr result = link->unloadStoreSlot(fuzzmodule::kModuleAddress, store, slot, buffer.data(), length, &count);
    const std::vector<Exchange> exchanges = _host().settle();
    require(count <= length);
    if (result == aErrNone || result == aErrOverrun) {
      const auto reads = [](const Packet& request) { return request.at(0) == fuzzmodule::kSlot && request.at(1) == 6; };
      const Bytes carried = _carried(exchanges, reads, 3);
      require(carried.size() >= count && std::equal(buffer.begin(), buffer.begin() + count, carried.begin()));
    }
  } else {
    const aErr result = link->getFactoryData(fuzzmodule::kModuleAddress, slot & 0x0F, buffer.data(), length, &count);
    const std::vector<Exchange> exchanges = _host().settle();
    require(count <= length);
    if (result == aErrNone) {
      const auto reads = [kind = slot & 0x0F](const Packet& request) {
        return request.at(0) == fuzzmodule::kFactory && (request.at(1) & 0xB0) == 0 && (request.at(1) & 0x0F) == kind;
      };
      const Bytes carried = _carried(exchanges, reads, 2);
      require(carried.size() == count && std::equal(buffer.begin(), buffer.begin() + count, carried.begin()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzmodule::Host& host = _host();
  fuzzmodule::Script& script = host.begin(data, size);
  // A bounded number of operations: a long input is a long exchange, not an endless one.
  for (int operations = 0; operations < 32 && !script.empty(); ++operations) {
    switch (script.take() % 10) {
      case 0:
        _scalarGet(host.module, script);
        break;
      case 1:
        _scalarSet(host.module, script);
        break;
      case 2:
        _bytesGet(host.module, script);
        break;
      case 3:
        _information(host.module, script);
        break;
      case 4:
        _i2c(host.module, script);
        break;
      case 5:
        _raw(host.module, script);
        break;
      case 6:
        _queries(host.module, script);
        break;
      case 7:
        _version(host.module, script);
        break;
      default:
        _storage(host.module, script);
        break;
    }
  }
  return 0;
}
