// The simulated module's entity protocol on its own: each request's exact answer on the wire,
// byte values set chunk by chunk, and the I2C bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/module/simEntities.h"
#include "support/raw_peer.h"

using namespace qfsim;
using qftest::Bytes;
using qftest::hex;

namespace {

class SimEntitiesTest : public ::testing::Test {
 protected:
  SimEntitiesTest() {
    state.address = 0x06;
    state.model = 0x11;
    state.serialNumber = 0xCAFE0042;
    SimEntities::attach(entities, protocol);
  }

  // The answers to one packet, each as hex, joined by " | ".
  std::string ask(const Bytes& data) {
    std::vector<SimPacket> replies;
    protocol.handle(state, SimPacket{state.address, data}, replies);
    std::string text;
    for (const SimPacket& reply : replies) {
      EXPECT_EQ(reply.address, state.address);
      text += (text.empty() ? "" : " | ") + hex(reply.data);
    }
    return text;
  }

  SimState state;
  SimProtocol protocol;
  std::shared_ptr<SimEntities> entities = std::make_shared<SimEntities>();
};

TEST_F(SimEntitiesTest, AnswersEachRequestAsTheWireFormatSays) {
  entities->define(0x03, 0, 40, SimOption::u16(0xBEEF));
  entities->define(0x03, 0, 39, SimOption::u32(0));
  entities->update(0x03, 0, 39, [](SimOption& o) { o.subvalues[2] = {0x11, 0x22, 0x33, 0x44}; });
  entities->define(0x03, 0, 41, SimOption::u8(0));
  entities->update(0x03, 0, 41, [](SimOption& o) { o.error = 21; });
  const struct {
    const char* what;
    Bytes request;
    const char* answer;
  } cases[] = {
      {"identity: address", {0x03, 0x41, 0x20}, "03 01 00 06"},
      {"identity: model", {0x03, 0x48, 0x20}, "03 08 00 11"},
      {"identity: serial number", {0x03, 0x49, 0x20}, "03 09 00 CA FE 00 42"},
      {"16-bit value", {0x03, 0x68, 0x20}, "03 28 00 BE EF"},
      {"subindexed get", {0x03, 0x67, 0x20, 0x02}, "03 27 00 11 22 33 44"},
      {"subindex without a value", {0x03, 0x67, 0x20, 0x05}, "03 27 80 1A"},
      {"set of a writable 8-bit value", {0x03, 0x84, 0x20, 0x07}, "03 C4 00"},
      {"set of a read-only value", {0x03, 0x89, 0x20, 0, 0, 0, 1}, "03 C9 80 0C"},
      {"set of the wrong width", {0x03, 0x84, 0x20, 0x00, 0x00, 0x07}, "03 C4 80 0E"},
      {"call", {0x03, 0x8B, 0x20}, "03 CB 00"},
      {"get of a call", {0x03, 0x4B, 0x20}, "03 0B 80 0C"},
      {"injected error", {0x03, 0x69, 0x20}, "03 29 80 15"},
      {"unknown option", {0x03, 0x7F, 0x20}, "03 3F 80 1D"},
      {"unknown entity", {0x03, 0x41, 0x21}, "03 01 81 1C"},
      {"not a request", {0x03, 0x41, 0x00}, ""},
      {"empty byte value", {0x03, 0x5F, 0x20}, "03 1F 00 00"},
      {"build", {0x49, 0xFF}, "49 FF 00 00 00 64"},
      {"has option for set", {0x49, 0x01, 0x03, 0x04, 0x00, 0x80}, "49 01 03 04 00 00"},
      {"read-only option for set", {0x49, 0x01, 0x03, 0x09, 0x00, 0x80}, "49 01 03 09 00 0C"},
      {"entities of the system class", {0x49, 0x04, 0x03}, "49 04 03 01"},
      {"echo", {0x17, 0x01, 0x02}, "17 01 02"},
  };
  entities->define(0x03, 0, 31, SimOption::bytes({}, true));
  entities->define(0x03, 0, 0x1F, SimOption::bytes({}));
  for (const auto& c : cases) EXPECT_EQ(ask(c.request), c.answer) << c.what;
  EXPECT_EQ(entities->option(0x03, 0, 4)->value, Bytes{0x07});
  EXPECT_EQ(entities->option(0x03, 0, 11)->writes, 1u);
}

TEST_F(SimEntitiesTest, ByteValuesTravelInChunksBothWays) {
  Bytes value(50);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i);
  entities->define(0x03, 0, 32, SimOption::bytes(value, true));
  const std::string chunks = ask({0x03, 0x60, 0x20});
  const std::string first = "03 20 00 " + hex(Bytes(value.begin(), value.begin() + 24)) + " 80";
  const std::string second = "03 20 00 " + hex(Bytes(value.begin() + 24, value.begin() + 48)) + " 81";
  EXPECT_EQ(chunks, first + " | " + second + " | 03 20 00 30 31 02");

  EXPECT_EQ(ask({0x03, 0xA0, 0x20, 'a', 'b', 0x80}), "") << "no answer before the last chunk";
  EXPECT_EQ(ask({0x03, 0xA0, 0x20, 'c', 0x01}), "03 E0 00");
  EXPECT_EQ(entities->option(0x03, 0, 32)->value, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(ask({0x03, 0xA0, 0x20, 'x', 0x80}), "");
  EXPECT_EQ(ask({0x03, 0xA0, 0x20, 'y', 0x02}), "03 E0 80 18") << "a chunk out of sequence";
  EXPECT_EQ(entities->option(0x03, 0, 32)->value, (Bytes{'a', 'b', 'c'})) << "a broken set changes nothing";
}

TEST_F(SimEntitiesTest, I2CBusReadsWritesAndReportsItsStatus) {
  entities->updateBus(0, [](SimI2CBus& bus) { bus.devices[0x28].memory = {0xAA, 0xBB}; });
  entities->updateBus(0, [](SimI2CBus& bus) { bus.devices[0x30].status = 0x85; });
  EXPECT_EQ(ask({0x08, 0x00, 0x51, 0x03, 0x02}), "08 00 51 03 00 AA BB 00");
  EXPECT_EQ(ask({0x08, 0x00, 0x50, 0x01, 0x02, 0x5A}), "08 00 50 00 00");
  EXPECT_EQ(ask({0x08, 0x00, 0x61, 0x01, 0x02}), "08 00 61 01 85");
  EXPECT_EQ(ask({0x08, 0x00, 0x41, 0x01, 0x02}), "08 00 41 01 83") << "no device there";
  EXPECT_EQ(ask({0x08, 0x00, 0x01, 0x01}), "08 00 01 01 00");
  const SimI2CBus bus = entities->bus(0);
  EXPECT_TRUE(bus.pullups);
  EXPECT_EQ(bus.lastSpeed, 2);
  EXPECT_EQ(bus.devices.at(0x28).memory, (Bytes{0x5A, 0xBB}));
}

}  // namespace
