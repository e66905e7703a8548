// Known-answer checks of the simulator's own wire framing; every other simulator test leans on
// these, so a misreading of the format shows here first.
#include <gtest/gtest.h>

#include "sim/module/simFraming.h"
#include "support/raw_peer.h"

using namespace qfsim;
using qftest::Bytes;
using qftest::hex;

namespace {

Bytes _all28() {
  Bytes data;
  for (std::uint8_t i = 0; i < 28; ++i) data.push_back(static_cast<std::uint8_t>(i * 9));  // holds one 0x00
  return data;
}

Bytes _delimited(Bytes body) {
  body.push_back(0x00);
  return body;
}

TEST(SimFramingTest, CrcOfTheCheckString) {
  const std::string check = "123456789";
  EXPECT_EQ(simCrc8(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xA1);
  EXPECT_EQ(simCrc8(nullptr, 0), 0x00);
}

TEST(SimFramingTest, SerialFramesOfKnownPackets) {
  struct Case {
    SimPacket packet;
    Bytes frame;
  };
  const Case cases[] = {
      {{0x04, {0x11, 0x22}}, {0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}},
      {{0xAD, {}}, {0x02, 0xAD, 0x02, 0x67, 0x00}},
      {{0x04, {0x03, 0x08, 0x00, 0x09}}, {0x05, 0x04, 0x04, 0x03, 0x08, 0x03, 0x09, 0xF2, 0x00}},
  };
  auto framer = simMakeCobsFramer();
  for (const Case& c : cases) {
    EXPECT_EQ(hex(framer->frame(c.packet, false)), hex(c.frame));
    std::vector<SimPacket> back;
    framer->feed(c.frame.data(), c.frame.size(), back);
    ASSERT_EQ(back.size(), 1u) << hex(c.frame);
    EXPECT_EQ(back[0], c.packet);
  }
  Bytes longest = framer->frame({0x04, _all28()}, false);
  EXPECT_EQ(longest.size(), 33u);
  std::vector<SimPacket> back;
  framer->feed(longest.data(), longest.size(), back);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].data, _all28());
}

// Each input is fed to a fresh framer; what comes out is the packets and the count of errors.
TEST(SimFramingTest, ReceivedStreamsAreCutIntoPackets) {
  struct Case {
    const char* name;
    bool serial;
    Bytes input;
    std::vector<SimPacket> packets;
    std::size_t errors;
  };
  const Case cases[] = {
      {"bad CRC, then a good frame",
       true,
       {0x02, 0x04, 0x02, 0xC4, 0x00, 0x02, 0x04, 0x02, 0x3B, 0x00},
       {{0x04, {}}},
       1},
      {"delimiter runs between frames", true, {0x00, 0x00, 0x02, 0xAD, 0x02, 0x67, 0x00, 0x00}, {{0xAD, {}}}, 0},
      {"decodes to two bytes", true, {0x03, 0x04, 0x3B, 0x00}, {}, 1},
      {"length byte disagrees", true, {0x02, 0x04, 0x03, 0x3B, 0x00}, {}, 1},
      {"block runs past the end", true, {0x05, 0x04, 0x02, 0x00}, {}, 1},
      {"over-long frame", true, _delimited(Bytes(40, 0x11)), {}, 1},
      {"raw frames back to back", false, {0x04, 0x00, 0x04, 0x02, 0x00, 0x02}, {{0x04, {}}, {0x04, {0x00, 0x02}}}, 0},
      {"raw zero address skipped", false, {0x00, 0x00, 0xAF, 0x01, 0x01}, {{0xAF, {0x01}}}, 0},
      {"raw length 29 dropped", false, {0x04, 29, 0x06, 0x00}, {{0x06, {}}}, 1},
  };
  for (const Case& c : cases) {
    auto framer = c.serial ? simMakeCobsFramer() : simMakeRawFramer();
    std::vector<SimPacket> packets;
    framer->feed(c.input.data(), c.input.size(), packets);
    EXPECT_EQ(packets, c.packets) << c.name;
    EXPECT_EQ(framer->framingErrors(), c.errors) << c.name;
  }
}

}  // namespace
