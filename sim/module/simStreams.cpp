#include "sim/module/simStreams.h"
#include "sim/module/simBigEndian.h"

#include <algorithm>

namespace qfsim {

namespace {

constexpr std::uint8_t _kStart = 0x81;
constexpr std::uint8_t _kStop = 0x82;
constexpr std::uint8_t _kQuery = 0x41;
constexpr std::uint8_t _kAck = 0xC0;
constexpr std::uint8_t _kErrorFlag = 0x80;
constexpr std::uint8_t _kStreamFlag = 0x40;
constexpr std::uint8_t _kAny = 0xFF;

bool _element(std::uint8_t wanted, std::uint8_t actual) { return wanted == _kAny || wanted == actual; }

}  // namespace

void SimStreams::_answer(SimContext& context, std::uint8_t option, std::uint8_t error) {
  std::vector<std::uint8_t> data{kSimCommandStream, option, 0x00};
  if (error) {
    data[2] = _kErrorFlag;
    data.push_back(error);
  }
  if (_settings.answerDelayMs) {
    _late.push_back(
        {std::chrono::steady_clock::now() + std::chrono::milliseconds(_settings.answerDelayMs), std::move(data)});
    return;
  }
  ++_record.answersSent;
  context.reply(SimPacket{context.state().address, std::move(data)});
}

void SimStreams::_sendDueAnswers(SimContext& context) {
  const auto now = std::chrono::steady_clock::now();
  while (!_late.empty() && _late.front().due <= now) {
    ++_record.answersSent;
    context.reply(SimPacket{context.state().address, std::move(_late.front().data)});
    _late.erase(_late.begin());
  }
}

void SimStreams::startStream(const SimStreamName& name) {
  std::lock_guard lock(_lock);
  if (std::find(_running.begin(), _running.end(), name) == _running.end()) _running.push_back(name);
}

SimStreams::SimStreams(SimStreamSettings settings) : _settings(settings) {}

void SimStreams::setSource(const SimStreamSource& source) {
  std::lock_guard lock(_lock);
  for (SimStreamSource& known : _sources)
    if (known.command == source.command && known.option == source.option && known.index == source.index &&
        known.subindex == source.subindex) {
      known = source;
      return;
    }
  _sources.push_back(source);
}

void SimStreams::setSettings(const SimStreamSettings& settings) {
  std::lock_guard lock(_lock);
  _settings = settings;
}

SimStreamSettings SimStreams::settings() const {
  std::lock_guard lock(_lock);
  return _settings;
}

std::vector<SimStreamName> SimStreams::running() const {
  std::lock_guard lock(_lock);
  return _running;
}

SimStreamRecord SimStreams::record() const {
  std::lock_guard lock(_lock);
  return _record;
}

void SimStreams::handle(SimContext& context, const SimPacket& packet) {
  const std::vector<std::uint8_t>& data = packet.data;
  if (data.size() < 2) return;
  std::lock_guard lock(_lock);
  if (data[1] == _kQuery) {
    context.reply(SimPacket{context.state().address,
                            {kSimCommandStream, _kQuery & 0x3F, 0x00, std::uint8_t(_running.empty() ? 0 : 1)}});
    return;
  }
  if ((data[1] != _kStart && data[1] != _kStop) || data.size() != 7) return;
  const SimStreamName name{data[3], data[4], data[5], data[6]};
  const bool start = data[1] == _kStart;
  const std::uint8_t error = start ? _settings.startError : _settings.stopError;
  if (!error) {
    if (start) {
      _record.started.push_back(name);
      if (std::find(_running.begin(), _running.end(), name) == _running.end()) _running.push_back(name);
    } else {
      _record.stopped.push_back(name);
      if (!_settings.ignoreStops) std::erase(_running, name);
    }
  }
  if (!_settings.unanswered) _answer(context, static_cast<std::uint8_t>((data[1] & 0x3F) | _kAck), error);
}

bool SimStreams::_covers(const SimStreamName& name, std::uint8_t address, const SimStreamSource& source) const {
  return _element(name.address, address) && _element(name.command, source.command) &&
         _element(name.option, source.option) && _element(name.index, source.index);
}

void SimStreams::publish(SimContext& context) {
  std::lock_guard lock(_lock);
  _sendDueAnswers(context);
  const std::uint8_t address = context.state().address;
  for (std::uint32_t round = 0; round < std::max<std::uint32_t>(1, _settings.samplesPerTick); ++round)
    for (SimStreamSource& source : _sources) {
      const bool covered = std::any_of(_running.begin(), _running.end(),
                                       [&](const SimStreamName& name) { return _covers(name, address, source); });
      if (!covered) continue;
      context.reply(SimPacket{address, sample(source, _clock++)});
      ++_record.samplesSent;
      if (source.counting) ++source.value;
    }
}

std::vector<std::uint8_t> SimStreams::sample(const SimStreamSource& source, std::uint64_t timestamp) {
  const bool subindexed = source.kind >= 5;
  const std::uint8_t plain = subindexed ? static_cast<std::uint8_t>(source.kind - 4) : source.kind;
  const std::size_t width = plain == 1 ? 1 : plain == 2 ? 2 : 4;
  std::vector<std::uint8_t> data{source.command, static_cast<std::uint8_t>(source.option & 0x3F),
                                 static_cast<std::uint8_t>((source.index & 0x1F) | _kStreamFlag), source.kind};
  if (subindexed) data.push_back(source.subindex);
  simAppendBigEndian(data, timestamp >> 32, 4);
  simAppendBigEndian(data, timestamp & 0xFFFFFFFFu, 4);
  simAppendBigEndian(data, source.value, width);
  data.push_back(0x00);
  return data;
}

}  // namespace qfsim
