#include "sim/module/simUpgrade.h"
#include "sim/module/simBigEndian.h"

namespace qfsim {

namespace {

constexpr std::uint8_t _kInit = 0, _kData = 1, _kLoad = 2, _kPrepare = 3, _kSum = 4, _kWrite = 5, _kReboot = 6,
                       _kStatus = 7;
constexpr std::uint8_t _kByteArrayOption = 10;
constexpr std::uint8_t _kSetFlag = 0x80;
constexpr std::uint8_t _kProtocolFeatures = 45;

}  // namespace

SimUpgrade::SimUpgrade(SimUpgradeSettings settings) : _settings(settings) {}

void SimUpgrade::_share(const std::shared_ptr<SimEntities>& entities) {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _entities = entities;
  }
  _offerUEIData();
}

// The entity side holds option 10 (so that the module answers whether it offers it) and the
// protocol features.
void SimUpgrade::_offerUEIData() {
  const SimUpgradeSettings now = settings();
  std::shared_ptr<SimEntities> entities;
  {
    std::lock_guard<std::mutex> hold(_lock);
    entities = _entities;
  }
  if (!entities) return;
  entities->define(kSimClassSystem, 0, _kProtocolFeatures, SimOption::u32(now.protocolFeatures));
  SimOption array = SimOption::bytes({}, now.offerUEIData);
  array.readable = false;
  entities->define(kSimCommandUpgrade, 0, _kByteArrayOption, array);
}

void SimUpgrade::setSettings(const SimUpgradeSettings& settings) {
  {
    std::lock_guard<std::mutex> hold(_lock);
    _settings = settings;
    if (_settings.loaderRunning) _loaded = true;
  }
  _offerUEIData();
}

SimUpgradeSettings SimUpgrade::settings() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _settings;
}

SimUpgradeRecord SimUpgrade::record() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _record;
}

void SimUpgrade::handle(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  if (data.size() < 2) return;
  if (data[1] == (_kByteArrayOption | _kSetFlag)) return _byteArray(context, packet);
  std::lock_guard<std::mutex> hold(_lock);
  const std::uint8_t address = context.state().address;
  switch (data[1]) {
    case _kInit: {
      ++_record.inits;
      _loaded = false;
      _restarted = false;
      _prepared = false;
      std::vector<std::uint8_t> reply{kSimCommandUpgrade, _kInit};
      simAppendBigEndian(reply, _settings.loadBase, 4);
      return context.reply(SimPacket{address, reply});
    }
    case _kData:
      return _data(context, data);
    case _kLoad:
      ++_record.loads;
      if (!_settings.answerLoad) return;
      _loaded = true;
      _prepared = false;
      _restarted = _settings.loaderRestarts || _settings.loadAnsweredAfterRestart;
      _firmwareImages = 0;
      _dataFaultMet = false;
      if (_settings.loadAnsweredAfterRestart) {
        _announceLoad = true;
        return context.dropConnection();
      }
      context.reply(SimPacket{address, {kSimCommandUpgrade, _kLoad}});
      if (_settings.loaderRestarts) context.dropConnection();
      return;
    case _kPrepare:
      return _prepare(context, data);
    case _kSum:
      return _sum(context);
    case _kWrite:
      return _write(context, data);
    case _kReboot:
      ++_record.reboots;
      if (_settings.rebootRestarts) context.dropConnection();
      return;
    default:
      return;
  }
}

void SimUpgrade::greet(SimContext& context) {
  std::lock_guard<std::mutex> hold(_lock);
  if (_restarted && _settings.silentAfterRestart) context.state().faults.silent = true;
  if (!_announceLoad) return;
  _announceLoad = false;
  context.reply(SimPacket{context.state().address, {kSimCommandUpgrade, _kLoad}});
}

SimImage* SimUpgrade::_current() {
  if (!_prepared) return nullptr;
  std::vector<SimImage>& images = _loaded ? _record.firmware : _record.loaders;
  return images.empty() ? nullptr : &images.back();
}

void SimUpgrade::_prepare(SimContext& context, const std::vector<std::uint8_t>& data) {
  ++_record.prepares;
  if (data.size() < 7) return _status(context, {1});
  const std::uint32_t address = simReadBigEndian(data, 3, 4);
  if (_settings.refusedAddress && *_settings.refusedAddress == address) return _status(context, {1});
  std::vector<SimImage>& images = _loaded ? _record.firmware : _record.loaders;
  // A retry of the image last prepared starts it again.
  const bool retry = !images.empty() && images.back().address == address;
  if (retry) images.pop_back();
  if (_loaded && !retry) ++_firmwareImages;
  images.push_back(SimImage{address, data[2], {}});
  _prepared = true;
  _sumSinceCheck = 0;
  _uncommitted.clear();
  std::vector<std::uint8_t> fields{0};
  simAppendBigEndian(fields, _settings.blockSize, 2);
  _status(context, fields);
}

bool SimUpgrade::_dataFaultStrikes() {
  if (_dataFaultMet || !_loaded || !_settings.dataFaultImage) return false;
  if (_firmwareImages != *_settings.dataFaultImage + 1) return false;
  _dataFaultMet = true;
  return true;
}

void SimUpgrade::_data(SimContext& context, const std::vector<std::uint8_t>& data) {
  ++_record.dataPackets;
  const std::uint8_t address = context.state().address;
  const std::vector<std::uint8_t> bytes(data.begin() + 2, data.end());
  if (_dataFaultStrikes()) {
    if (_settings.dataFault == SimDataFault::dropConnection) return context.dropConnection();
    return _take(bytes);  // taken, but the answer is lost
  }
  const auto echo = static_cast<std::uint8_t>(bytes.size());
  if (_settings.wrongEchoes) {
    --_settings.wrongEchoes;
    return context.reply(SimPacket{address, {kSimCommandUpgrade, _kData, static_cast<std::uint8_t>(echo - 1)}});
  }
  _take(bytes);
  context.reply(SimPacket{address, {kSimCommandUpgrade, _kData, echo}});
}

void SimUpgrade::_take(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t byte : bytes) _sumSinceCheck += byte;
  SimImage* image = _current();
  if (!image) return;
  if (_loaded) _uncommitted.insert(_uncommitted.end(), bytes.begin(), bytes.end());
  else image->bytes.insert(image->bytes.end(), bytes.begin(), bytes.end());
}

void SimUpgrade::_sum(SimContext& context) {
  ++_record.sums;
  std::uint32_t sum = _sumSinceCheck;
  _sumSinceCheck = 0;
  const SimImage* image = _current();
  const bool failing = image && _settings.failingAddress && *_settings.failingAddress == image->address;
  if (failing || _settings.wrongSums) {
    if (!failing) --_settings.wrongSums;
    sum ^= 0x00010000;
  }
  std::vector<std::uint8_t> fields{0};
  simAppendBigEndian(fields, sum, 4);
  _status(context, fields);
}

void SimUpgrade::_write(SimContext& context, const std::vector<std::uint8_t>& data) {
  ++_record.writes;
  SimImage* image = _current();
  const bool agrees = image && _loaded && data.size() >= 4 && simReadBigEndian(data, 2, 2) == _uncommitted.size();
  if (agrees) image->bytes.insert(image->bytes.end(), _uncommitted.begin(), _uncommitted.end());
  _uncommitted.clear();
  _status(context, {static_cast<std::uint8_t>(agrees ? 0 : 1)});
}

void SimUpgrade::_status(SimContext& context, std::vector<std::uint8_t> fields) {
  std::vector<std::uint8_t> reply{kSimCommandUpgrade, _kStatus};
  if (!_settings.shortStatusReplies) reply.insert(reply.end(), fields.begin(), fields.end());
  context.reply(SimPacket{context.state().address, reply});
}

// The entity side takes the chunks and acknowledges the whole array; once it has, the array
// counts as data.
void SimUpgrade::_byteArray(SimContext& context, const SimPacket& packet) {
  std::shared_ptr<SimEntities> entities;
  {
    std::lock_guard<std::mutex> hold(_lock);
    entities = _entities;
  }
  if (!entities) return;
  const std::uint32_t before = entities->option(kSimCommandUpgrade, 0, _kByteArrayOption).value_or(SimOption{}).writes;
  entities->handle(context, packet);
  const std::optional<SimOption> after = entities->option(kSimCommandUpgrade, 0, _kByteArrayOption);
  if (!after || after->writes == before) return;
  std::lock_guard<std::mutex> hold(_lock);
  _take(after->value);
}

}  // namespace qfsim
