// Any bytes as the answers of a chip to the ISP client, through a stream that never waits: the
// first byte sets echo, the size of the RAM transfers and how the input ends (end of data, or
// silence that spends the client's empty-read budgets); the next two pick which operations run,
// in a fixed order, each reading its answer where the previous one stopped. An operation that
// fails leaves its outputs as they were; a read writes only inside a heap buffer of exactly the
// size asked for. The rest of the input also goes through the line decoder and the return-code
// names directly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "recovery/NXPSerial.h"

namespace {

// Far more than the longest conversation of the operations below brings.
constexpr size_t kMaxInput = 1 << 14;
constexpr size_t kHeader = 3;

void _require(bool condition) {
  if (!condition) std::abort();
}

struct Chip {
  const uint8_t* input;
  size_t size;
  bool silentAtEnd;
  size_t at = 0;

  static aErr Get(char* byte, void* ref) {
    auto* chip = static_cast<Chip*>(ref);
    if (chip->at == chip->size) return chip->silentAtEnd ? aErrNotReady : aErrEOF;
    *byte = static_cast<char>(chip->input[chip->at++]);
    return aErrNone;
  }
  static aErr Put(const char*, void*) { return aErrNone; }
  static aErr Write(const char*, size_t, void*) { return aErrNone; }
  // Nothing more will come: the wait is over at once, so silence costs no time.
  static aErr Wait(uint32_t, void*) { return aErrTimeout; }
  static aErr Delete(void* ref) {
    delete static_cast<Chip*>(ref);
    return aErrNone;
  }
};

// The codes an operation may end with: success, a return code other than 0, a line that did not
// come or did not end, a bad checksum answer, RESEND spent, the end of the input.
bool _isReplyCode(aErr err) {
  return err == aErrNone || err == aErrParam || err == aErrNotReady || err == aErrIO || err == aErrTimeout ||
         err == aErrEOF;
}

void _decodeLine(const uint8_t* data, size_t size, size_t room) {
  std::vector<char> line(data, data + size);
  line.push_back(0);
  std::unique_ptr<uint8_t[]> out(new uint8_t[room == 0 ? 1 : room]);
  _require(NXPSerialClass::uudecode(out.get(), room, line.data()) <= room);
  _require(NXPSerialClass::GetErrorText(line.data()) != nullptr);
}

// Runs the picked operations against the chip's answers in the input.
class Session {
 public:
  Session(NXPSerialClass& isp, uint16_t picked, uint32_t count) : isp_(isp), picked_(picked), count_(count) {}

  void run() {
    step([&] { return isp_.Sync(); });
    step([&] { return isp_.SetEcho((picked_ & 0x8000) != 0); });
    step([&] { return bootLoaderVersion(); });
    step([&] { return partNumber(); });
    step([&] { return deviceId(); });
    step([&] { return isp_.Unlock(); });
    step([&] { return isp_.SetBaudRate(115200); });
    step([&] { return isp_.Prepare(0, 3); });
    step([&] { return isp_.Erase(0, 3); });
    step([&] { return write(); });
    step([&] { return isp_.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256); });
    step([&] { return read(); });
    step([&] { return isp_.ExecuteFrom(0); });
  }

 private:
  template <typename Operation>
  void step(Operation operation) {
    const bool wanted = (picked_ >> next_++ & 1) != 0;
    if (wanted) _require(_isReplyCode(operation()));
  }

  aErr bootLoaderVersion() {
    uint8_t first = 0xA5, second = 0x5A;
    const aErr err = isp_.GetBootLoaderVersion(&first, &second);
    _require(err == aErrNone || (first == 0xA5 && second == 0x5A));
    return err;
  }

  aErr partNumber() {
    long part = -7;
    const aErr err = isp_.GetPartNumber(&part);
    _require(err == aErrNone || part == -7);
    return err;
  }

  aErr deviceId() {
    uint32_t before[4];
    std::memcpy(before, isp_.deviceId, sizeof before);
    const aErr err = isp_.GetDeviceID();
    _require(err == aErrNone || std::memcmp(before, isp_.deviceId, sizeof before) == 0);
    return err;
  }

  aErr write() {
    std::vector<uint8_t> image(count_);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    return isp_.Write(NXPSerialClass::WRITE_ADDRESS, count_, image.data());
  }

  aErr read() {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[count_]);
    return isp_.Read(0, count_, bytes.get());
  }

  NXPSerialClass& isp_;
  uint16_t picked_;
  uint32_t count_;
  unsigned next_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader || size > kMaxInput) return 0;
  const uint8_t flags = data[0];
  const uint32_t count = 4u * (1u + (flags >> 2));  // 4 to 256 bytes
  const uint16_t picked = static_cast<uint16_t>(data[1] | data[2] << 8);
  _decodeLine(data + kHeader, size - kHeader, flags >> 2);

  NXPSerialClass isp;
  isp.echo = (flags & 1) != 0;
  isp.stream = aStream_Create(Chip::Get, Chip::Put, Chip::Write, Chip::Delete,
                              new Chip{data + kHeader, size - kHeader, (flags & 2) != 0});
  _require(isp.stream != nullptr);
  _require(aStream_SetWaitProc(isp.stream, Chip::Wait) == aErrNone);
  Session(isp, picked, count).run();
  return 0;
}
