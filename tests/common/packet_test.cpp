#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aPacket.h"
#include "support/test_packets.h"

namespace {

struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  bool complete;
  uint8_t address;
  std::vector<uint8_t> data;
};

std::vector<uint8_t> FullFrame() {
  std::vector<uint8_t> frame = {0x08, aPACKET_MAX_DATA};
  for (uint8_t i = 0; i < aPACKET_MAX_DATA; ++i) frame.push_back(0xA0 + i);
  return frame;
}

std::vector<aErr> Taken(size_t count) { return std::vector<aErr>(count, aErrNone); }

template <typename T>
std::vector<T> Joined(std::vector<T> head, const std::vector<T>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

std::vector<uint8_t> FullFrameData() {
  const std::vector<uint8_t> frame = FullFrame();
  return std::vector<uint8_t>(frame.begin() + 2, frame.end());
}

const AssemblyCase kAssemblyCases[] = {
    {"TwoDataBytes", {0x04, 0x02, 0x11, 0x22}, Taken(4), true, 0x04, {0x11, 0x22}},
    {"NoDataCompleteAtLength", {0x06, 0x00}, Taken(2), true, 0x06, {}},
    {"FullFrame", FullFrame(), Taken(30), true, 0x08, FullFrameData()},
    {"ZeroAddress", {0x00}, {aErrPacket}, false, 0, {}},
    {"LengthAboveMaximum", {0x04, 29}, {aErrNone, aErrPacket}, false, 0x04, {}},
    {"ByteAfterShortFrame", {0x04, 0x01, 0xAA, 0xBB}, {0, 0, 0, aErrPacket}, true, 0x04, {0xAA}},
    {"ByteAfterFullFrame", Joined(FullFrame(), {0x55}), Joined(Taken(30), {aErrOverrun}), true, 0x08, FullFrameData()},
    // A refused byte leaves the packet as it was, so a caller that skips it goes on assembling.
    {"RefusedBytesAreSkipped", {0x00, 0x04, 0xFF, 0x01, 0x33}, {aErrPacket, 0, aErrPacket, 0, 0}, true, 0x04, {0x33}},
};

class Assembly : public testing::TestWithParam<AssemblyCase> {};

TEST_P(Assembly, TakesEachWireByteInItsPlace) {
  const AssemblyCase& c = GetParam();
  OwnedPacket packet(aPacket_Create());
  ASSERT_TRUE(packet);
  for (size_t i = 0; i < c.bytes.size(); ++i)
    EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
  EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
  EXPECT_EQ(packet->address, c.address);
  if (c.complete) {
    EXPECT_EQ(PacketData(packet.get()), c.data);
  }
  EXPECT_LE(packet->dataSize, aPACKET_MAX_DATA);
}

INSTANTIATE_TEST_SUITE_P(Frames, Assembly, testing::ValuesIn(kAssemblyCases),
                         [](const auto& param) { return param.param.name; });

// A reader that keeps feeding a finished packet (never resetting it) must not wrap the fill
// count back into the header fields or touch anything outside the record's data.
TEST(PacketAssembly, EndlessBytesAfterACompleteFrameChangeNothing) {
  for (const std::vector<uint8_t>& frame : {FullFrame(), std::vector<uint8_t>{0x04, 0x01, 0x7E}}) {
    OwnedPacket packet(aPacket_Create());
    for (uint8_t byte : frame) ASSERT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
    aPacket before;
    std::memcpy(&before, packet.get(), sizeof before);
    for (int i = 0; i < 1000; ++i) EXPECT_NE(aPacket_AddByte(packet.get(), static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(std::memcmp(&before, packet.get(), sizeof before), 0);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
  }
}

TEST(PacketAssembly, ResetStartsANewFrame) {
  OwnedPacket packet = MakePacket(0x04, {0x01, 0x02, 0x03});
  ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet.get()));
  for (uint8_t byte : {uint8_t{0x0A}, uint8_t{0x01}, uint8_t{0x09}})
    ASSERT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
  EXPECT_EQ(packet->address, 0x0A);
  EXPECT_EQ(PacketData(packet.get()), std::vector<uint8_t>{0x09});
  EXPECT_EQ(packet->data[1], 0) << "reset clears the old data";
}

TEST(PacketCreation, CreateWithDataRefusesMissingOrOversizedData) {
  const uint8_t bytes[aPACKET_MAX_DATA + 1] = {};
  EXPECT_EQ(aPacket_CreateWithData(0x06, 0, nullptr), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x06, 29, bytes), nullptr);
  for (uint8_t size : {uint8_t{0}, uint8_t{1}, uint8_t{28}}) {
    OwnedPacket packet(aPacket_CreateWithData(0x06, size, bytes));
    ASSERT_TRUE(packet) << int(size);
    EXPECT_TRUE(aPacket_IsComplete(packet.get())) << int(size);
    EXPECT_EQ(packet->fillCount, size + 2);
  }
}

// A caller's own record (one of an array) is filled as a created packet is, whatever it held
// before; a refused fill leaves it as it was.
TEST(PacketCreation, FillMakesACallersRecordACompletePacket) {
  const uint8_t bytes[aPACKET_MAX_DATA + 1] = {0x5F, 0x01, 0x02};
  aPacket record;
  std::memset(&record, 0xCC, sizeof record);
  ASSERT_EQ(aPacket_Fill(&record, 0x06, 3, bytes), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(&record));
  EXPECT_EQ(record.address, 0x06);
  EXPECT_EQ(PacketData(&record), (std::vector<uint8_t>{0x5F, 0x01, 0x02}));
  EXPECT_EQ(record.data[3], 0) << "the rest of the data is cleared";
  const aPacket before = record;
  EXPECT_EQ(aPacket_Fill(&record, 0x08, aPACKET_MAX_DATA + 1, bytes), aErrParam);
  EXPECT_EQ(aPacket_Fill(&record, 0x08, 1, nullptr), aErrParam);
  EXPECT_EQ(aPacket_Fill(nullptr, 0x08, 1, bytes), aErrParam);
  EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
}

TEST(PacketCreation, CopyIsIndependentAndComplete) {
  OwnedPacket original(aPacket_Create());
  for (uint8_t byte : {uint8_t{0x04}, uint8_t{0x03}, uint8_t{0x01}})
    aPacket_AddByte(original.get(), byte);  // two bytes short
  OwnedPacket copy(aPacket_Copy(original.get()));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), original.get());
  EXPECT_EQ(copy->address, 0x04);
  EXPECT_EQ(PacketData(copy.get()), (std::vector<uint8_t>{0x01, 0x00, 0x00}));
  EXPECT_TRUE(aPacket_IsComplete(copy.get()));
}

TEST(PacketAccessors, CommandOptionAndIndexAreMaskedAndNeedTheirBytes) {
  struct Case {
    std::vector<uint8_t> data;
    aErr cmd, option, index;
  };
  const Case cases[] = {
      {{}, aErrPacket, aErrPacket, aErrPacket},
      {{0x03}, aErrNone, aErrPacket, aErrPacket},
      {{0x03, 0xC8}, aErrNone, aErrNone, aErrPacket},
      {{0x03, 0xC8, 0xE5}, aErrNone, aErrNone, aErrNone},
  };
  for (const Case& c : cases) {
    OwnedPacket packet = MakePacket(0x02, c.data);
    ASSERT_TRUE(packet);
    uint8_t cmd = 0, option = 0, index = 0;
    EXPECT_EQ(aPacket_GetCmd(packet.get(), &cmd), c.cmd);
    EXPECT_EQ(aPacket_GetOption(packet.get(), &option), c.option);
    EXPECT_EQ(aPacket_GetIndex(packet.get(), &index), c.index);
    if (c.index == aErrNone) {
      EXPECT_EQ(cmd, 0x03);
      EXPECT_EQ(option, 0x08);
      EXPECT_EQ(index, 0x05);
    }
    EXPECT_EQ(aPacket_GetCmd(packet.get(), nullptr), aErrParam);
  }
}

TEST(PacketBytes, WritesTheWireFrameOnlyWhenItFits) {
  OwnedPacket packet = MakePacket(0x04, {0x11, 0x22, 0x33});
  std::vector<uint8_t> buffer(8, 0xEE);
  size_t written = 99;
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer.data(), 4, &written), aErrOverrun);
  EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xEE));
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer.data(), 5, &written), aErrNone);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0x04, 0x03, 0x11, 0x22, 0x33, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer.data(), 5, nullptr), aErrNone);
  EXPECT_EQ(aPacket_GetBytes(packet.get(), nullptr, 5, &written), aErrParam);
}

// A heartbeat is exactly two data bytes whose first is 0; nothing else is taken for one.
TEST(PacketHeartbeat, OnlyTwoBytesBeginningWithZeroAreAHeartbeat) {
  struct Case {
    std::vector<uint8_t> data;
    bool heartbeat;
  };
  const std::vector<Case> cases = {
      {{0x00, 0x01}, true},        {{0x00, 0xFF}, true},  {{0x00}, false},
      {{0x00, 0x01, 0x02}, false}, {{0x01, 0x00}, false}, {{}, false},
  };
  for (const Case& c : cases) {
    const uint8_t* bytes = c.data.empty() ? reinterpret_cast<const uint8_t*>("") : c.data.data();
    OwnedPacket packet(aPacket_CreateWithData(0x06, static_cast<uint8_t>(c.data.size()), bytes));
    ASSERT_TRUE(packet);
    EXPECT_EQ(aPacket_IsHeartbeat(packet.get()), c.heartbeat) << testing::PrintToString(c.data);
  }
  EXPECT_FALSE(aPacket_IsHeartbeat(nullptr));
}

TEST(PacketValidity, RecordsWithoutTheCheckWordAreRefused) {
  aPacket stale{};  // check word 0
  uint8_t out = 0, buffer[32];
  const aPacket* refused[] = {nullptr, &stale};
  for (const aPacket* packet : refused) {
    EXPECT_EQ(aPacket_Copy(packet), nullptr);
    EXPECT_EQ(aPacket_GetCmd(packet, &out), aErrPacket);
    EXPECT_EQ(aPacket_GetBytes(packet, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(packet));
  }
  EXPECT_EQ(aPacket_AddByte(&stale, 0x04), aErrParam);
  EXPECT_EQ(aPacket_Reset(&stale), aErrParam);
  EXPECT_EQ(aPacket_AddByte(nullptr, 0x04), aErrParam);
}

TEST(PacketValidity, DestroyClearsTheHandle) {
  aPacket* packet = aPacket_Create();
  ASSERT_TRUE(aVALIDPACKET(packet));
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

}  // namespace
