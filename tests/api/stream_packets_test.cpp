// Stream packets without a module: keys and their elements, the kind of a packet, sample
// decoding, and the single-producer single-consumer ring that carries callback runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "api/Link.h"
#include "api/LocklessQueue.h"

using namespace Tarnwick::Quillfern;
using Bytes = std::vector<uint8_t>;

namespace {

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr Packet(uint8_t address, const Bytes& data) {
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

// [command][option][index | 0x40][kind][subindex?][timestamp 8][value][sequence]
Bytes Sample(uint8_t kind, const Bytes& value, uint8_t sequence = 0, bool subindexed = false) {
  Bytes data{0x12, 0x03, 0x41, kind};
  if (subindexed) data.push_back(0x09);
  const Bytes timestamp{0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
  data.insert(data.end(), timestamp.begin(), timestamp.end());
  data.insert(data.end(), value.begin(), value.end());
  data.push_back(sequence);
  return data;
}

TEST(StreamKeyTest, ElementsSitWhereTheKeySaysAndWildcardsAreBytes) {
  const uint64_t key = Link::createStreamKey(0x02, 0x12, 0x03, 0x01, 0xFF);
  EXPECT_EQ(key, 0xFF02120301ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_ADDRESS), 0x02);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND), 0x12);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 0x03);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 0x01);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 0xFF);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY(5)), 0);
  uint32_t high = 0, low = 0;
  Link::getTimestampParts(0x0102030405060708ull, &high, &low);
  EXPECT_EQ(high, 0x01020304u);
  EXPECT_EQ(low, 0x05060708u);
  Link::getTimestampParts(1, nullptr, nullptr);  // outputs may be left out
}

TEST(StreamPacketTest, KindsAndSamplesByLengthAndSequence) {
  const struct {
    const char* what;
    Bytes data;
    bool hasKind;
    Link::STREAM_PACKET kind;
    bool sample;
  } cases[] = {
      {"u8", Sample(1, {0x7F}), true, Link::STREAM_PACKET_U8, true},
      {"u16", Sample(2, {0x12, 0x34}), true, Link::STREAM_PACKET_U16, true},
      {"u32", Sample(3, {1, 2, 3, 4}), true, Link::STREAM_PACKET_U32, true},
      {"sub u8", Sample(5, {0x7F}, 0, true), true, Link::STREAM_PACKET_SUB_U8, true},
      {"sub u16", Sample(6, {0x12, 0x34}, 0, true), true, Link::STREAM_PACKET_SUB_U16, true},
      {"sub u32", Sample(7, {1, 2, 3, 4}, 0, true), true, Link::STREAM_PACKET_SUB_U32, true},
      {"u8 one byte long", Sample(1, {0x7F, 0x00}), true, Link::STREAM_PACKET_U8, false},
      {"declared bytes", Sample(4, {1}), true, Link::STREAM_PACKET_BYTES, false},
      {"kind 0", Sample(0, {1}), false, Link::STREAM_PACKET_NONE, false},
      {"kind 8", Sample(8, {1}), false, Link::STREAM_PACKET_NONE, false},
      {"a later chunk", Sample(1, {0x7F}, 0x03), true, Link::STREAM_PACKET_BYTES, false},
      {"28 bytes, more follow", Sample(1, Bytes(15, 0xEE), 0x80), true, Link::STREAM_PACKET_BYTES, false},
      {"a reply, not a stream", {0x12, 0x03, 0x01, 1, 2, 3, 4}, false, Link::STREAM_PACKET_NONE, false},
      {"four bytes", {0x12, 0x03, 0x41, 1}, false, Link::STREAM_PACKET_NONE, false},
  };
  for (const auto& c : cases) {
    PacketPtr packet = Packet(2, c.data);
    ASSERT_TRUE(packet) << c.what;
    Link::STREAM_PACKET kind = Link::STREAM_PACKET_U32;
    EXPECT_EQ(Link::getStreamPacketType(packet.get(), &kind), c.hasKind) << c.what;
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(Link::isStreamSample(packet.get()), c.sample) << c.what;
    const aErr decoded = Link::getStreamSample(packet.get(), nullptr, nullptr, nullptr);
    const aErr expected = c.sample ? aErrNone : c.kind == Link::STREAM_PACKET_BYTES ? aErrSize : aErrPacket;
    EXPECT_EQ(decoded, expected) << c.what;
  }
}

TEST(StreamPacketTest, SamplesDecodeTimestampValueAndSubindex) {
  const struct {
    Bytes data;
    uint32_t value;
    uint8_t subindex;
  } cases[] = {
      {Sample(1, {0xF1}), 0xF1, 0},
      {Sample(2, {0xF1, 0x02}), 0xF102, 0},
      {Sample(3, {0xF1, 0x02, 0x03, 0x04}), 0xF1020304, 0},
      {Sample(5, {0xF1}, 0, true), 0xF1, 9},
      {Sample(6, {0xF1, 0x02}, 0, true), 0xF102, 9},
      {Sample(7, {0xF1, 0x02, 0x03, 0x04}, 0, true), 0xF1020304, 9},
  };
  for (const auto& c : cases) {
    PacketPtr packet = Packet(2, c.data);
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    ASSERT_EQ(Link::getStreamSample(packet.get(), &timestamp, &value, &subindex), aErrNone) << c.data.size();
    EXPECT_EQ(timestamp, 0x01020304A0B0C0D0ull);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(subindex, c.subindex);
  }
}

TEST(LocklessQueueTest, HoldsOneLessThanItsSlotsAndGivesUpWhatItHanded) {
  Tarnwick::LocklessQueue_SPSC<std::shared_ptr<int>> ring(500);
  auto payload = std::make_shared<int>(7);
  int pushed = 0;
  while (ring.push(payload)) ++pushed;
  EXPECT_EQ(pushed, 499);
  std::shared_ptr<int> out;
  ASSERT_TRUE(ring.pop(&out));
  EXPECT_TRUE(ring.push(payload)) << "room again after one was taken";
  EXPECT_FALSE(ring.push(payload));
  while (ring.pop(&out)) {
  }
  out.reset();
  EXPECT_EQ(payload.use_count(), 1) << "the ring keeps nothing of the items it handed out";
}

}  // namespace
