// Makes bird firmware files for tests, straight from the file format (independent of the
// updater's reader): a 6-byte header ("bird", version high and low byte) followed by one zlib
// stream of the body. Body: a 32-bit block count, the blocks, a 32-bit checksum word. Block: a
// header byte (type in bits 0-4, flags in bits 5-7), a 32-bit length, that many data bytes.
// Every multi-byte integer is big-endian except where a block's payload says otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qftest::bird {

using Bytes = std::vector<uint8_t>;

enum Type : uint8_t {
  LOADER = 0,
  FIRMWARE = 1,
  SERIAL_OFFSETS = 2,
  DESCRIPTOR = 4,
  JUMP_ADDRESS = 5,
};

struct Block {
  uint8_t type = 0;
  uint8_t flags = 0;  // 0 to 7
  Bytes data;
  std::optional<uint32_t> claimedLength;  // a length word other than data.size()
};

// Typed blocks. An image block's data is its big-endian load address, then the payload.
Block imageBlock(Type type, uint32_t address, const Bytes& payload, uint8_t flags = 0);
Block serialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset);
// Text fields padded with spaces to 16 bytes (build, version), 8 + 8 (serial) and 16 (model).
Block descriptorBlock(const std::string& build, const std::string& version, const std::string& serial,
                      const std::string& model);
Block jumpAddressBlock(uint32_t address);

Bytes be32(uint32_t value);
Bytes randomBytes(size_t count, uint32_t seed);

// The body: count word (the number of blocks unless given), the blocks, then the checksum word
// (a byte sum of everything before it; readers never check it) and any extra bytes.
Bytes encodeBody(const std::vector<Block>& blocks, std::optional<uint32_t> reportedCount = {},
                 const Bytes& trailing = {});
Bytes compress(const Bytes& body, int level = 9);
// The file: signature, version bytes, then the compressed body as it is.
Bytes wrap(const Bytes& compressedBody, uint16_t version = 0x0101, const std::string& signature = "bird");

// A complete, valid firmware build: the loader in `loaderPieces` loader blocks, the firmware
// image in `pieces` firmware blocks (consecutive addresses from firmwareAddress), the serial
// offsets pointing into the image, the descriptor and, optionally, a jump address. Payloads are
// random bytes from `seed`.
struct Build {
  uint32_t build = 12345;
  std::string version = "2.10.4";
  uint32_t serial = 0x0012ABCD;
  std::string model = "QF-100";
  size_t loaderSize = 256;
  size_t firmwareSize = 4096;
  int pieces = 2;        // firmware blocks (none when firmwareSize is 0)
  int loaderPieces = 1;  // loader blocks (none when loaderSize is 0)
  uint32_t loaderAddress = 0x10000000;
  uint32_t firmwareAddress = 0x00004000;
  uint32_t serialOffset = 0x00004100;      // image address of the 32-bit serial word
  uint32_t descriptorOffset = 0x00004200;  // image address of the UTF-16LE serial text
  std::optional<uint32_t> jumpAddress;
  uint32_t seed = 1;
};
std::vector<Block> buildBlocks(const Build& build);
Bytes makeBirdFile(const Build& build);

// Files that break the format, each in one way. The reader must refuse the first group
// ("Failed to load bird data") and load the rest with a logged mismatch.
enum class Broken {
  BlockPastBody,       // a block's length runs past the end of the body
  ShortLoader,         // loader block of 3 data bytes
  ShortFirmware,       // firmware block of 3 data bytes
  ShortDescriptor,     // descriptor of 63 bytes
  ShortSerialOffsets,  // serial-offsets block of 7 bytes
  NoCountWord,         // body of 3 bytes
  BadStream,           // the compressed body is not a zlib stream
  TruncatedStream,     // the zlib stream is cut in the middle
  EmptyBody,           // the 6-byte header alone
  InflatesTooFar,      // the body inflates to more than 8 times its compressed size
  TrailingBytes,       // two bytes after the checksum: read as one more block, past the body
  // Loaded, with a logged mismatch:
  CountMismatch,  // count word says one more block than there are
  NoChecksum,     // body ends after the last block
  ShortChecksum,  // body ends two bytes into the checksum
};
struct BrokenCase {
  Broken kind;
  const char* name;
  bool loads;
};
const std::vector<BrokenCase>& brokenCases();
Bytes makeBroken(Broken kind, uint32_t seed = 1);

// A file whose compressed body of n bytes inflates to exactly 8 * n + excess bytes.
Bytes makeInflationEdge(int excess);

// What a producer does to a recovery image's firmware payload so that descrambling with the
// same four key words (each most significant byte first, 16 key bytes in all) gives it back:
// scrambled[i] = plain[i] ^ key[i % 16] ^ plain[i - 1], with plain[-1] = 0.
Bytes scramble(const Bytes& plain, const uint32_t words[4]);

void writeFile(const std::string& path, const Bytes& bytes);

}  // namespace qftest::bird
