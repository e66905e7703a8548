#include "firmware/BirdFile.h"

#include <sys/stat.h>

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/aByteOrder.h"
#include "common/aFile.h"
#include "firmware/Log.h"

namespace {

constexpr uint32_t _header_size = 6;
constexpr uint32_t _block_header_size = 5;
constexpr uint32_t _word_size = 4;
constexpr uint32_t _serial_offsets_size = 8;
constexpr uint32_t _serial_text_chars = 8;
constexpr uint32_t _serial_text_size = 2 * _serial_text_chars;
constexpr uint32_t _inflation_factor = 8;

bool _is_image_block(uint8_t type) { return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE; }

// The fewest data bytes a block of the type must carry for its readers to stay inside it.
uint32_t _minimum_length(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
    case BirdFile::BLOCK_FIRMWARE:
      return _word_size;
    case BirdFile::BLOCK_SERIAL_OFFSETS:
      return _serial_offsets_size;
    case BirdFile::BLOCK_DESCRIPTOR:
      return BirdFile::DESCRIPTOR_SIZE;
    default:
      return 0;
  }
}

uint8_t* _payload(const BirdBlock& block) { return block.data + _word_size; }

uint32_t _payload_length(const BirdBlock& block) { return block.length - _word_size; }

// True when n bytes at image address `at` lie inside the block's payload. 64-bit, so that an
// address near 2^32 cannot wrap around into a block.
bool _field_in_block(const BirdBlock& block, uint32_t at, uint32_t n) {
  uint64_t start = block.address;
  uint64_t end = start + _payload_length(block);
  return start <= at && uint64_t{at} + n <= end;
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path_) : path(path_ ? path_ : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { Swap(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  BirdFile taken(std::move(other));
  Swap(taken);
  return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::Swap(BirdFile& other) noexcept {
  std::swap(path, other.path);
  std::swap(signature, other.signature);
  std::swap(version, other.version);
  std::swap(checksum, other.checksum);
  std::swap(blockCount, other.blockCount);
  std::swap(blocks, other.blocks);
  std::swap(hasSerialBlocks, other.hasSerialBlocks);
  std::swap(serialOffset, other.serialOffset);
  std::swap(descriptorOffset, other.descriptorOffset);
  std::swap(body, other.body);
  std::swap(bodySize, other.bodySize);
}

bool BirdFile::IsReadableFile(const char* path, std::string* why) {
  struct stat info {};
  std::string reason;
  if (path == nullptr || ::stat(path, &info) != 0) {
    reason = "not found";
  } else if (!S_ISREG(info.st_mode)) {
    reason = "not a regular file";
  } else if (static_cast<uint64_t>(info.st_size) > MAX_FILE_BYTES) {
    reason = "larger than " + std::to_string(MAX_FILE_BYTES >> 20) + " MiB";
  }
  if (why) *why = reason;
  return reason.empty();
}

bool BirdFile::Load() {
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  std::string why;
  if (!IsReadableFile(path.c_str(), &why)) {
    if (!aFile_Exists(path.c_str()))
      Log::log(Log::DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    else Log::log(Log::DEBUG_BirdFile, "BIRDFILE: BIRD file [%s] is %s\n", path.c_str(), why.c_str());
    return false;
  }
  aFile* file = aFile_Open(path.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", static_cast<int>(err),
             path.c_str());
    aFile_Close(&file);
    return false;
  }
  std::unique_ptr<uint8_t[]> contents(new (std::nothrow) uint8_t[size ? size : 1]);
  bool loaded = false;
  size_t got = 0;
  if (contents == nullptr) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory), path.c_str());
  } else if ((err = aFile_Read(file, contents.get(), size, &got)) != aErrNone) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err), path.c_str());
  } else if (got < size) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), got,
             size);
  } else {
    loaded = LoadContents(contents.get(), size);
  }
  aFile_Close(&file);
  return loaded;
}

bool BirdFile::LoadContents(const uint8_t* bytes, size_t count) {
  if (count > _header_size) {
    signature = aByteOrder_ReadBE32(bytes);
    version = aByteOrder_ReadBE16(bytes + 4);
  }
  size_t compressed = count > _header_size ? count - _header_size : 0;
  if (!DecompressData(bytes + (count > _header_size ? _header_size : count), compressed)) {
    return false;
  }
  if (!ScanBlocks(body.get(), bodySize)) return false;
  hasSerialBlocks = FirstBlock(BLOCK_SERIAL_OFFSETS) != nullptr;
  FindSerialNumberOffsets();
  return true;
}

bool BirdFile::DecompressData(const uint8_t* bytes, size_t count) {
  body.reset();
  bodySize = 0;
  // The body is inflated in one call into eight times the compressed size; a body that cannot
  // be offered that much room (over 4 GiB) is refused rather than wrapped to a smaller buffer.
  uint64_t room = uint64_t{count} * _inflation_factor;
  if (room > UINT32_MAX || count > UINT32_MAX) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    return false;
  }
  std::unique_ptr<uint8_t[]> inflated(new (std::nothrow) uint8_t[room ? room : 1]);
  if (inflated == nullptr) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    return false;
  }
  uLongf length = static_cast<uLongf>(room);
  int result = uncompress(inflated.get(), &length, bytes, static_cast<uLong>(count));
  if (result != Z_OK) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
    return false;
  }
  body = std::move(inflated);
  bodySize = static_cast<uint32_t>(length);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* bytes, uint32_t count) {
  blocks.clear();
  blockCount = 0;
  if (count < _word_size) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - body of %u bytes holds no block count\n", count);
    return false;
  }
  uint32_t reported = aByteOrder_ReadBE32(bytes);
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
  uint32_t position = _word_size;
  uint32_t remaining = count - _word_size;
  bool sound = true;
  while (sound && remaining > _word_size) {
    BirdBlock block;
    block.type = bytes[position] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((bytes[position] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = aByteOrder_ReadBE32(bytes + position + 1);
    position += _block_header_size;
    remaining -= _block_header_size;
    block.data = bytes + position;
    if (block.length > remaining) {
      Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - block %u of %u bytes runs past the body (%u bytes left)\n",
               blockCount, block.length, remaining);
      sound = false;
    } else if (block.length < _minimum_length(block.type)) {
      Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - block %u of type %02X too short (%u bytes)\n", blockCount,
               block.type, block.length);
      sound = false;
    } else {
      if (_is_image_block(block.type)) block.address = aByteOrder_ReadBE32(block.data);
      Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
               static_cast<int>(block.length));
      if (block.type == BLOCK_DESCRIPTOR) {
        for (uint32_t field = 0; field < DESCRIPTOR_SIZE; field += 16) {
          Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                   reinterpret_cast<const char*>(block.data + field));
        }
      }
      position += block.length;
      remaining -= block.length;
      ++blockCount;
      blocks.push_back(block);
    }
  }
  if (!sound) {
    blocks.clear();
    blockCount = 0;
    return false;
  }
  // What is left after the blocks should be exactly the checksum word. A body that ends before
  // it is a size mismatch like any other: logged, with the checksum taken as 0.
  int64_t left = int64_t{remaining} - _word_size;
  checksum = 0;
  if (left >= 0) {
    checksum = aByteOrder_ReadBE32(bytes + position);
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  }
  if (left != 0) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(left));
  }
  if (blockCount != reported) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(reported));
  }
  return true;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
  for (const BirdBlock& block : blocks) {
    if (block.type == type) return &block;
  }
  return nullptr;
}

bool BirdFile::FindSerialNumberOffsets() {
  const BirdBlock* offsets = blockCount ? FirstBlock(BLOCK_SERIAL_OFFSETS) : nullptr;
  if (offsets == nullptr || offsets->length < _serial_offsets_size) return false;
  serialOffset = aByteOrder_ReadBE32(offsets->data);
  descriptorOffset = aByteOrder_ReadBE32(offsets->data + _word_size);
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           static_cast<int>(serialOffset), static_cast<int>(descriptorOffset));
  return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

std::string BirdFile::DescriptorField(uint32_t offset, uint32_t size) const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR);
  if (descriptor == nullptr || descriptor->length < offset + size) return std::string();
  const char* field = reinterpret_cast<const char*>(descriptor->data + offset);
  // Up to the first NUL, never past the field: the text is not terminated in the file.
  return std::string(field, strnlen(field, size));
}

uint32_t BirdFile::GetBuild() const {
  return static_cast<uint32_t>(strtoul(DescriptorField(0, 15).c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  std::string text = DescriptorField(16, 15);
  return text.substr(0, text.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
  return static_cast<uint32_t>(strtoul(DescriptorField(32, 8).c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* name) const {
  if (name == nullptr || FirstBlock(BLOCK_DESCRIPTOR) == nullptr) return false;
  std::string model = DescriptorField(48, 16);
  model.erase(model.find_last_not_of(' ') + 1);
  // The whole name: a "QF-Core-E" file is no file for a "QF-Core" module.
  if (model != name) return false;
  Log::log(Log::DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(), name);
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char text[_serial_text_chars + 1];
  snprintf(text, sizeof text, "%08X", serial);
  bool replaced = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t* payload = _payload(block);
    if (serialOffset != 0) {
      if (_field_in_block(block, serialOffset, _word_size)) {
        uint8_t* word = payload + (serialOffset - block.address);
        Log::log(Log::DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 aByteOrder_ReadLE32(word), serial);
        aByteOrder_WriteLE32(word, serial);
      }
      replaced = true;
    }
    if (descriptorOffset != 0 && _field_in_block(block, descriptorOffset, _serial_text_size)) {
      uint8_t* characters = payload + (descriptorOffset - block.address);
      // UTF-16LE: only the low byte of each character is written; the high byte stays.
      for (uint32_t i = 0; i < _serial_text_chars; ++i) {
        characters[2 * i] = static_cast<uint8_t>(text[i]);
      }
      replaced = true;
    }
  }
  return replaced;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t words[4]) {
  uint8_t key[16];
  for (int w = 0; w < 4; ++w) {
    for (int b = 0; b < 4; ++b) key[4 * w + b] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
  }
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t* payload = _payload(block);
    uint8_t previous = 0;
    for (uint32_t i = 0; i < _payload_length(block); ++i) {
      previous = payload[i] = static_cast<uint8_t>(payload[i] ^ key[i % 16] ^ previous);
    }
  }
  return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    std::string text;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
        text.clear();
      }
      uint8_t byte = block.data[i];
      printf("%02X ", byte);
      text += isprint(byte) ? static_cast<char>(byte) : ' ';
    }
    printf(" %s\n", text.c_str());
  }
  printf("\n");
  return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t count) const {
  Log::log(Log::DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || pattern == nullptr || count == 0) continue;
    // A match ending on the block's last byte is not tried; a pattern longer than the block
    // is never compared at all.
    for (uint64_t i = 0; i + count < block.length; ++i) {
      if (memcmp(block.data + i, pattern, count) == 0) {
        Log::log(Log::DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
        found = true;
      }
    }
  }
  Log::log(Log::DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::ReplaceVectorChecksum() {
  constexpr uint32_t vector_words = 8;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.address != 0) continue;
    if (_payload_length(block) < vector_words * _word_size) continue;
    uint8_t* table = _payload(block);
    uint32_t sum = 0;
    for (uint32_t word : {0u, 1u, 2u, 3u, 4u, 6u}) sum += aByteOrder_ReadLE32(table + _word_size * word);
    uint32_t balance = ~sum + 1;
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             aByteOrder_ReadLE32(table + _word_size * 7), balance);
    aByteOrder_WriteLE32(table + _word_size * 7, balance);
  }
  return true;
}

bool BirdFile::VerifyFile(const char* path) {
  if (!IsReadableFile(path, nullptr)) return false;
  aFile* file = aFile_Open(path, aFileModeRead);
  if (file == nullptr) {
    Log::log(Log::DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path ? path : "");
    return false;
  }
  uint8_t header[_header_size];
  size_t got = 0;
  aFile_Read(file, header, sizeof header, &got);
  aFile_Close(&file);
  return got == _header_size && aByteOrder_ReadBE32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 && header[5] != 0;
}
