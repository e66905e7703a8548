// Reader of bird firmware files: a 6-byte header ("bird" and two version bytes) and a zlib
// stream whose inflated body holds typed blocks: loader and firmware pieces with their load
// addresses, the image addresses where a module's serial number is patched in, a 64-byte
// descriptor (build, version, serial number, model) and a recovery start address.
//
// Bird files come from outside (update server, command line), so a body that breaks the block
// layout is refused as a whole; nothing is ever read or written outside the inflated body.
// A BirdFile owns its body and moves, never copies; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block; `data` points into the owning BirdFile's body and stays valid while that
// body lives (also after the BirdFile was moved).
struct BirdBlock {
  uint8_t type = 0;      // low 5 bits of the header byte
  uint8_t flags = 0;     // top 3 bits of the header byte, 0 to 7
  uint32_t length = 0;   // data bytes
  uint32_t address = 0;  // load address of a loader or firmware block, else 0
  uint8_t* data = nullptr;
};

class BirdFile {
 public:
  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr uint32_t DESCRIPTOR_SIZE = 64;
  // The largest bird file read: as large as the largest download (a file this size would not
  // fit through the update server either).
  static constexpr size_t MAX_FILE_BYTES = size_t{64} << 20;

  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_JUMP_ADDRESS = 5,
  };

  // An empty file: no path, no blocks, no body.
  BirdFile();
  // Loads the file; throws std::runtime_error("Failed to load bird data") when it cannot.
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  ~BirdFile();

  // True when the file starts with the signature and two non-zero version bytes. Loads nothing.
  static bool VerifyFile(const char* path);
  // Whether the path names a regular file of at most MAX_FILE_BYTES, found without opening it
  // (a FIFO or a device would block or never end); otherwise why not, in *why. Loading and
  // verifying read nothing else.
  static bool IsReadableFile(const char* path, std::string* why);

  // Copies of every block of the type, in file order.
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Descriptor fields; 0, "" and 0 without a descriptor.
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  // True when the descriptor's model text (trailing blanks removed) is the whole name.
  bool ValidateModel(const char* name) const;

  // Patches the serial number into the firmware image in memory: the 32-bit word at
  // serialOffset (little-endian) and the eight UTF-16LE characters at descriptorOffset. True
  // when a serial offset is set and a firmware block exists, or when the text was written.
  bool ReplaceSerialNumber(uint32_t serial);
  // Descrambles every firmware block's payload in place with the four key words.
  bool DecodeFirmwareBlocks(const uint32_t words[4]);

  // Diagnostics.
  bool DumpBlocks(BLOCK_TYPE type) const;  // hex dump on standard output
  bool ValidateData(const uint8_t* pattern, uint32_t count) const;
  // Sets word 7 of the vector table of every firmware block loaded at 0 so that words 0-4, 6 and
  // 7 sum to zero. A block too short to hold the eight words is left alone.
  bool ReplaceVectorChecksum();

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;  // blocks parsed, not the body's count word
  std::vector<BirdBlock> blocks;
  bool hasSerialBlocks = false;
  uint32_t serialOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<uint8_t[]> body;
  uint32_t bodySize = 0;

 private:
  bool Load();
  bool LoadContents(const uint8_t* bytes, size_t count);
  // Inflates into a body of 8 times the compressed size.
  bool DecompressData(const uint8_t* bytes, size_t count);
  // Splits the body into blocks. False when the body breaks the layout (no count word, a block
  // running past its end, a typed block too short for its fields); a disagreeing count word, a
  // missing checksum or leftover bytes are only logged.
  bool ScanBlocks(uint8_t* bytes, uint32_t count);
  bool FindSerialNumberOffsets();
  const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
  // The descriptor bytes [offset, offset + size) as terminated text; empty without a descriptor.
  std::string DescriptorField(uint32_t offset, uint32_t size) const;
  void Swap(BirdFile& other) noexcept;
};
