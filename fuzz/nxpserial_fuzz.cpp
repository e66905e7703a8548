// Any bytes as the answers of a chip to the ISP client: the identification lines and a RAM read
// of a size chosen by the first byte, through a stream that delivers the input and then its end.
// The read's output is a heap buffer of exactly the size asked for, so a step outside is caught;
// the rest of the input also goes through the line decoder and the return-code names directly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "recovery/NXPSerial.h"

namespace {

// Far more than a read of at most 256 bytes brings.
constexpr size_t kMaxInput = 1 << 14;

void _require(bool condition) {
  if (!condition) std::abort();
}

struct _Chip {
  const uint8_t* input;
  size_t size;
  size_t at = 0;

  static aErr Get(char* byte, void* ref) {
    auto* chip = static_cast<_Chip*>(ref);
    if (chip->at == chip->size) return aErrEOF;
    *byte = static_cast<char>(chip->input[chip->at++]);
    return aErrNone;
  }
  static aErr Put(const char*, void*) { return aErrNone; }
  static aErr Write(const char*, size_t, void*) { return aErrNone; }
  static aErr Delete(void* ref) {
    delete static_cast<_Chip*>(ref);
    return aErrNone;
  }
};

void _decodeLine(const uint8_t* data, size_t size, size_t room) {
  std::vector<char> line(data, data + size);
  line.push_back(0);
  std::unique_ptr<uint8_t[]> out(new uint8_t[room == 0 ? 1 : room]);
  _require(NXPSerialClass::uudecode(out.get(), room, line.data()) <= room);
  _require(NXPSerialClass::GetErrorText(line.data()) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  const uint8_t flags = data[0];
  const uint32_t count = 4u * (1u + (flags >> 2));  // 4 to 256 bytes
  _decodeLine(data + 1, size - 1, flags >> 2);

  NXPSerialClass isp;
  isp.echo = (flags & 1) != 0;
  isp.stream = aStream_Create(_Chip::Get, _Chip::Put, _Chip::Write, _Chip::Delete,
                              new _Chip{data + 1, size - 1});
  _require(isp.stream != nullptr);
  isp.GetDeviceID();
  std::unique_ptr<uint8_t[]> read(new uint8_t[count]);
  isp.Read(0, count, read.get());
  return 0;
}
