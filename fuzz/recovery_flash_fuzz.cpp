// Feeds a bird file's firmware blocks and an LPC bootloader's behaviour to the LPC recovery road's
// flashing step: the ISP client talks over a stream, that never waits, to a simulated chip (flash,
// RAM, echo, fault knobs; written from the protocol alone) left synchronised by an earlier
// session.
//
// Checks that success is reported only when the chip's flash holds every firmware block's
// payload at its address and the chip was started from address 0; that a failure of a chip
// without faults is a refusal of the image before anything was sent; and that no block is read
// past its end (each lies in a heap buffer of its own size).
//
// Input: [fault][fault parameter][blocks...]; a block is [type][length, 2 bytes big-endian]
// [bytes], a firmware block's first four bytes its address (big-endian). The fault byte's bit 0
// leaves the chip's echo on; bits 1-3 pick the fault.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/aByteOrder.h"
#include "common/aStream.h"
#include "firmware/BirdFile.h"
#include "fuzz/bird_blocks.h"
#include "fuzz/silent_display.h"
#include "fuzz/silent_log.h"
#include "recovery/NXPSerial.h"
#include "recovery/RecoverySteps.h"
#include "sim/lpcisp/simIspDevice.h"

namespace {

constexpr size_t kMaxInput = 1 << 13;
constexpr size_t kHeader = 2;

void require(bool condition) {
  if (!condition) std::abort();
}

// The chip at the stream's far end: what the client writes goes in at once, what the chip sends
// waits to be read; when nothing waits, nothing more will come.
struct Line {
  qfsim::IspDevice chip;
  std::string waiting;
  size_t read = 0;

  static aErr get(char* byte, void* ref) {
    Line* line = static_cast<Line*>(ref);
    if (line->read == line->waiting.size()) return aErrNotReady;
    *byte = line->waiting[line->read++];
    return aErrNone;
  }
  static aErr put(const char* byte, void* ref) { return write(byte, 1, ref); }
  static aErr write(const char* data, size_t length, void* ref) {
    Line* line = static_cast<Line*>(ref);
    line->waiting.erase(0, line->read);
    line->read = 0;
    line->chip.receive(std::string_view(data, length), line->waiting);
    return aErrNone;
  }
  static aErr wait(uint32_t, void* ref) {
    Line* line = static_cast<Line*>(ref);
    return line->read < line->waiting.size() ? aErrNone : aErrTimeout;
  }
  static aErr keep(void*) { return aErrNone; }  // the harness owns the line
};

enum Fault : uint8_t { None, Silent, FailCommand, ResendWrites, BadChecksumAnswer, SilentAfterLines, WrongAnswer };

void applyFault(qfsim::IspFaults& faults, uint8_t fault, uint8_t parameter) {
  static const char kLetters[] = {'U', 'P', 'E', 'W', 'C', 'A', 'G'};
  const char letter = kLetters[parameter % sizeof kLetters];
  switch (fault) {
    case Silent:
      faults.silent = true;
      break;
    case FailCommand:
      faults.failCommands[letter] = uint32_t(1 + parameter / sizeof kLetters % 19);
      break;
    case ResendWrites:
      faults.resendWriteChecksums = parameter;
      break;
    case BadChecksumAnswer:
      faults.writeChecksumAnswer = parameter & 1 ? "RESEND\r\n" : "KO\r\n";
      break;
    case SilentAfterLines:
      faults.silentAfterDataLines = parameter;
      break;
    case WrongAnswer:
      faults.answers[letter] = std::to_string(parameter % 20) + "\r\n";
      break;
    default:
      break;
  }
}

// Every firmware block's payload lies in the chip's flash at its address.
bool flashHoldsTheImage(const BirdFile& bird, const std::vector<uint8_t>& flash) {
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
    if (block.length <= 4) continue;
    const uint64_t end = uint64_t(block.address) + block.length - 4;
    if (end > flash.size() || !std::equal(block.data + 4, block.data + block.length, flash.begin() + block.address))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader || size > kMaxInput) return 0;
  silenceLog();
  const uint8_t fault = (data[0] >> 1) & 0x07;
  FuzzBirdBlocks blocks(data + kHeader, size - kHeader);

  Line line;
  line.chip.leaveInCommandMode(data[0] & 1);
  applyFault(line.chip.faults(), fault, data[1]);
  NXPSerialClass isp;
  isp.echo = data[0] & 1;
  isp.stream = aStream_Create(Line::get, Line::put, Line::write, Line::keep, &line);
  require(isp.stream != nullptr && aStream_SetWaitProc(isp.stream, Line::wait) == aErrNone);
  SilentDisplay display;
  const bool flashed = RecoverySteps::_flash_lpc_image(display, blocks.bird, isp);

  const qfsim::IspRecord& record = line.chip.record();
  if (flashed) {
    require(flashHoldsTheImage(blocks.bird, line.chip.flash()));
    require(record.executed && record.executeAddress == 0);
  } else if (fault == None) {
    require(record.commands.empty());
  }
  return 0;
}
