// Any bytes as a ROM's side of whole serial-download sessions: the connection check, the
// fingerprint reads, a loader write and the jump, over a scripted transport that reads the value
// words with the real USB HID or UART reply parser. The first byte picks the parser and the
// image size; the rest is the script, taken in call order: each report sent takes one byte (how
// much of it went out), each read a length byte and that many reply bytes. A write reported as
// done, or a jump taken, needs every report to have gone out whole; a fingerprint is set only
// when it was read.
// Every reply handed out is also parsed directly at each word offset, from an exact-size copy.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Far more than a session of a few reports and replies brings.
constexpr size_t kMaxInput = 1 << 14;
constexpr size_t kImageStep = 300;  // image bytes per step of the size nibble: up to 4.5 reports

void _require(bool condition) {
  if (!condition) std::abort();
}

// A value word, where the parser finds one, lies inside the reply.
void _checkParser(SDPLoader_Interface& parser, const Bytes& reply, size_t valueAt) {
  for (unsigned offset = 0; offset < 32; ++offset) {
    uint32_t value = 0;
    if (parser.getDataFromBuffer(reply, offset, value)) _require(reply.size() >= valueAt + offset + 4);
  }
}

// [report id][ERROR_STATUS][ERROR_STATUS]: the connection check.
bool _isStatusRequest(const Bytes& report) { return report.size() >= 3 && report[1] == 0x05 && report[2] == 0x05; }

// The ROM as the script tells: what a report costs, what each read brings.
class ScriptedRom : public SDPLoader_Interface {
 public:
  ScriptedRom(const uint8_t* script, size_t size, bool overHid, bool* shortWrite)
      : script_(script), size_(size), overHid_(overHid), shortWrite_(shortWrite) {
    if (overHid) parser_ = std::make_unique<HID_SDPLoader>(0, 0);
    else parser_ = std::make_unique<Serial_SDPLoader>("");
  }

  bool init() override { return true; }

  int64_t writeData(const Bytes& report) override {
    const uint8_t cost = next();
    if (cost < 0xF0) return static_cast<int64_t>(report.size());
    if (!_isStatusRequest(report)) *shortWrite_ = true;  // a status request carries no image
    return cost < 0xF8 ? -1 : static_cast<int64_t>(report.size() / 2);
  }

  int64_t readData(Bytes& out, unsigned) override {
    const size_t asked = next();  // taken first: the room left is counted after it
    const size_t length = std::min(asked, size_ - at_);
    const Bytes reply(script_ + at_, script_ + at_ + length);
    at_ += length;
    _checkParser(*parser_, reply, overHid_ ? 6 : 4);
    out.insert(out.end(), reply.begin(), reply.end());
    return static_cast<int64_t>(length);
  }

  bool getDataFromBuffer(const Bytes& reply, unsigned offset, uint32_t& value) override {
    return parser_->getDataFromBuffer(reply, offset, value);
  }

 private:
  // The next script byte; 0 once the script is spent (a whole report, an empty reply).
  uint8_t next() { return at_ < size_ ? script_[at_++] : 0; }

  const uint8_t* script_;
  size_t size_;
  bool overHid_;
  bool* shortWrite_;
  size_t at_ = 0;
  std::unique_ptr<SDPLoader_Interface> parser_;
};

bool _oneOf(int result, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), result) != allowed.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const bool overHid = (data[0] & 1) != 0;
  const Bytes image(kImageStep * (data[0] >> 4), 0x5A);
  bool shortWrite = false;
  SDPLoader sdp;
  _require(sdp.setLoader(std::make_unique<ScriptedRom>(data + 1, size - 1, overHid, &shortWrite)));
  _require(sdp.init() == SDPLoader::SUCCESS);

  uint64_t fingerprint = 0x0123456789ABCDEF;
  const int read = sdp.getFingerprint(fingerprint);
  _require(_oneOf(read, {SDPLoader::SUCCESS, SDPLoader::NO_ANSWER, SDPLoader::NO_VALUE}));
  _require(read == SDPLoader::SUCCESS || fingerprint == 0x0123456789ABCDEF);

  shortWrite = false;
  const int written = sdp.writeLoader(image, IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  _require(_oneOf(written, {SDPLoader::SUCCESS, SDPLoader::NO_ANSWER, SDPLoader::NOT_A_ROM, SDPLoader::TRANSFER_ABORTED,
                            SDPLoader::NOT_COMPLETED}));
  _require(written != SDPLoader::SUCCESS || !shortWrite);

  shortWrite = false;
  const int jumped = sdp.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  _require(
      _oneOf(jumped, {SDPLoader::SUCCESS, SDPLoader::JUMP_REFUSED, SDPLoader::NOT_A_ROM, SDPLoader::NOT_COMPLETED}));
  _require(jumped != SDPLoader::SUCCESS || !shortWrite);  // a jump that did not go out is not taken
  return 0;
}
