#include "sim/sdp/simSdpSerial.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "sim/module/simChannel.h"

namespace qfsim {

namespace {

constexpr std::uint8_t kAssociationKey[] = {0x23, 0x45, 0x45, 0x23};
constexpr std::size_t kKeyBytes = sizeof kAssociationKey;
// A paced line holds at most this many bytes that arrived while the ROM was not reading (the
// receive FIFO of a UART), so pacing cannot save up a burst while the line is idle.
constexpr double kPacedBurstBytes = 16;
constexpr int kIdlePollMs = 20;
constexpr int kPacedPollMs = 2;
constexpr std::size_t kFloodChunk = 256;

bool _isKey(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() == kKeyBytes && std::equal(bytes.begin(), bytes.end(), kAssociationKey);
}

}  // namespace

SimSdpSerial::SimSdpSerial() : _channel(simMakePtyChannel("")) {}

SimSdpSerial::~SimSdpSerial() { stop(); }

bool SimSdpSerial::start(std::string* error) {
  std::string reason;
  {
    std::lock_guard<std::mutex> hold(_lock);
    if (!_channel->open(reason)) {
      if (error) *error = reason;
      return false;
    }
  }
  _stopping = false;
  _thread = std::thread([this] { _run(); });
  return true;
}

void SimSdpSerial::stop() {
  _stopping = true;
  if (_thread.joinable()) _thread.join();
}

std::string SimSdpSerial::path() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _channel->path();
}

void SimSdpSerial::setLineFaults(const SimSdpLineFaults& faults) {
  std::lock_guard<std::mutex> hold(_lock);
  _faults = faults;
}

termios SimSdpSerial::lineSettings() const {
  std::lock_guard<std::mutex> hold(_lock);
  termios settings{};
  tcgetattr(_channel->peerFd(), &settings);
  return settings;
}

std::vector<std::uint8_t> SimSdpSerial::received() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _received;
}

unsigned SimSdpSerial::associations() const {
  std::lock_guard<std::mutex> hold(_lock);
  return _associations;
}

std::size_t SimSdpSerial::_readBudget() {
  std::uint32_t rate;
  {
    std::lock_guard<std::mutex> hold(_lock);
    rate = _faults.bytesPerSecond;
  }
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  double seconds = std::chrono::duration<double>(now - _budgetAt).count();
  _budgetAt = now;
  if (rate == 0) return SIZE_MAX;
  _budget = std::min(_budget + seconds * rate, kPacedBurstBytes);
  return std::size_t(_budget);
}

void SimSdpSerial::_run() {
  std::uint8_t buffer[4096];
  const std::vector<std::uint8_t> flood(kFloodChunk, 0xA5);
  while (!_stopping) {
    bool flooding;
    int fd;
    {
      std::lock_guard<std::mutex> hold(_lock);
      flooding = _faults.flood;
      fd = _channel->peerFd();
    }
    std::size_t budget = _readBudget();
    if (budget == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    pollfd waiting{fd, short(POLLIN | (flooding ? POLLOUT : 0)), 0};
    ::poll(&waiting, 1, budget == SIZE_MAX ? kIdlePollMs : kPacedPollMs);
    if (flooding && (waiting.revents & POLLOUT)) _sendBytes(flood.data(), flood.size(), true);
    if (!(waiting.revents & POLLIN)) {
      if (waiting.revents & (POLLHUP | POLLERR)) std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      continue;
    }
    ssize_t got;
    {
      std::lock_guard<std::mutex> hold(_lock);
      got = _channel->readSome(buffer, std::min(budget, sizeof buffer));
    }
    if (got <= 0) {
      // No program has the line open: wait for one instead of spinning on the hang-up.
      std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs));
      continue;
    }
    if (budget != SIZE_MAX) _budget -= double(got);
    _take(buffer, std::size_t(got));
  }
}

void SimSdpSerial::_take(const std::uint8_t* bytes, std::size_t length) {
  std::size_t hangUpAfter;
  {
    std::lock_guard<std::mutex> hold(_lock);
    _received.insert(_received.end(), bytes, bytes + length);
    hangUpAfter = _faults.hangUpAfterDataBytes;
  }
  std::size_t at = 0;
  while (at < length) {
    if (_rom.dataDue() == 0) {
      _takeCommandByte(bytes[at++]);
      continue;
    }
    std::size_t room = hangUpAfter > _dataBytes ? hangUpAfter - _dataBytes : 0;
    std::size_t taken = 0;
    std::vector<SimSdpReply> replies =
        _rom.data(std::span<const std::uint8_t>(bytes + at, std::min(length - at, room)), &taken);
    at += taken;
    _dataBytes += taken;
    _send(replies);
    if (_dataBytes >= hangUpAfter) {
      // The line drops: the program's side sees a hang-up; a new terminal takes the old one's place.
      std::lock_guard<std::mutex> hold(_lock);
      std::string ignored;
      _channel->dropPeer(ignored);
      _faults.hangUpAfterDataBytes = SIZE_MAX;
      _associated = false;
      _pending.clear();
      return;
    }
  }
}

void SimSdpSerial::_takeCommandByte(std::uint8_t byte) {
  bool listening;
  {
    std::lock_guard<std::mutex> hold(_lock);
    listening = _associated || _faults.framing == SimSdpFraming::fromFirstByte;
  }
  _pending.push_back(byte);
  if (!listening) {
    // Before association only the key counts: look for it in the last four bytes.
    if (_pending.size() > kKeyBytes) _pending.erase(_pending.begin());
    if (_isKey(_pending)) _answerKey();
    return;
  }
  if (_isKey(_pending)) {
    _answerKey();
    return;
  }
  if (_pending.size() < kSdpCommandBytes) return;
  std::vector<SimSdpReply> replies = _rom.command(_pending);
  _pending.clear();
  _send(replies);
}

void SimSdpSerial::_answerKey() {
  _pending.clear();
  {
    std::lock_guard<std::mutex> hold(_lock);
    if (_faults.ignoreAssociation) return;
    _associated = true;
    ++_associations;
  }
  _sendBytes(kAssociationKey, kKeyBytes, false);
}

void SimSdpSerial::_send(const std::vector<SimSdpReply>& replies) {
  for (const SimSdpReply& reply : replies) _sendBytes(reply.bytes.data(), reply.bytes.size(), false);
}

void SimSdpSerial::_sendBytes(const std::uint8_t* bytes, std::size_t length, bool whatFits) {
  std::size_t done = 0;
  while (done < length && !_stopping) {
    ssize_t written;
    {
      std::lock_guard<std::mutex> hold(_lock);
      written = _channel->writeSome(bytes + done, length - done);
    }
    if (written < 0) return;
    if (written == 0) {
      if (whatFits) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done += std::size_t(written);
  }
}

}  // namespace qfsim
