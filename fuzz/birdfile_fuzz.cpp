// Fuzzes the bird file reader. An input that begins with the signature "bird" is a whole file;
// any other input is an inflated body, which is compressed and given the header first, so that
// mutations reach the block parser instead of dying in zlib. Where the load succeeds, every
// block is read whole and every operation that patches or searches the image is run.
//
// The reader inflates the body into a buffer eight times the compressed size, so a block that
// runs past the body as inflated but not past that buffer would pass unseen. The harness inflates
// the body itself and checks that every block lies inside it, in file order, with the bytes the
// body holds there; and it makes the buffer exact-size for the sanitizer: the room past the body
// is poisoned while the operations run, so that any read or write past the body is caught.
#include <zlib.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "firmware/BirdFile.h"
#include "fuzz/memory_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define BIRD_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BIRD_WITH_ASAN 1
#endif
#endif
#ifdef BIRD_WITH_ASAN
#include <sanitizer/asan_interface.h>
#define BIRD_POISON(at, size) __asan_poison_memory_region((at), (size))
#define BIRD_UNPOISON(at, size) __asan_unpoison_memory_region((at), (size))
#endif
#ifndef BIRD_POISON
#define BIRD_POISON(at, size) ((void)(at), (void)(size))
#define BIRD_UNPOISON(at, size) ((void)(at), (void)(size))
#endif

namespace {

constexpr size_t kHeaderSize = 6;      // signature, two version bytes
constexpr size_t kFirstBlockData = 9;  // after the block count and the first block's header
constexpr size_t kInflationRoom = 8;   // the reader's buffer, per compressed byte

void _require(bool condition) {
  if (!condition) std::abort();
}

// The body as the reader inflates it (the same room), or empty when it does not inflate.
std::vector<uint8_t> _inflate(const std::vector<uint8_t>& file) {
  if (file.size() <= kHeaderSize) return {};
  std::vector<uint8_t> body((file.size() - kHeaderSize) * kInflationRoom + 1);
  uLongf length = static_cast<uLongf>(body.size() - 1);
  if (uncompress(body.data(), &length, file.data() + kHeaderSize, static_cast<uLong>(file.size() - kHeaderSize)) !=
      Z_OK)
    return {};
  body.resize(length);
  return body;
}

std::vector<BirdBlock> _allBlocks(const BirdFile& file) {
  std::vector<BirdBlock> all;
  for (unsigned type = 0; type < 32; ++type)
    for (const BirdBlock& block : file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type))) all.push_back(block);
  std::sort(all.begin(), all.end(), [](const BirdBlock& a, const BirdBlock& b) { return a.data < b.data; });
  return all;
}

// The loaded body's place in memory: where its first block begins, less that block's offset.
struct Body {
  uint8_t* start = nullptr;
  size_t size = 0;
  size_t room = 0;  // the reader's buffer
};

// Every block lies inside the inflated body, after the one before it, holding the body's bytes.
Body _checkBlocks(const BirdFile& file, const std::vector<uint8_t>& fileBytes) {
  const std::vector<BirdBlock> blocks = _allBlocks(file);
  if (blocks.empty()) return {};
  const std::vector<uint8_t> inflated = _inflate(fileBytes);
  _require(!inflated.empty());
  Body body{blocks.front().data - kFirstBlockData, inflated.size(), (fileBytes.size() - kHeaderSize) * kInflationRoom};
  size_t end = 4;
  for (const BirdBlock& block : blocks) {
    const size_t at = size_t(block.data - body.start);
    _require(at >= end + 5 && at <= body.size && block.length <= body.size - at);
    _require(std::equal(block.data, block.data + block.length, inflated.begin() + long(at)));
    end = at + block.length;
  }
  return body;
}

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

// Runs every operation; the file moved out at the end, holding the body.
BirdFile _exercise(BirdFile& file, const uint8_t* data, size_t size) {
  volatile unsigned sink = _touch_blocks(file);
  sink = sink + file.GetBuild() + file.GetSerialNumber() + static_cast<unsigned>(file.GetVersion().size());
  file.ValidateModel("QF");
  file.ValidateSerialNumber(_word(data, size, 0));
  file.ReplaceSerialNumber(_word(data, size, 4));
  const uint32_t key[4] = {_word(data, size, 8), _word(data, size, 12), _word(data, size, 16), _word(data, size, 20)};
  file.DecodeFirmwareBlocks(key);
  file.ValidateData(data, static_cast<uint32_t>(size < 8 ? size : 8));
  file.ReplaceVectorChecksum();
  BirdFile moved;
  moved = std::move(file);
  sink = sink + _touch_blocks(moved);
  return moved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile input;  // the reader's real file path
  std::vector<uint8_t> file = _as_file(data, size);
  const char* path = input.write(file.data(), file.size());
  BirdFile::VerifyFile(path);
  try {
    BirdFile loaded(path);
    const Body body = _checkBlocks(loaded, file);
    // Exact-size for the sanitizer while the operations run.
    if (body.start) BIRD_POISON(body.start + body.size, body.room - body.size);
    BirdFile moved = _exercise(loaded, data, size);
    if (body.start) BIRD_UNPOISON(body.start + body.size, body.room - body.size);
  } catch (const std::runtime_error&) {
    // Refused: the only outcome a broken file may have.
  }
  return 0;
}
