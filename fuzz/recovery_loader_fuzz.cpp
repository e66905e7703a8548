// Feeds a bird file's blocks and a boot ROM's behaviour to the i.MX recovery road's loader step:
// the loader blocks are written through a serial download session to a simulated ROM (memory,
// status words, fault knobs; written from the protocol's wire format) and the loader is started
// at the file's jump address. The ROM's words come back as the USB HID transport takes its input
// reports, or as a UART's raw bytes, and are read with that transport's own parser.
//
// Checks that success is reported only when the ROM holds every loader block's payload at its
// address and the last command it received is the jump to the file's jump address; that a ROM
// without faults that is sent everything takes the loader whenever the jump lands in memory
// written; and that no block is read past its end (each lies in a heap buffer of its own size).
//
// Input: [transport and fault][fault parameter][cut report][blocks...]; a block is
// [type][length, 2 bytes big-endian][bytes]. The first byte's bit 0 picks USB HID (else UART),
// bits 1-3 the ROM's fault; the third byte, when not 0, is the report (counted from 1) that does
// not go out whole: bit 7 set, half of it goes out; clear, none of it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "common/aByteOrder.h"
#include "firmware/BirdFile.h"
#include "fuzz/bird_blocks.h"
#include "fuzz/silent_display.h"
#include "fuzz/silent_log.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/RecoverySteps.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "sim/sdp/simSdpRom.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxInput = 1 << 14;
constexpr size_t kHeader = 3;
constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kSecurityReport = 3;
constexpr uint8_t kResponseReport = 4;
constexpr size_t kResponseBytes = 64;
constexpr uint8_t kJumpCommand = 0x0B;

void require(bool condition) {
  if (!condition) std::abort();
}

enum Fault : uint8_t { None, Silent, AnswerFirst, NoCompletion, WrongCompletion, ShortReply, AbortAfter, RefuseWrite };

qfsim::SimSdpFaults faultsOf(uint8_t fault, uint8_t parameter) {
  qfsim::SimSdpFaults faults;
  switch (fault) {
    case Silent:
      faults.silent = true;
      break;
    case AnswerFirst:
      faults.answeredCommands = parameter;
      break;
    case NoCompletion:
      faults.completionStatus.reset();
      break;
    case WrongCompletion:
      faults.completionStatus = 0x12345678u + parameter;
      break;
    case ShortReply:
      faults.shortReply = true;
      break;
    case AbortAfter:
      faults.abortAfterDataBytes = parameter;
      break;
    case RefuseWrite:
      faults.refuseWrite = 0x0BAD0000u + parameter;
      break;
    default:
      break;
  }
  return faults;
}

// The session's transport: reports go to the simulated ROM at once, its replies wait to be read
// in the form the chosen transport hands them on, and one report may be cut.
class RomSession : public SDPLoader_Interface {
 public:
  RomSession(qfsim::SimSdpRom& rom, bool overHid, uint8_t cut) : rom_(rom), overHid_(overHid), cut_(cut) {
    if (overHid) parser_ = std::make_unique<HID_SDPLoader>(0, 0);
    else parser_ = std::make_unique<Serial_SDPLoader>("");
  }

  bool init() override { return true; }

  int64_t writeData(const Bytes& report) override {
    if (report.empty()) return -1;
    ++reports_;
    Bytes delivered(report.begin() + 1, report.end());
    const bool cutHere = size_t(cut_ & 0x7F) == reports_;
    if (cutHere && !(cut_ & 0x80)) return -1;
    if (cutHere) delivered.resize(delivered.size() / 2);
    if (report[0] == kCommandReport) queue(rom_.command(delivered));
    else if (report[0] == kDataReport && rom_.dataDue() > 0) queue(rom_.data(delivered, nullptr));
    // A transport that carries report ids counts the id among the bytes written.
    return int64_t(delivered.size()) + (overHid_ ? 1 : 0);
  }

  int64_t readData(Bytes& out, unsigned) override {
    const size_t before = out.size();
    if (!overHid_) {
      for (const Bytes& words : waiting_) out.insert(out.end(), words.begin(), words.end());
      waiting_.clear();
      return int64_t(out.size() - before);
    }
    size_t taken = 0;
    for (; taken < waiting_.size() && taken < HID_SDPLoader::MAX_REPLY_REPORTS; ++taken) {
      unsigned char buffer[MAX_READ_BYTES] = {};
      const Bytes& report = waiting_[taken];
      const size_t got = std::min<size_t>(report.size(), sizeof buffer);
      std::copy_n(report.begin(), got, buffer);
      const size_t start = out.size();
      const size_t appended = HID_SDPLoader::takeReport(out, buffer, got);
      // The security report is five bytes however it was read; any other report as read.
      require(appended == (report[0] == kSecurityReport ? 5 : got) && out.size() == start + appended);
      for (size_t i = 0; i < appended; ++i) require(out[start + i] == (i < got ? report[i] : 0));
    }
    waiting_.erase(waiting_.begin(), waiting_.begin() + ptrdiff_t(taken));
    return int64_t(out.size() - before);
  }

  bool getDataFromBuffer(const Bytes& reply, unsigned offset, uint32_t& value) override {
    return parser_->getDataFromBuffer(reply, offset, value);
  }

 private:
  // As the ROM's HID device sends its words: report 3 with the security word, report 4 with a
  // response padded to 64 bytes (a longer one in as many reports as it needs).
  void queue(const std::vector<qfsim::SimSdpReply>& replies) {
    for (const qfsim::SimSdpReply& reply : replies) {
      if (!overHid_) {
        waiting_.push_back(reply.bytes);
        continue;
      }
      if (reply.kind == qfsim::SimSdpReply::Kind::Security) {
        Bytes report{kSecurityReport};
        report.insert(report.end(), reply.bytes.begin(), reply.bytes.end());
        waiting_.push_back(report);
        continue;
      }
      for (size_t at = 0; at == 0 || at < reply.bytes.size(); at += kResponseBytes) {
        Bytes report(1 + kResponseBytes, 0);
        report[0] = kResponseReport;
        std::copy_n(reply.bytes.begin() + ptrdiff_t(at), std::min(kResponseBytes, reply.bytes.size() - at),
                    report.begin() + 1);
        waiting_.push_back(report);
      }
    }
  }

  qfsim::SimSdpRom& rom_;
  bool overHid_;
  uint8_t cut_;
  size_t reports_ = 0;
  std::vector<Bytes> waiting_;
  std::unique_ptr<SDPLoader_Interface> parser_;
};

// What the ROM's memory must hold once every loader block went in, later blocks over earlier.
std::map<uint32_t, uint8_t> imageOf(const BirdFile& bird) {
  std::map<uint32_t, uint8_t> bytes;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
    if (block.length < 4) continue;
    for (uint32_t i = 4; i < block.length; ++i) bytes[uint32_t(block.address + i - 4)] = block.data[i];
  }
  return bytes;
}

bool jumpedLastTo(const qfsim::SimSdpRom& rom, uint32_t address) {
  const std::vector<Bytes> commands = rom.commands();
  return !commands.empty() && commands.back()[0] == kJumpCommand && commands.back()[1] == kJumpCommand &&
         aByteOrder_ReadBE32(commands.back().data() + 2) == address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader || size > kMaxInput) return 0;
  silenceLog();
  const bool overHid = data[0] & 1;
  const uint8_t fault = (data[0] >> 1) & 0x07;
  const uint8_t cut = data[2];
  FuzzBirdBlocks blocks(data + kHeader, size - kHeader);

  qfsim::SimSdpRom rom;
  rom.setFaults(faultsOf(fault, data[1]));
  SDPLoader sdp;
  require(sdp.setLoader(std::make_unique<RomSession>(rom, overHid, cut)));
  SilentDisplay display;
  const aErr result = RecoverySteps::_send_recovery_loader(display, blocks.bird, sdp, "fuzz");

  const std::map<uint32_t, uint8_t> image = imageOf(blocks.bird);
  const uint32_t jump = RecoverySteps::_jump_address(blocks.bird);
  if (result == aErrNone) {
    for (const auto& [address, byte] : image) require(rom.memory(address, 1)[0] == byte);
    require(jumpedLastTo(rom, jump));
  } else {
    require(result == aErrConnection);
  }
  if (fault == None && (cut & 0x7F) == 0 && image.count(jump) != 0) require(result == aErrNone && !rom.running());
  return 0;
}
