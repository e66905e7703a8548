#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/aUEI.h"
#include "support/test_packets.h"

namespace {

TEST(UEIValues, ShortsAndIntsAreBigEndian) {
  uint8_t bytes[4] = {};
  aUEI_StoreShort(bytes, 0xA1B2);
  EXPECT_EQ(bytes[0], 0xA1);
  EXPECT_EQ(bytes[1], 0xB2);
  EXPECT_EQ(aUEI_RetrieveShort(bytes), 0xA1B2);
  aUEI_StoreInt(bytes, 0x01020304);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x01020304u);
}

TEST(UEIValues, IntBufferTurnsWireOrderIntoHostValues) {
  const uint8_t wire[8] = {0x12, 0x34, 0x56, 0x78, 0xFE, 0xDC, 0xBA, 0x98};
  uint32_t words[2];
  std::memcpy(words, wire, sizeof words);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x12345678u);
  EXPECT_EQ(words[1], 0xFEDCBA98u);
}

struct PayloadCase {
  std::vector<uint8_t> data;
  bool entity;
  bool stream;
};

TEST(UEIPayload, ClassifiesByCommandOptionAndIndex) {
  const PayloadCase cases[] = {
      {{0x49, 0x01, 0x02}, false, false},
      {{0x03, 0x48, 0x20}, true, false},
      {{}, false, false},  // command byte 0 is link level whatever the length
      {{0xAD, 0x00, 0x40, 0x00, 0x00}, false, false},
      {{0x5D, 0x01, 0x40, 0x00, 0x12}, true, true},
      {{0x5D, 0x01, 0x40, 0x00}, true, false},               // too short for a value
      {{0x5D, 0x41, 0x40, 0x00, 0x12}, true, false},         // a get
      {{0x5D, 0x81, 0x40, 0x00, 0x12}, true, false},         // a set
      {{0x5D, 0xC1, 0x40, 0x00, 0x12}, true, false},         // an acknowledgement
      {{0x5D, 0x01, 0x20, 0x00, 0x12}, true, false},         // no stream bit
      {{0x5F, 0x01, 0x40, 0x00, 0x12, 0x00}, false, false},  // upgrade is link level
  };
  for (const PayloadCase& c : cases) {
    OwnedPacket packet = MakePacket(0x02, c.data);
    ASSERT_TRUE(packet);
    const std::string label = testing::PrintToString(c.data);
    EXPECT_EQ(aUEI_isUEIPayload(packet.get()), c.entity) << label;
    EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), !c.entity) << label;
    EXPECT_EQ(aUEI_isStreamPacket(packet.get()), c.stream) << label;
  }
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEIPayload, EveryLinkLevelCommandIsRecognised) {
  const std::vector<uint8_t> linkLevel = {0, 1, 2, 4, 8, 9, 23, 24, 0x49, 0x5E, 0x5F, 0xAD, 0xAF};
  for (int command = 0; command < 256; ++command) {
    OwnedPacket packet = MakePacket(0x02, {static_cast<uint8_t>(command)});
    ASSERT_TRUE(packet);
    const bool expected = std::find(linkLevel.begin(), linkLevel.end(), command) != linkLevel.end();
    EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), expected) << command;
  }
}

TEST(UEIBytes, ChunkSequenceAndContinuationComeFromTheLastByte) {
  struct Case {
    std::vector<uint8_t> data;
    uint8_t sequence;
    bool more;
  };
  const Case cases[] = {
      {{0x20, 0x85, 0x01, 0xAA, 0x85}, 5, true},
      {{0x20, 0x85, 0x01, 0xAA, 0x05}, 5, false},
      {{0x20, 0x85, 0x01, 0xFF}, 0x7F, true},
      {{}, 0, false},
  };
  for (const Case& c : cases) {
    OwnedPacket packet = MakePacket(0x02, c.data);
    ASSERT_TRUE(packet);
    EXPECT_EQ(aUEI_getBytesSequence(packet.get()), c.sequence);
    EXPECT_EQ(aUEI_getBytesContinue(packet.get()), c.more);
  }
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
}

TEST(UEIBytes, OnlyPacketsOf27Or28BytesAreFullChunks) {
  for (uint8_t size = 0; size <= aPACKET_MAX_DATA; ++size) {
    OwnedPacket packet = MakePacket(0x02, std::vector<uint8_t>(size, 0x11));
    ASSERT_TRUE(packet);
    EXPECT_EQ(aUEI_getBytesFullPacket(packet.get()), size >= 27) << int(size);
  }
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

}  // namespace
