// Feeds a module's replies to the in-band upgrade road, as they arrive over a real TCP link: the
// loader's start-up, the preparation of a block (the block size comes from the module), the
// transfer of a loader block or of a firmware block in chunks (data packets or entity byte
// values), the byte-sum check, the writes and the loader's start. The module is fake_module.h's;
// its right answers (control bit 4) are those of a loader that takes every byte.
//
// Checks that the road never reports success for replies that were not a valid exchange: the
// start-up succeeds only on a reply that carries a base address; a preparation only on a status
// 0 that carries a block size, and the block size is the module's; a transfer only when the
// bytes the module acknowledged with the right count, in order, are exactly the block's payload,
// every sum check it made was a status 0 with the module's own sum of those bytes, and every
// write was confirmed with status 0 for counts that add up to the payload.
//
// Input: [flags][payload length][operations...], then the module's reply records as the
// requests come (one input for both). Flags: bit 0 the transfer is verified by sums, bit 1 the
// module is asked whether it takes entity byte values, bit 2 whether it takes pooled packets,
// bit 3 a loader block instead of a firmware block.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/Log.h"
#include "firmware/UpdaterEntity.h"
#include "fuzz/fake_module.h"
#include "fuzz/silent_display.h"

using namespace Tarnwick::Quillfern;
using namespace fuzzmodule::harness_terms;

namespace {

constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5;
constexpr uint8_t kByteValueOption = 0x80 | 10;  // a set of option 10: a byte value of the block
constexpr uint16_t kRightBlockSize = 40;

bool _isUpgrade(const Packet& request, uint8_t option) {
  return request.at(0) == cmdUPGRADE && request.at(1) == option;
}
bool _isByteValuePart(const Packet& request) {
  return request.at(0) == cmdUPGRADE && request.at(1) == kByteValueOption && request.data.size() >= 4;
}

// What the module took for good, walking the exchanges as a loader would: the data chunks it
// acknowledged with their count (or the byte values it acknowledged without error), the sums it
// owed at each sum check since the last check or write, and whether each check and write it
// answered was a valid confirmation.
struct Ledger {
  Bytes accepted;
  bool sumsValid = true;
  bool writesValid = true;
  uint32_t written = 0;
  uint32_t owed = 0;  // sum of the bytes acknowledged since the last check or write

  explicit Ledger(const std::vector<Exchange>& exchanges) {
    Bytes pending;  // parts of a byte value not acknowledged yet
    for (const Exchange& exchange : exchanges) take(exchange, &pending);
  }
  void accept(const uint8_t* bytes, size_t count) {
    accepted.insert(accepted.end(), bytes, bytes + count);
    for (size_t i = 0; i < count; ++i) owed += bytes[i];
  }
  void take(const Exchange& exchange, Bytes* pending) {
    const Packet& request = exchange.request;
    const Packet* reply = exchange.replies.empty() ? nullptr : &exchange.replies.front();
    if (_isByteValuePart(request)) {
      pending->insert(pending->end(), request.data.begin() + 3, request.data.end() - 1);
      if (!reply) return;  // more parts follow
      if (!(reply->at(2) & fuzzmodule::kIndexError)) accept(pending->data(), pending->size());
      pending->clear();
      return;
    }
    if (!reply || request.at(0) != cmdUPGRADE) return;
    const Bytes& answer = reply->data;
    if (request.at(1) == kData) {
      const size_t count = request.data.size() - 2;
      if (answer.size() > 2 && answer[2] == count) accept(request.data.data() + 2, count);
    } else if (request.at(1) == kSum) {
      sumsValid = sumsValid && answer.size() >= 7 && answer[2] == 0 && bigEndian(answer, 3, 4) == owed;
      owed = 0;
    } else if (request.at(1) == kWrite) {
      writesValid = writesValid && answer.size() > 2 && answer[2] == 0;
      written += bigEndian(request.data, 2, 2);
      owed = 0;
    }
  }
};

// A loader that takes every byte.
std::optional<Packet> _rightAnswer(fuzzmodule::FakeModule& fake, const Packet& request) {
  Packet reply{request.address, {}};
  if (_isByteValuePart(request)) {
    reply.data = {cmdUPGRADE, static_cast<uint8_t>((request.at(1) & 0x3F) | 0xC0), uint8_t(request.at(2) & 0x1F)};
    return reply;
  }
  if (request.at(0) != cmdUPGRADE) return std::nullopt;
  switch (request.at(1)) {
    case kInit:
      reply.data = {cmdUPGRADE, kInit, 0x00, 0x00, 0x40, 0x00};
      return reply;
    case kData:
      reply.data = {cmdUPGRADE, kData, static_cast<uint8_t>(request.data.size() - 2)};
      return reply;
    case kLoad:
      reply.data = {cmdUPGRADE, kLoad};
      return reply;
    case kPrepare:
      reply.data = {cmdUPGRADE, 7, 0, kRightBlockSize >> 8, kRightBlockSize & 0xFF};
      return reply;
    case kSum: {
      const uint32_t owed = Ledger(fake.peekLog()).owed;
      reply.data = {cmdUPGRADE, 7, 0, uint8_t(owed >> 24), uint8_t(owed >> 16), uint8_t(owed >> 8), uint8_t(owed)};
      return reply;
    }
    case kWrite:
      reply.data = {cmdUPGRADE, 7, 0};
      return reply;
    default:
      return std::nullopt;
  }
}

fuzzmodule::Host& _host() {
  static fuzzmodule::Host& host = []() -> fuzzmodule::Host& {
    static fuzzmodule::Host made(0x4D0D0002);
    made.fake.rightAnswer = [](const Packet& request) { return _rightAnswer(made.fake, request); };
    // The parts of a byte value are acknowledged once, after the last.
    made.fake.holds = [](const Packet& request) {
      return _isByteValuePart(request) && (request.data.back() & fuzzmodule::kChunkGoesOn);
    };
    return made;
  }();
  return host;
}

const Exchange* _find(const std::vector<Exchange>& exchanges, uint8_t option) {
  for (const Exchange& exchange : exchanges)
    if (_isUpgrade(exchange.request, option) && !exchange.replies.empty()) return &exchange;
  return nullptr;
}

// The block a bird file would hold: a load address, then the payload.
Bytes _block(uint8_t payloadLength) {
  Bytes block = {0x00, 0x01, 0x20, 0x00};
  for (uint8_t i = 0; i < payloadLength; ++i) block.push_back(static_cast<uint8_t>(i * 37 + 11));
  return block;
}

void _checkTransfer(aErr result, const Ledger& ledger, const Bytes& block, bool verified, bool firmware) {
  if (result != aErrNone) return;
  const Bytes payload(block.begin() + 4, block.end());
  require(ledger.accepted == payload);
  if (verified) require(ledger.sumsValid);
  if (firmware) require(ledger.writesValid && ledger.written == payload.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    return true;
  }();
  (void)quiet;
  fuzzmodule::Host& host = _host();
  fuzzmodule::Script& script = host.begin(data, size);
  const uint8_t flags = script.take();
  const Bytes block = _block(script.take());
  const bool verified = flags & 1, firmware = !(flags & 8);

  UpdaterEntity loader;
  loader.init(&host.module, 0, verified, true);
  if (flags & 2) {
    loader.CheckUEIDataSupport();
    host.settle();
  }
  if (flags & 4) {
    loader.CheckPooledPacketsSupport();
    host.settle();
  }

  const aErr started = loader.LoaderInit();
  std::vector<Exchange> exchanges = host.settle();
  const Exchange* init = _find(exchanges, kInit);
  require(init && (started == aErrNone) == (init->replies.front().data.size() > 5));

  uint16_t blockSize = 0xBEEF;
  const aErr prepared = loader.TransferPrepare(block.data(), uint32_t(block.size()), flags, blockSize);
  exchanges = host.settle();
  const Exchange* prepare = _find(exchanges, kPrepare);
  require(prepare != nullptr);
  const Bytes& status = prepare->replies.front().data;
  require((prepared == aErrNone) == (status.size() >= 5 && status[2] == 0));
  require(prepared != aErrNone || blockSize == bigEndian(status, 3, 2));

  SilentDisplay display;
  const aErr transferred = firmware ? loader.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display)
                                    : loader.LoaderTransfer(block.data(), uint32_t(block.size()));
  _checkTransfer(transferred, Ledger(host.settle()), block, verified, firmware);

  require(loader.LoaderStart() == aErrNone);  // every request is answered
  host.settle();
  host.module.getLink()->enablePooledPackets(false);  // the next input starts as this one did
  return 0;
}
