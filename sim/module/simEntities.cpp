#include "sim/module/simEntities.h"
#include "sim/module/simBigEndian.h"

#include <algorithm>
#include <set>

namespace qfsim {

namespace {

constexpr std::uint8_t _kGet = 0x40;
constexpr std::uint8_t _kSet = 0x80;
constexpr std::uint8_t _kAck = 0xC0;
constexpr std::uint8_t _kRequest = 0x20;
constexpr std::uint8_t _kErrorFlag = 0x80;
constexpr std::uint8_t _kContinue = 0x80;
constexpr std::size_t _kChunk = 24;
constexpr std::size_t _kMaxByteValue = 64 * 1024;  // a host that never ends a set costs no more
constexpr std::size_t _kMaxI2CCount = 23;

std::size_t _width(SimValueKind kind) {
  switch (kind) {
    case SimValueKind::u8:
      return 1;
    case SimValueKind::u16:
      return 2;
    case SimValueKind::u32:
      return 4;
    default:
      return 0;
  }
}

std::vector<std::uint8_t> _concat(std::vector<std::uint8_t> head, const std::vector<std::uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// [class][option][index][chunk][sequence] packets of a byte value.
void _replyChunks(SimContext& context, std::uint8_t command, std::uint8_t option, std::uint8_t index,
                  const std::vector<std::uint8_t>& value) {
  const std::size_t packets = std::max<std::size_t>(1, (value.size() + _kChunk - 1) / _kChunk);
  for (std::size_t i = 0; i < packets; ++i) {
    const std::size_t from = i * _kChunk;
    const std::size_t to = std::min(value.size(), from + _kChunk);
    std::vector<std::uint8_t> data{command, option, index};
    data.insert(data.end(), value.begin() + static_cast<std::ptrdiff_t>(from),
                value.begin() + static_cast<std::ptrdiff_t>(to));
    const bool more = i + 1 < packets;
    data.push_back(static_cast<std::uint8_t>((more ? _kContinue : 0) | (i & 0x7F)));
    context.reply(SimPacket{context.state().address, std::move(data)});
  }
}

SimOption _scalar(SimValueKind kind, std::uint32_t value, bool writable) {
  SimOption option;
  option.kind = kind;
  option.value = simBigEndian(value, _width(kind));
  option.writable = writable;
  return option;
}

}  // namespace

SimOption SimOption::u8(std::uint8_t value, bool writable) { return _scalar(SimValueKind::u8, value, writable); }

SimOption SimOption::u16(std::uint16_t value, bool writable) { return _scalar(SimValueKind::u16, value, writable); }

SimOption SimOption::u32(std::uint32_t value, bool writable) { return _scalar(SimValueKind::u32, value, writable); }

SimOption SimOption::bytes(std::vector<std::uint8_t> value, bool writable) {
  SimOption option;
  option.kind = SimValueKind::bytes;
  option.value = std::move(value);
  option.writable = writable;
  return option;
}

SimOption SimOption::call() {
  SimOption option;
  option.kind = SimValueKind::call;
  option.readable = false;
  return option;
}

std::uint32_t SimOption::number() const {
  if (kind == SimValueKind::bytes) return 0;
  std::uint32_t result = 0;
  for (std::uint8_t byte : value) result = (result << 8) | byte;
  return result;
}

SimEntities::SimEntities() {
  const std::string name = "Simulated module";
  const struct {
    std::uint8_t option;
    SimOption value;
  } system[] = {
      {1, SimOption::u8(0)},             // module address: from the module's state
      {2, SimOption::u8(0, true)},       // router
      {3, SimOption::u8(10, true)},      // heartbeat interval
      {4, SimOption::u8(0, true)},       // LED
      {6, SimOption::u8(0, true)},       // boot slot
      {7, SimOption::u32(0x2C000005)},   // firmware version, packed (2.12.5)
      {8, SimOption::u8(0)},             // model: from the module's state
      {9, SimOption::u32(0)},            // serial number: from the module's state
      {10, SimOption::call()},           // save
      {11, SimOption::call()},           // reset
      {22, SimOption::u32(1234)},        // uptime
      {27, SimOption::u32(25000)},       // temperature
      {31, SimOption::bytes({}, true)},  // input power behaviour configuration
      {32, SimOption::bytes(std::vector<std::uint8_t>(name.begin(), name.end()), true)},  // name
      {37, SimOption::call()},                                                            // factory defaults
      {43, SimOption::u32(100)},                                                          // build
      {45, SimOption::u32(0)},                                                            // protocol features
  };
  for (const auto& entry : system) _options[{kSimClassSystem, 0, entry.option}] = entry.value;
  // The entity settings store: save (0), factory defaults (1), load (2), each given
  // class << 8 | index of the entity concerned.
  for (std::uint8_t option = 0; option <= 2; ++option) _options[{kSimClassStore, 0, option}] = SimOption::u32(0, true);
  _buses[0] = SimI2CBus{};
}

void SimEntities::define(std::uint8_t command, std::uint8_t index, std::uint8_t option, SimOption value) {
  std::lock_guard<std::mutex> hold(_lock);
  _options[{command, index, option}] = std::move(value);
}

void SimEntities::update(std::uint8_t command, std::uint8_t index, std::uint8_t option,
                         const std::function<void(SimOption&)>& change) {
  std::lock_guard<std::mutex> hold(_lock);
  change(_options[{command, index, option}]);
}

std::optional<SimOption> SimEntities::option(std::uint8_t command, std::uint8_t index, std::uint8_t option) const {
  std::lock_guard<std::mutex> hold(_lock);
  auto found = _options.find({command, index, option});
  if (found == _options.end()) return std::nullopt;
  return found->second;
}

void SimEntities::setGroup(std::uint8_t command, std::uint8_t index, std::uint8_t group) {
  std::lock_guard<std::mutex> hold(_lock);
  _groups[{command, index}] = group;
}

void SimEntities::updateBus(std::uint8_t bus, const std::function<void(SimI2CBus&)>& change) {
  std::lock_guard<std::mutex> hold(_lock);
  change(_buses[bus]);
}

SimI2CBus SimEntities::bus(std::uint8_t bus) const {
  std::lock_guard<std::mutex> hold(_lock);
  auto found = _buses.find(bus);
  return found == _buses.end() ? SimI2CBus{} : found->second;
}

std::vector<std::uint8_t> SimEntities::commands() const {
  std::lock_guard<std::mutex> hold(_lock);
  std::set<std::uint8_t> commands{kSimCommandInfo, kSimCommandEcho, kSimClassI2C};
  for (const auto& entry : _options) commands.insert(std::get<0>(entry.first));
  return std::vector<std::uint8_t>(commands.begin(), commands.end());
}

void SimEntities::handle(SimContext& context, const SimPacket& packet) {
  if (packet.data.empty()) return;
  std::lock_guard<std::mutex> hold(_lock);
  switch (packet.data[0]) {
    case kSimCommandInfo:
      return _info(context, packet);
    case kSimCommandEcho:
      return context.reply(packet);
    case kSimClassI2C:
      return _i2c(context, packet);
    default:
      return _entityRequest(context, packet);
  }
}

bool SimEntities::_hasEntity(std::uint8_t command, std::uint8_t index) const {
  auto first = _options.lower_bound({command, index, 0});
  return first != _options.end() && std::get<0>(first->first) == command && std::get<1>(first->first) == index;
}

std::vector<std::uint8_t> SimEntities::_identityValue(const SimState& state, const Key& key) const {
  if (std::get<0>(key) != kSimClassSystem || std::get<1>(key) != 0) return {};
  switch (std::get<2>(key)) {
    case 1:
      return {state.address};
    case 8:
      return {state.model};
    case 9:
      return simBigEndian(state.serialNumber, 4);
    default:
      return {};
  }
}

void SimEntities::_entityRequest(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  if (data.size() < 3 || !(data[2] & _kRequest)) return;
  const std::uint8_t kind = data[1] & _kAck;
  if (kind != _kGet && kind != _kSet) return;
  const std::uint8_t command = data[0];
  const std::uint8_t option = data[1] & 0x3F;
  const std::uint8_t index = data[2] & 0x1F;
  const std::uint8_t replyOption = kind == _kGet ? option : static_cast<std::uint8_t>(option | _kAck);
  const std::uint8_t address = context.state().address;
  auto fail = [&](std::uint8_t code) {
    context.reply(SimPacket{address, {command, replyOption, static_cast<std::uint8_t>(index | _kErrorFlag), code}});
  };

  if (!_hasEntity(command, index)) return fail(simErr::invalidEntity);
  const Key key{command, index, option};
  auto found = _options.find(key);
  if (found == _options.end()) return fail(simErr::invalidOption);
  SimOption& entry = found->second;
  // A byte value being set is answered once, after its last chunk.
  const bool lastPacket =
      !(kind == _kSet && entry.kind == SimValueKind::bytes && data.size() >= 4 && (data.back() & _kContinue));
  if (!entry.script.empty() || entry.error) {
    if (!lastPacket) return;
    if (entry.error) fail(entry.error);
    for (const auto& reply : entry.script) context.reply(SimPacket{address, reply});
  } else if (kind == _kGet) {
    _get(context, key, entry, data);
  } else {
    _set(context, key, entry, data);
  }
  if (lastPacket)
    for (const auto& extra : entry.after) context.reply(SimPacket{address, extra});
}

void SimEntities::_get(SimContext& context, const Key& key, SimOption& option, const std::vector<std::uint8_t>& data) {
  const auto [command, index, number] = key;
  const std::uint8_t address = context.state().address;
  auto fail = [&](std::uint8_t code) {
    context.reply(SimPacket{address, {command, number, static_cast<std::uint8_t>(index | _kErrorFlag), code}});
  };
  if (!option.readable || option.kind == SimValueKind::call) return fail(simErr::permission);
  if (data.size() == 4) {
    auto sub = option.subvalues.find(data[3]);
    if (sub == option.subvalues.end()) return fail(simErr::indexRange);
    return context.reply(SimPacket{address, _concat({command, number, index}, sub->second)});
  }
  if (data.size() != 3) return fail(simErr::packet);
  if (option.kind == SimValueKind::bytes) return _replyChunks(context, command, number, index, option.value);
  std::vector<std::uint8_t> value = _identityValue(context.state(), key);
  if (value.empty()) value = option.value;
  context.reply(SimPacket{address, _concat({command, number, index}, value)});
}

void SimEntities::_set(SimContext& context, const Key& key, SimOption& option, const std::vector<std::uint8_t>& data) {
  const auto [command, index, number] = key;
  const std::uint8_t address = context.state().address;
  const auto ackOption = static_cast<std::uint8_t>(number | _kAck);
  auto fail = [&](std::uint8_t code) {
    context.reply(SimPacket{address, {command, ackOption, static_cast<std::uint8_t>(index | _kErrorFlag), code}});
  };
  if (option.kind == SimValueKind::bytes) {
    if (!option.writable) return fail(simErr::permission);
    return _setBytes(context, key, option, data);
  }
  const std::vector<std::uint8_t> payload(data.begin() + 3, data.end());
  if (option.kind == SimValueKind::call) {
    if (!payload.empty()) return fail(simErr::size);
  } else {
    if (!option.writable) return fail(simErr::permission);
    const std::size_t width = _width(option.kind);
    if (payload.size() == width) option.value = payload;
    else if (payload.size() == width + 1) option.subvalues[payload[0]].assign(payload.begin() + 1, payload.end());
    else return fail(simErr::size);
  }
  ++option.writes;
  context.reply(SimPacket{address, {command, ackOption, index}});
}

void SimEntities::_setBytes(SimContext& context, const Key& key, SimOption& option,
                            const std::vector<std::uint8_t>& data) {
  const auto [command, index, number] = key;
  const std::uint8_t address = context.state().address;
  const auto ackOption = static_cast<std::uint8_t>(number | _kAck);
  auto fail = [&](std::uint8_t code) {
    _incoming.erase(key);
    context.reply(SimPacket{address, {command, ackOption, static_cast<std::uint8_t>(index | _kErrorFlag), code}});
  };
  if (data.size() < 4) return fail(simErr::packet);
  const std::uint8_t sequence = data.back() & 0x7F;
  Incoming& incoming = _incoming[key];
  // Number 0 where another was due starts a new value; where 0 is due it may also be the
  // wrap after 127.
  if (sequence == 0 && incoming.nextSequence != 0) incoming = Incoming{};
  if (sequence != incoming.nextSequence) return fail(simErr::packet);
  incoming.bytes.insert(incoming.bytes.end(), data.begin() + 3, data.end() - 1);
  if (incoming.bytes.size() > _kMaxByteValue) return fail(simErr::size);
  if (data.back() & _kContinue) {
    incoming.nextSequence = static_cast<std::uint8_t>((sequence + 1) & 0x7F);
    return;
  }
  option.value = std::move(incoming.bytes);
  _incoming.erase(key);
  ++option.writes;
  context.reply(SimPacket{address, {command, ackOption, index}});
}

void SimEntities::_info(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  if (data.size() < 2) return;
  auto answer = [&](std::uint8_t value) { context.reply(SimPacket{context.state().address, _concat(data, {value})}); };
  if (data[1] == 0xFF && data.size() == 2) {
    auto build = _options.find({kSimClassSystem, 0, 43});
    const std::uint32_t number = build == _options.end() ? 0 : build->second.number();
    context.reply(SimPacket{context.state().address, _concat(data, simBigEndian(number, 4))});
  } else if (data[1] == 0x01 && data.size() == 6) {
    // [49 01 class option index flags]: flags 0x40 asks about get, 0x80 about set; the answer
    // takes the place of the flags.
    auto verdict = [&](std::uint8_t value) {
      context.reply(SimPacket{context.state().address, {data[0], data[1], data[2], data[3], data[4], value}});
    };
    if (!_hasEntity(data[2], data[4])) return verdict(simErr::invalidEntity);
    auto found = _options.find({data[2], data[4], data[3]});
    if (found == _options.end()) return verdict(simErr::invalidOption);
    const SimOption& option = found->second;
    const bool canGet = option.readable && option.kind != SimValueKind::call;
    const bool canSet = option.writable || option.kind == SimValueKind::call;
    if ((data[5] == _kGet && !canGet) || (data[5] == _kSet && !canSet)) return verdict(simErr::permission);
    verdict(0);
  } else if (data[1] == 0x04 && data.size() == 3) {
    std::set<std::uint8_t> indices;
    for (const auto& entry : _options)
      if (std::get<0>(entry.first) == data[2]) indices.insert(std::get<1>(entry.first));
    if (data[2] == kSimClassI2C)
      for (const auto& bus : _buses) indices.insert(bus.first);
    answer(static_cast<std::uint8_t>(indices.size()));
  } else if (data[1] == 0x05 && data.size() == 4) {
    std::size_t count = 0;
    for (const auto& entry : _options)
      if (std::get<0>(entry.first) == data[2] && std::get<1>(entry.first) == data[3]) ++count;
    answer(static_cast<std::uint8_t>(count));
  } else if (data[1] == 0x06 && data.size() == 4) {
    auto group = _groups.find({data[2], data[3]});
    answer(group == _groups.end() ? 0 : group->second);
  }
}

void SimEntities::_i2c(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  if (data.size() < 4) return;
  const std::uint8_t busNumber = data[1];
  const std::uint8_t target = data[2];
  auto answer = [&](std::uint8_t count, std::uint8_t status, const std::vector<std::uint8_t>& bytes = {}) {
    context.reply(SimPacket{context.state().address, _concat({kSimClassI2C, busNumber, target, count, status}, bytes)});
  };
  auto failure = [](std::uint8_t code) { return static_cast<std::uint8_t>(_kErrorFlag | code); };
  auto bus = _buses.find(busNumber);
  if (data.size() == 4) {  // [8][bus][1][on]: the pull-ups
    if (target != 1) return;
    if (bus == _buses.end()) return answer(data[3], failure(simErr::invalidEntity));
    bus->second.pullups = data[3] != 0;
    return answer(data[3], 0);
  }
  const std::uint8_t count = data[3];
  const bool read = target & 1;
  const std::uint8_t echoedCount = read ? count : 0;
  if (bus == _buses.end()) return answer(echoedCount, failure(simErr::invalidEntity));
  bus->second.lastSpeed = data[4];
  auto device = bus->second.devices.find(static_cast<std::uint8_t>(target >> 1));
  if (device == bus->second.devices.end()) return answer(echoedCount, failure(simErr::notFound));
  SimI2CDevice& chip = device->second;
  if (count > _kMaxI2CCount) return answer(echoedCount, failure(simErr::size));
  if (chip.status & _kErrorFlag) return answer(echoedCount, chip.status);
  if (read) {
    std::vector<std::uint8_t> bytes(count, 0);
    std::copy_n(chip.memory.begin(), std::min<std::size_t>(count, chip.memory.size()), bytes.begin());
    return answer(count, chip.status, bytes);
  }
  const std::vector<std::uint8_t> bytes(data.begin() + 5, data.end());
  if (bytes.size() != count) return answer(0, failure(simErr::size));
  chip.written = bytes;
  if (chip.memory.size() < bytes.size()) chip.memory.resize(bytes.size());
  std::copy(bytes.begin(), bytes.end(), chip.memory.begin());
  answer(0, chip.status);
}

}  // namespace qfsim
