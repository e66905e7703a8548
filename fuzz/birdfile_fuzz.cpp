// Fuzzes the bird file reader. An input that begins with the signature "bird" is a whole file;
// any other input is an inflated body, which is compressed and given the header first, so that
// mutations reach the block parser instead of dying in zlib. Where the load succeeds, every
// block is read whole and every operation that patches or searches the image is run.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "fuzz/memory_file.h"
#include "updater/BirdFile.h"

namespace {

std::vector<uint8_t> _as_file(const uint8_t* data, size_t size) {
  if (size >= 4 && memcmp(data, "bird", 4) == 0) return std::vector<uint8_t>(data, data + size);
  uLongf packed = compressBound(static_cast<uLong>(size));
  std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1};
  file.resize(6 + packed);
  if (compress2(file.data() + 6, &packed, data, static_cast<uLong>(size), 1) != Z_OK) abort();
  file.resize(6 + packed);
  return file;
}

uint32_t _word(const uint8_t* data, size_t size, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | (at + i < size ? data[at + i] : 0);
  return value;
}

// Reads every byte of every block, so that a block pointing outside the body is caught.
unsigned _touch_blocks(const BirdFile& file) {
  unsigned sum = 0;
  for (unsigned type = 0; type < 32; ++type) {
    for (const BirdBlock& block : file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type))) {
      for (uint32_t i = 0; i < block.length; ++i) sum += block.data[i];
    }
  }
  return sum;
}

void _exercise(BirdFile& file, const uint8_t* data, size_t size) {
  volatile unsigned sink = _touch_blocks(file);
  sink = sink + file.GetBuild() + file.GetSerialNumber() + static_cast<unsigned>(file.GetVersion().size());
  file.ValidateModel("QF");
  file.ValidateSerialNumber(_word(data, size, 0));
  file.ReplaceSerialNumber(_word(data, size, 4));
  const uint32_t key[4] = {_word(data, size, 8), _word(data, size, 12), _word(data, size, 16),
                           _word(data, size, 20)};
  file.DecodeFirmwareBlocks(key);
  file.ValidateData(data, static_cast<uint32_t>(size < 8 ? size : 8));
  file.ReplaceVectorChecksum();
  BirdFile moved;
  moved = std::move(file);
  sink = sink + _touch_blocks(moved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile input;  // the reader's real file path
  std::vector<uint8_t> file = _as_file(data, size);
  const char* path = input.write(file.data(), file.size());
  BirdFile::VerifyFile(path);
  try {
    BirdFile loaded(path);
    _exercise(loaded, data, size);
  } catch (const std::runtime_error&) {
    // Refused: the only outcome a broken file may have.
  }
  return 0;
}
