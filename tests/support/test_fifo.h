// A packet FIFO made for one test and destroyed after it, with tag-level helpers.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "common/packetfifo.h"
#include "support/test_packets.h"

class FifoTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(fifo, 0u); }
  void TearDown() override {
    if (fifo) aPacketFifo_Destroy(&fifo);
  }

  void PutTags(const std::vector<uint8_t>& tags) {
    for (uint8_t tag : tags) ASSERT_EQ(aPacketFifo_Put(fifo, MakeTagged(tag).get()), aErrNone);
  }

  // Takes every packet left, oldest first.
  std::vector<uint8_t> TakeAll() {
    std::vector<uint8_t> tags;
    while (OwnedPacket packet{aPacketFifo_Get(fifo)}) tags.push_back(packet->data[0]);
    return tags;
  }

  static uint8_t Tag(const OwnedPacket& packet) { return packet ? packet->data[0] : 0; }

  aPacketFifoID fifo = aPacketFifo_Create();
};
