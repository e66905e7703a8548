#include "support/bird_generator.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qftest::bird {
namespace {

void _append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes _padded(const std::string& text, size_t width) {
  Bytes field(width, ' ');
  for (size_t i = 0; i < text.size() && i < width; ++i) field[i] = static_cast<uint8_t>(text[i]);
  return field;
}

Block _raw(Type type, size_t length, uint32_t seed) { return Block{type, 0, randomBytes(length, seed), {}}; }

// The valid two-block skeleton that each broken variant changes in one place.
std::vector<Block> _small_build(uint32_t seed) {
  Build small;
  small.loaderSize = 32;
  small.firmwareSize = 512;
  small.pieces = 1;
  small.seed = seed;
  return buildBlocks(small);
}

Bytes _file(const std::vector<Block>& blocks, std::optional<uint32_t> count = {}, const Bytes& trailing = {}) {
  return wrap(compress(encodeBody(blocks, count, trailing)));
}

}  // namespace

Bytes be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value)};
}

Bytes randomBytes(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

Block imageBlock(Type type, uint32_t address, const Bytes& payload, uint8_t flags) {
  Block block{type, flags, be32(address), {}};
  _append(block.data, payload);
  return block;
}

Block serialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset) {
  Block block{SERIAL_OFFSETS, 0, be32(serialOffset), {}};
  _append(block.data, be32(descriptorOffset));
  return block;
}

Block descriptorBlock(const std::string& build, const std::string& version, const std::string& serial,
                      const std::string& model) {
  Block block{DESCRIPTOR, 0, _padded(build, 16), {}};
  _append(block.data, _padded(version, 16));
  _append(block.data, _padded(serial, 8));
  _append(block.data, _padded("", 8));
  _append(block.data, _padded(model, 16));
  return block;
}

Block jumpAddressBlock(uint32_t address) { return Block{JUMP_ADDRESS, 0, be32(address), {}}; }

Bytes encodeBody(const std::vector<Block>& blocks, std::optional<uint32_t> reportedCount, const Bytes& trailing) {
  Bytes body = be32(reportedCount.value_or(static_cast<uint32_t>(blocks.size())));
  for (const Block& block : blocks) {
    body.push_back(static_cast<uint8_t>((block.type & 0x1F) | (block.flags << 5)));
    _append(body, be32(block.claimedLength.value_or(static_cast<uint32_t>(block.data.size()))));
    _append(body, block.data);
  }
  uint32_t sum = 0;
  for (uint8_t byte : body) sum += byte;
  _append(body, be32(sum));
  _append(body, trailing);
  return body;
}

Bytes compress(const Bytes& body, int level) {
  uLongf size = compressBound(static_cast<uLong>(body.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, body.data(), static_cast<uLong>(body.size()), level) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

Bytes wrap(const Bytes& compressedBody, uint16_t version, const std::string& signature) {
  Bytes file(signature.begin(), signature.end());
  file.push_back(static_cast<uint8_t>(version >> 8));
  file.push_back(static_cast<uint8_t>(version));
  _append(file, compressedBody);
  return file;
}

namespace {

// The image cut into `pieces` blocks at consecutive addresses (at least one, none for an empty
// image).
void _addPieces(std::vector<Block>& blocks, Type type, uint32_t address, const Bytes& image, int count) {
  const size_t pieces = count > 0 ? static_cast<size_t>(count) : 1;
  const size_t pieceSize = (image.size() + pieces - 1) / pieces;
  for (size_t start = 0; start < image.size(); start += pieceSize) {
    const size_t end = std::min(image.size(), start + pieceSize);
    const Bytes piece(image.begin() + static_cast<long>(start), image.begin() + static_cast<long>(end));
    blocks.push_back(imageBlock(type, address + static_cast<uint32_t>(start), piece));
  }
}

}  // namespace

std::vector<Block> buildBlocks(const Build& build) {
  std::vector<Block> blocks;
  _addPieces(blocks, LOADER, build.loaderAddress, randomBytes(build.loaderSize, build.seed), build.loaderPieces);
  _addPieces(blocks, FIRMWARE, build.firmwareAddress, randomBytes(build.firmwareSize, build.seed + 1), build.pieces);
  blocks.push_back(serialOffsetsBlock(build.serialOffset, build.descriptorOffset));
  char serial[9];
  snprintf(serial, sizeof serial, "%08X", build.serial);
  blocks.push_back(descriptorBlock(std::to_string(build.build), build.version, serial, build.model));
  if (build.jumpAddress) blocks.push_back(jumpAddressBlock(*build.jumpAddress));
  return blocks;
}

Bytes makeBirdFile(const Build& build) { return _file(buildBlocks(build)); }

const std::vector<BrokenCase>& brokenCases() {
  static const std::vector<BrokenCase> cases = {
      {Broken::BlockPastBody, "block_past_body", false},
      {Broken::ShortLoader, "short_loader", false},
      {Broken::ShortFirmware, "short_firmware", false},
      {Broken::ShortDescriptor, "short_descriptor", false},
      {Broken::ShortSerialOffsets, "short_serial_offsets", false},
      {Broken::NoCountWord, "no_count_word", false},
      {Broken::BadStream, "bad_stream", false},
      {Broken::TruncatedStream, "truncated_stream", false},
      {Broken::EmptyBody, "empty_body", false},
      {Broken::InflatesTooFar, "inflates_too_far", false},
      {Broken::TrailingBytes, "trailing_bytes", false},
      {Broken::CountMismatch, "count_mismatch", true},
      {Broken::NoChecksum, "no_checksum", true},
      {Broken::ShortChecksum, "short_checksum", true},
  };
  return cases;
}

Bytes makeBroken(Broken kind, uint32_t seed) {
  std::vector<Block> blocks = _small_build(seed);
  switch (kind) {
    case Broken::BlockPastBody:
      blocks.back().claimedLength = static_cast<uint32_t>(blocks.back().data.size() + 5);
      return _file(blocks);
    case Broken::ShortLoader:
      blocks.insert(blocks.begin(), _raw(LOADER, 3, seed));
      return _file(blocks);
    case Broken::ShortFirmware:
      blocks.push_back(_raw(FIRMWARE, 3, seed));
      return _file(blocks);
    case Broken::ShortDescriptor:
      blocks.push_back(_raw(DESCRIPTOR, 63, seed));
      return _file(blocks);
    case Broken::ShortSerialOffsets:
      blocks.push_back(_raw(SERIAL_OFFSETS, 7, seed));
      return _file(blocks);
    case Broken::NoChecksum:
    case Broken::ShortChecksum: {
      Bytes body = encodeBody(blocks);
      body.resize(body.size() - (kind == Broken::NoChecksum ? 4 : 2));
      return wrap(compress(body));
    }
    case Broken::NoCountWord:
      return wrap(compress(Bytes{0, 0, 0}));
    case Broken::BadStream: {
      Bytes stream = compress(encodeBody(blocks));
      stream[0] ^= 0xFF;
      return wrap(stream);
    }
    case Broken::TruncatedStream: {
      Bytes stream = compress(encodeBody(blocks));
      stream.resize(stream.size() / 2);
      return wrap(stream);
    }
    case Broken::EmptyBody:
      return wrap({});
    case Broken::InflatesTooFar:
      blocks.push_back(Block{3, 0, Bytes(64 * 1024, 0), {}});
      return _file(blocks);
    case Broken::CountMismatch:
      return _file(blocks, static_cast<uint32_t>(blocks.size() + 1));
    case Broken::TrailingBytes:
      return _file(blocks, {}, Bytes{0xAA, 0x55});
  }
  throw std::invalid_argument("unknown broken kind");
}

Bytes makeInflationEdge(int excess) {
  // Grow a run of zeros behind some random bytes: the body grows by one byte per step while its
  // compressed size grows only now and then, so body - 8 * compressed passes every value.
  const Bytes noise = randomBytes(200, 7);
  for (size_t zeros = 0; zeros < 200000; ++zeros) {
    Block filler{3, 0, noise, {}};
    filler.data.resize(noise.size() + zeros, 0);
    Bytes body = encodeBody({filler});
    Bytes stream = compress(body);
    if (static_cast<long>(body.size()) == 8 * static_cast<long>(stream.size()) + excess) {
      return wrap(stream);
    }
  }
  throw std::runtime_error("no body of that inflation found");
}

Bytes scramble(const Bytes& plain, const uint32_t words[4]) {
  uint8_t key[16];
  for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(words[i / 4] >> (24 - 8 * (i % 4)));
  Bytes scrambled(plain.size());
  for (size_t i = 0; i < plain.size(); ++i) {
    scrambled[i] = static_cast<uint8_t>(plain[i] ^ key[i % 16] ^ (i ? plain[i - 1] : 0));
  }
  return scrambled;
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace qftest::bird
