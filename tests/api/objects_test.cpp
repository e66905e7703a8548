// What the object layer decides without a module: settings defaults, names and specifiers,
// link-type classes, byte-count units and the I2C speed.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/I2CClass.h"
#include "api/Link.h"
#include "api/Module.h"

using namespace Tarnwick::Quillfern;

namespace {

TEST(OrvaneConfigTest, DefaultsToNetworkingOnLoopback) {
  const OrvaneConfig config;
  EXPECT_EQ(config.enabled, 1);
  EXPECT_EQ(config.fallback, 1);
  EXPECT_EQ(config.localOnly, 1);
  EXPECT_EQ(config.port, 0);
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
}

TEST(LinkTypeTest, NetworkedTypesAreFourToSeven) {
  for (uint32_t type = 0; type <= 9; ++type)
    EXPECT_EQ(isORVANE(static_cast<linkType>(type)), type >= 4 && type <= 7) << type;
}

TEST(LinkObjectTest, KeepsItsNameAndSpecifier) {
  const std::string longName(2000, 'n');
  Link named(longName.c_str());
  EXPECT_EQ(std::string(named.getName()), longName.substr(0, 1024));
  Link unnamed(nullptr);
  EXPECT_EQ(unnamed.getName(), nullptr);

  linkSpec spec{};
  EXPECT_EQ(named.getLinkSpecifier(&spec), aErrNotFound);
  EXPECT_EQ(named.getLinkSpecifier(nullptr), aErrParam);
  spec.type = TCPIP;
  spec.serialNumber = 0x11223344;
  ASSERT_EQ(named.setLinkSpecifier(spec), aErrNone);
  linkSpec back{};
  ASSERT_EQ(named.getLinkSpecifier(&back), aErrNone);
  EXPECT_EQ(back.serialNumber, spec.serialNumber);
  EXPECT_EQ(named.getConfig(nullptr), aErrParam);
  EXPECT_FALSE(named.isConnected());
  EXPECT_EQ(named.getStatus(), UNKNOWN_ERROR);
  EXPECT_EQ(named.sendPacket(2, 0x17, 0, nullptr), aErrConnection);
}

TEST(ModuleObjectTest, RefusesWhatNeedsAConnection) {
  Module module(0x02, 0);
  uint32_t build = 0;
  uint8_t count = 0xFF;
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0) << "cleared first";
  EXPECT_EQ(module.hasUEI(3, 1, 0, 0), aErrConnection);
  EXPECT_EQ(module.reconnect(), aErrConfiguration) << "no specifier yet";
  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_EQ(module.getStatus(), UNKNOWN_ERROR);
}

TEST(EntityObjectTest, ByteCountsTurnIntoUnits) {
  const struct {
    size_t count;
    size_t unit;
    aErr expected;
    size_t after;
  } cases[] = {
      {10, 1, aErrNone, 10}, {8, 4, aErrNone, 2}, {6, 4, aErrMemory, 6}, {0, 4, aErrNone, 0}, {5, 0, aErrParam, 5},
  };
  for (const auto& c : cases) {
    size_t count = c.count;
    EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, c.unit), c.expected) << c.count << "/" << c.unit;
    EXPECT_EQ(count, c.after) << c.count << "/" << c.unit;
  }
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 1), aErrParam);
}

TEST(I2CObjectTest, SpeedIsKeptWithinItsCodes) {
  I2CClass bus;
  uint8_t speed = 0xFF;
  ASSERT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(bus.setSpeed(3), aErrNone);
  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  ASSERT_EQ(bus.getSpeed(&speed), aErrNone);
  EXPECT_EQ(speed, 3) << "a refused speed changes nothing";
  uint8_t buffer[4];
  EXPECT_EQ(bus.read(0x50, 1, buffer), aErrResource) << "bound to no module";
}

// The reply predicates run under the inbound queue's lock for every queued packet: they judge
// and leave the record alone, whatever the packet (an error reply, a value, a chunk that does not
// fit), so that the next packet is judged against the same record.
TEST(ReplyPredicateTest, JudgeWithoutChangingTheRecord) {
  uint8_t buffer[4] = {};
  size_t received = 0;
  uei record{};
  record.module = 2;
  record.command = 3;
  record.option = 1;
  record.index = 0;
  record.type = UEI_TYPE_BYTES;
  record.value.bytes.data = buffer;
  record.value.bytes.length = sizeof buffer;
  record.value.bytes.received = &received;
  const struct {
    std::vector<uint8_t> data;
    uint8_t scalar;  // accepted by the UEI reply predicate
    uint8_t chunk;   // accepted by the byte-value predicate
  } cases[] = {
      {{3, 1, 0x80, 21}, 1, 1},                      // error reply
      {{3, 1, 0x00, 0x11, 0x22, 0x33, 0x44}, 1, 0},  // a value; as a chunk, sequence 0x44 is not due
      {{3, 1, 0x00, 9, 9, 9, 9, 9, 9, 0x00}, 1, 1},  // a chunk of 6 bytes that does not fit
      {{3, 1, 0x00, 5, 0x00}, 1, 1},                 // a chunk of 1 byte
      {{3, 1, 0x00}, 1, 1},                          // no room for a sequence byte
      {{3, 2, 0x00, 5}, 0, 0},                       // another option
  };
  for (const auto& c : cases) {
    aPacket* packet = aPacket_CreateWithData(2, static_cast<uint8_t>(c.data.size()), c.data.data());
    ASSERT_NE(packet, nullptr);
    uei judged = record;
    EXPECT_EQ(Link::sUEIFilter(packet, &judged), c.scalar) << c.data.size();
    EXPECT_EQ(std::memcmp(&judged, &record, sizeof record), 0) << "UEI predicate, " << c.data.size() << " bytes";
    EXPECT_EQ(EntityClass::sUEIBytesFilter(packet, &judged), c.chunk) << c.data.size();
    EXPECT_EQ(std::memcmp(&judged, &record, sizeof record), 0) << "byte-value predicate, " << c.data.size() << " bytes";
    EXPECT_EQ(received, 0u);
    aPacket_Destroy(&packet);
  }
}

}  // namespace
