// A bird file made straight from fuzz input, without the file format around it: blocks
// [type][length, 2 bytes big-endian][bytes], each in a heap buffer of exactly its size, so that
// a read past a block's end is caught by the sanitizer instead of landing in the next block. As
// the reader does, a loader or firmware block's address is its first four bytes (big-endian).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/aByteOrder.h"
#include "firmware/BirdFile.h"

struct FuzzBirdBlocks {
  FuzzBirdBlocks(const uint8_t* data, size_t size) {
    for (size_t at = 0; at + 3 <= size;) {
      const uint8_t type = data[at] & 0x07;
      const size_t length = std::min<size_t>(size_t(data[at + 1]) << 8 | data[at + 2], size - at - 3);
      at += 3;
      buffers.push_back(std::make_unique<uint8_t[]>(std::max<size_t>(length, 1)));
      std::copy_n(data + at, length, buffers.back().get());
      BirdBlock block;
      block.type = type;
      block.length = uint32_t(length);
      block.data = buffers.back().get();
      if ((type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE) && length >= 4)
        block.address = aByteOrder_ReadBE32(block.data);
      bird.blocks.push_back(block);
      at += length;
    }
    bird.blockCount = uint32_t(bird.blocks.size());
  }
  // The buffers are the harness's, not the file's.
  ~FuzzBirdBlocks() { bird.blocks.clear(); }
  FuzzBirdBlocks(const FuzzBirdBlocks&) = delete;
  FuzzBirdBlocks& operator=(const FuzzBirdBlocks&) = delete;

  std::vector<std::unique_ptr<uint8_t[]>> buffers;
  BirdFile bird;
};
