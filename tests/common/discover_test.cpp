// linkSpec records, address texts and the parsers of what discovery receives from the network.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/discover.h"

namespace {

uint32_t _ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

std::vector<uint8_t> _bytes(std::initializer_list<int> values) {
  return std::vector<uint8_t>(values.begin(), values.end());
}

bool _neverCalled(const linkSpec*, bool*, void* ref) {
  ++*static_cast<int*>(ref);
  return true;
}

}  // namespace

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(SERIAL);
  ASSERT_NE(spec, nullptr);
  const linkSpec zero{};
  EXPECT_EQ(spec->type, SERIAL);
  EXPECT_EQ(std::memcmp(&spec->serialNumber, &zero.serialNumber, sizeof(linkSpec) - 4), 0);

  spec->baudRate = 115200;
  std::strcpy(spec->serialPort, "/dev/ttyS7");
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  EXPECT_EQ(std::memcmp(copy, spec, sizeof(linkSpec)), 0);

  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  EXPECT_STREQ(copy->serialPort, "/dev/ttyS7");
  aLinkSpec_Destroy(&copy);
}

TEST(ConvertIPv4Interface, WritesDottedTextIntoAZeroedBufferOfSixteenOrMore) {
  struct Case {
    const char* address;
    size_t size;
    size_t length;
  };
  const Case cases[] = {
      {"255.255.255.255", 16, 15}, {"255.255.255.255", 15, 0}, {"10.7.0.1", 15, 0},
      {"10.7.0.1", 64, 8},         {"0.0.0.0", 16, 7},
  };
  for (const Case& c : cases) {
    std::string buffer(80, 'x');
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(_ip(c.address), buffer.data(), c.size), c.length)
        << c.address << " into " << c.size;
    if (c.length == 0) {
      EXPECT_EQ(buffer, std::string(80, 'x')) << "nothing may be written into " << c.size;
    } else {
      EXPECT_STREQ(buffer.c_str(), c.address);
      EXPECT_EQ(buffer.substr(c.length, c.size - c.length), std::string(c.size - c.length, '\0'));
      EXPECT_EQ(buffer[c.size], 'x');
    }
  }
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(_ip("1.2.3.4"), nullptr, 16), 0u);
}

TEST(EthernetReply, FieldsComeFromTheirPlaces) {
  const auto reply = _bytes({0x00, 0x04, 0x50, 0x1F, 0x78, 0x56, 0x34, 0x12,  //
                             0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00});
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseEthernetReply(reply.data(), reply.size(), _ip("10.0.0.5"), &spec));
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.serialNumber, 0x12345678u);
  EXPECT_EQ(spec.module, 4u);
  EXPECT_EQ(spec.router, 4u);
  EXPECT_EQ(spec.routerSerialNumber, 0x12345678u);
  EXPECT_EQ(spec.model, 13u);
  EXPECT_EQ(spec.ipAddress, _ip("10.0.0.5"));
  EXPECT_EQ(spec.port, 8016u);
  const std::vector<uint8_t> rest(reinterpret_cast<const uint8_t*>(&spec) + 32,
                                  reinterpret_cast<const uint8_t*>(&spec) + sizeof spec);
  EXPECT_EQ(rest, std::vector<uint8_t>(96, 0));
}

TEST(EthernetReply, OnlyEightToSixteenBytesCountAndAMissingModelIsFF) {
  struct Case {
    size_t length;
    bool accepted;
    uint32_t model;
  };
  const Case cases[] = {
      {0, false, 0},    {7, false, 0},    {8, true, 0xFF}, {12, true, 0xFF},
      {13, true, 0x2A}, {16, true, 0x2A}, {17, false, 0},
  };
  std::vector<uint8_t> datagram(32, 0x2A);
  for (const Case& c : cases) {
    linkSpec spec;
    std::memset(&spec, 0x55, sizeof spec);  // what a previous reply could have left
    EXPECT_EQ(aDiscovery_ParseEthernetReply(datagram.data(), c.length, _ip("10.0.0.9"), &spec), c.accepted) << c.length;
    EXPECT_EQ(spec.model, c.model) << c.length;
    if (!c.accepted) {
      EXPECT_EQ(spec.serialNumber, 0u) << "no stale field after " << c.length;
    }
  }
}

TEST(ServerRecord, OnlyWholeRecordsCountAndThePortTextIsAlwaysTerminated) {
  std::vector<uint8_t> wire(sizeof(linkSpec), 'A');
  const uint32_t type = ORVANE_SERIAL;
  std::memcpy(wire.data(), &type, sizeof type);
  linkSpec spec;
  ASSERT_TRUE(aDiscovery_ParseLinkSpec(wire.data(), wire.size(), &spec));
  EXPECT_EQ(spec.type, ORVANE_SERIAL);
  EXPECT_EQ(std::strlen(spec.serialPort), size_t{aLINKSPEC_SERIAL_PORT_SIZE - 1});
  EXPECT_EQ(std::memcmp(&spec, wire.data(), sizeof spec - 1), 0);

  for (size_t length : {size_t{0}, size_t{127}, size_t{129}}) {
    std::vector<uint8_t> odd(length, 0x07);
    EXPECT_FALSE(aDiscovery_ParseLinkSpec(odd.data(), odd.size(), &spec)) << length;
    EXPECT_EQ(spec.type, UNSPECIFIED) << length;
  }
}

TEST(Discovery, TransportsWithoutDiscoveryFindNothing) {
  int calls = 0;
  for (uint32_t type : {0u, 3u, 8u, 0xFFFFFFFFu})
    EXPECT_EQ(aDiscovery_EnumerateModules(linkType(type), _neverCalled, &calls, 0), 0) << type;
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(aDiscovery_FindFirstModule(SERIAL, 0), nullptr);
  EXPECT_EQ(aDiscovery_FindModule(UNSPECIFIED, 0x12345678, 0), nullptr);
}
