#include "sim/module/simStorage.h"

#include <algorithm>
#include <numeric>

namespace qfsim {

namespace {

constexpr std::uint8_t _kErrorFlag = 0x80;
constexpr std::uint8_t _kCapacity = 1, _kSize = 2, _kOpenRead = 3, _kOpenWrite = 4, _kRead = 6, _kWrite = 7,
                       _kClose = 8;
constexpr std::size_t _kSlotChunk = 25;
constexpr std::size_t _kFactoryChunk = 26;
constexpr std::uint8_t _kFactoryFirst = 0x40, _kFactoryWrite = 0x10, _kFactoryClose = 0x20, _kTypeMask = 0x0F;
constexpr std::uint8_t _kNotFound = 3, _kParam = 2, _kErrSize = 14, _kIO = 6;

std::uint8_t _sum(const std::vector<std::uint8_t>& bytes, std::size_t from) {
  return static_cast<std::uint8_t>(std::accumulate(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), 0u));
}

}  // namespace

void SimStorage::setSlot(std::uint8_t store, std::uint8_t slot, SimSlot contents) {
  std::lock_guard lock(_lock);
  _slots[{store, slot}] = std::move(contents);
}

SimSlot SimStorage::slot(std::uint8_t store, std::uint8_t slot) const {
  std::lock_guard lock(_lock);
  const auto found = _slots.find({store, slot});
  return found == _slots.end() ? SimSlot{} : found->second;
}

void SimStorage::setFactoryData(std::uint8_t type, std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(_lock);
  _factory[type] = std::move(bytes);
}

std::vector<std::uint8_t> SimStorage::factoryData(std::uint8_t type) const {
  std::lock_guard lock(_lock);
  const auto found = _factory.find(type);
  return found == _factory.end() ? std::vector<std::uint8_t>{} : found->second;
}

void SimStorage::setFaults(const SimStorageFaults& faults) {
  std::lock_guard lock(_lock);
  _faults = faults;
}

SimStorageRecord SimStorage::record() const {
  std::lock_guard lock(_lock);
  return _record;
}

// ---- store slots ----------------------------------------------------------------------------------

// Sends [04 op fields], or the failure the knobs ask for instead (fields[0..] being the store and
// slot, or the handle, that a failure repeats).
void SimStorage::_slotReply(SimContext& context, std::uint8_t op, std::vector<std::uint8_t> fields) {
  if (_faults.slotSilentOp == op && _answered[op]++ >= _faults.slotSilentAfter) return;
  std::vector<std::uint8_t> data{kSimCommandSlot, op};
  const std::size_t named = op <= _kOpenWrite ? 2 : 1;
  if (_faults.slotErrorOp == op) {
    data[1] = static_cast<std::uint8_t>(op | _kErrorFlag);
    data.insert(data.end(), fields.begin(),
                fields.begin() + static_cast<std::ptrdiff_t>(std::min(named, fields.size())));
    data.push_back(_faults.slotErrorCode);
  } else {
    data.insert(data.end(), fields.begin(), fields.end());
  }
  if (_faults.slotShortOp == op && data.size() > 4) data.resize(4);
  if (_faults.slotTwiceOp == op) context.reply(SimPacket{context.state().address, data});
  context.reply(SimPacket{context.state().address, std::move(data)});
}

void SimStorage::handleSlot(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  std::lock_guard lock(_lock);
  _record.slotRequests.push_back(data);
  if (data.size() < 3) return;
  const std::uint8_t op = data[1];
  switch (op) {
    case _kCapacity:
    case _kSize: {
      if (data.size() < 4) return;
      const auto found = _slots.find({data[2], data[3]});
      if (found == _slots.end()) {
        std::vector<std::uint8_t> failure{kSimCommandSlot, std::uint8_t(op | _kErrorFlag), data[2], data[3],
                                          _kNotFound};
        context.reply(SimPacket{context.state().address, std::move(failure)});
        return;
      }
      const std::size_t value = op == _kCapacity ? found->second.capacity : found->second.bytes.size();
      _slotReply(context, op, {data[2], data[3], std::uint8_t(value >> 8), std::uint8_t(value)});
      return;
    }
    case _kOpenRead:
    case _kOpenWrite:
      if (data.size() >= 4) _slotOpen(context, op, data[2], data[3]);
      return;
    case _kRead:
    case _kWrite:
    case _kClose:
      _slotTransfer(context, op, data);
      return;
    default:
      return;
  }
}

void SimStorage::_slotOpen(SimContext& context, std::uint8_t op, std::uint8_t store, std::uint8_t slot) {
  if (!_slots.count({store, slot})) {
    context.reply(
        SimPacket{context.state().address, {kSimCommandSlot, std::uint8_t(op | _kErrorFlag), store, slot, _kNotFound}});
    return;
  }
  const std::uint8_t handle = _nextHandle;
  _nextHandle = static_cast<std::uint8_t>(_nextHandle % 254 + 1);  // 255 means no slot to the host
  _open[handle] = Open{{store, slot}, op == _kOpenWrite, 0, {}};
  _slotReply(context, op, {store, slot, handle});
}

void SimStorage::_slotTransfer(SimContext& context, std::uint8_t op, const std::vector<std::uint8_t>& data) {
  const std::uint8_t handle = data[2];
  const auto open = _open.find(handle);
  if (open == _open.end()) {
    context.reply(
        SimPacket{context.state().address, {kSimCommandSlot, std::uint8_t(op | _kErrorFlag), handle, _kParam}});
    return;
  }
  SimSlot& slot = _slots[open->second.key];
  if (op == _kRead) {
    const std::size_t from = std::min(open->second.position, slot.bytes.size());
    const std::size_t to = std::min(slot.bytes.size(), from + _kSlotChunk);
    std::vector<std::uint8_t> fields{handle};
    fields.insert(fields.end(), slot.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                  slot.bytes.begin() + static_cast<std::ptrdiff_t>(to));
    open->second.position = to;
    _slotReply(context, op, std::move(fields));
  } else if (op == _kWrite) {
    if (!open->second.writing || open->second.written.size() + data.size() - 3 > slot.capacity) {
      context.reply(
          SimPacket{context.state().address, {kSimCommandSlot, std::uint8_t(op | _kErrorFlag), handle, _kErrSize}});
      return;
    }
    open->second.written.insert(open->second.written.end(), data.begin() + 3, data.end());
    _slotReply(context, op, {handle, static_cast<std::uint8_t>(_sum(data, 3) + (_faults.wrongSum ? 1 : 0))});
  } else {
    if (open->second.writing) slot.bytes = open->second.written;
    _open.erase(open);
    _slotReply(context, op, {handle, 0x00});
  }
}

// ---- factory data ---------------------------------------------------------------------------------

void SimStorage::handleFactory(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  std::lock_guard lock(_lock);
  _record.factoryRequests.push_back(data);
  if (data.size() < 2) return;
  const std::uint8_t option = data[1];
  if (option == _kFactoryClose) return _factoryClose(context, data);
  const std::uint8_t type = option & _kTypeMask;
  if (_faults.factoryErrorCode) {
    context.reply(SimPacket{context.state().address,
                            {kSimCommandFactory, std::uint8_t(type | _kErrorFlag), _faults.factoryErrorCode}});
    return;
  }
  if (option & _kFactoryWrite) return _factoryWrite(context, option, data);
  _factoryRead(context, option);
}

void SimStorage::_factoryRead(SimContext& context, std::uint8_t option) {
  const std::uint8_t type = option & _kTypeMask;
  if ((option & _kFactoryFirst) || _transfer.writing || _transfer.type != type)
    _transfer = Transfer{type, false, 0, {}};
  const std::vector<std::uint8_t>& bytes = _factory[type];
  const std::size_t from = std::min(_transfer.moved, bytes.size());
  const std::size_t to = std::min(bytes.size(), from + _kFactoryChunk);
  std::vector<std::uint8_t> reply{kSimCommandFactory, type};
  reply.insert(reply.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
  _transfer.moved = to;
  context.reply(SimPacket{context.state().address, std::move(reply)});
}

void SimStorage::_factoryWrite(SimContext& context, std::uint8_t option, const std::vector<std::uint8_t>& data) {
  const std::uint8_t type = option & _kTypeMask;
  if ((option & _kFactoryFirst) || !_transfer.writing || _transfer.type != type)
    _transfer = Transfer{type, true, 0, {}};
  _transfer.written.insert(_transfer.written.end(), data.begin() + 2, data.end());
  _transfer.moved = _transfer.written.size();
  std::vector<std::uint8_t> ack{kSimCommandFactory, type};
  if (_faults.factoryLongAck) ack.push_back(0x00);
  context.reply(SimPacket{context.state().address, std::move(ack)});
}

void SimStorage::_factoryClose(SimContext& context, const std::vector<std::uint8_t>& data) {
  const bool counted = data.size() == 4 && ((data[2] << 8) | data[3]) == static_cast<int>(_transfer.moved & 0xFFFF);
  const std::uint8_t error = _faults.factoryCloseError ? _faults.factoryCloseError : counted ? 0 : _kIO;
  if (!error && _transfer.writing) _factory[_transfer.type] = _transfer.written;
  _transfer = Transfer{};
  std::vector<std::uint8_t> reply{kSimCommandFactory, 0x00};
  if (error) {
    reply[1] = _kErrorFlag;
    reply.push_back(error);
  }
  context.reply(SimPacket{context.state().address, std::move(reply)});
}

}  // namespace qfsim
