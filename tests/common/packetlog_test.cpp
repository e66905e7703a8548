// The packet log ring and a link's log controls.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/aPacketLog.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "support/pipe_transport.h"

namespace {

using qftest::PipeTransport;

using Bytes = std::vector<uint8_t>;

struct Record {
  uint8_t tag;
  Bytes bytes;
  bool operator==(const Record&) const = default;
};

struct LogDeleter {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using OwnedLog = std::unique_ptr<aPacketLog, LogDeleter>;

Bytes Filled(size_t length, uint8_t first) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

aErr Put(aPacketLog* log, const Record& record) {
  return aPacketLog_Put(log, record.tag, static_cast<uint32_t>(record.bytes.size()), record.bytes.data());
}

std::vector<Record> TakeAll(aPacketLog* log) {
  std::vector<Record> records;
  for (;;) {
    uint8_t tag = 0;
    uint32_t length = 255;
    Bytes buffer(255);
    if (aPacketLog_Get(log, &tag, &length, buffer.data()) != aErrNone) return records;
    buffer.resize(length);
    records.push_back({tag, buffer});
  }
}

TEST(PacketLogTest, FullRingDropsWholeOldestRecords) {
  const Record a{1, Filled(4, 0x10)}, b{2, Filled(4, 0x20)}, c{3, Filled(4, 0x30)};
  const Record big{3, Filled(13, 0x40)}, tooBig{3, Filled(14, 0x50)};
  struct Case {
    const char* what;
    std::vector<Record> puts;
    std::vector<aErr> results;
    std::vector<Record> left;
  } cases[] = {
      // 18 bytes of records plus the free byte exceed 16.
      {"third 4-byte record drops the first", {a, b, c}, {0, 0, 0}, {b, c}},
      {"14 bytes need 17: refused, nothing dropped", {a, tooBig}, {0, aErrOverrun}, {a}},
      {"13 bytes fit only an emptied ring", {a, b, big}, {0, 0, 0}, {big}},
      {"record after the big one drops it", {big, a}, {0, 0}, {a}},
      {"empty record", {{3, {}}}, {0}, {{3, {}}}},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.what);
    OwnedLog log(aPacketLog_Create(16));
    ASSERT_TRUE(log);
    for (size_t i = 0; i < one.puts.size(); ++i) EXPECT_EQ(Put(log.get(), one.puts[i]), one.results[i]) << "put " << i;
    EXPECT_EQ(TakeAll(log.get()), one.left);
  }
}

TEST(PacketLogTest, RecordsWrapAroundTheStorageIntact) {
  OwnedLog log(aPacketLog_Create(23));
  std::vector<Record> expected;
  for (uint8_t round = 0; round < 40; ++round) {
    const Record record{static_cast<uint8_t>(1 + round % 3), Filled(1 + round % 7, round)};
    ASSERT_EQ(Put(log.get(), record), aErrNone);
    ASSERT_EQ(TakeAll(log.get()), std::vector<Record>{record}) << "round " << int(round);
  }
}

TEST(PacketLogTest, ShortReadLeavesTheRecordForARetry) {
  OwnedLog log(aPacketLog_Create(64));
  const Bytes bytes = Filled(6, 1);
  ASSERT_EQ(aPacketLog_Put(log.get(), 2, 6, bytes.data()), aErrNone);
  uint8_t tag = 0;
  uint32_t length = 4;
  uint8_t buffer[64] = {};
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrOverrun);
  EXPECT_EQ(tag, 2);
  EXPECT_EQ(length, 6u);
  length = sizeof buffer;
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), bytes);
  EXPECT_EQ(aPacketLog_Get(log.get(), &tag, &length, buffer), aErrNotFound);
}

TEST(PacketLogTest, RecordLongerThanItsLengthByteIsRefused) {
  OwnedLog log(aPacketLog_Create(4096));
  const Record before{3, Filled(5, 9)};
  ASSERT_EQ(Put(log.get(), before), aErrNone);
  const Bytes huge = Filled(256, 0);
  EXPECT_EQ(aPacketLog_Put(log.get(), 3, 256, huge.data()), aErrSize);
  EXPECT_EQ(aPacketLog_Put(log.get(), 3, 255, huge.data()), aErrNone);
  EXPECT_EQ(TakeAll(log.get()), (std::vector<Record>{before, {3, Bytes(huge.begin(), huge.begin() + 255)}}));
}

TEST(PacketLogTest, BadArguments) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  OwnedLog log(aPacketLog_Create(16));
  uint8_t tag = 0;
  uint32_t length = 16;
  uint8_t buffer[16];
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), 1, 2, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Get(nullptr, &tag, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, buffer), aErrParam);
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
}

// A registered, initialised link that is never started.
class LinkLogTest : public testing::Test {
 protected:
  void SetUp() override {
    id = sCreate(0xFFFFFFFF, 0, 0);
    ASSERT_EQ(aLink_Init(id, pipe.MakeStream()), id);
  }
  void TearDown() override { aLink_Destroy(&id); }

  PipeTransport pipe;
  aLinkID id = 0;
};

TEST_F(LinkLogTest, LogSizeIsSetBeforeTheLogIsMade) {
  struct Case {
    int32_t size;
    aErr result;
  } before[] = {{0x4000001, aErrParam}, {0x4000000, aErrNone}, {-1, aErrNone}};
  for (const Case& c : before) EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, c.size), c.result) << c.size;
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(aLink_Lookup(id)->packetLog.load()->capacity, aPACKETLOG_DEFAULT_SIZE);
  for (int32_t size : {0, 100, -1, 0x4000001}) EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, size), aErrBusy) << size;
}

TEST_F(LinkLogTest, ControlsNeedALogAndALink) {
  uint8_t tag = 0;
  uint32_t length = 8;
  uint8_t buffer[8] = {1, 2};
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Read(id, &tag, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 2, buffer), aErrNotReady);
  const aLinkID none = 0xFFFFFF01;
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(none, 0), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(none), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(none), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(none, &tag, &length, buffer), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(none, 3, 2, buffer), aErrParam);
}

TEST_F(LinkLogTest, TextWrittenIsReadBackThroughTheLink) {
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 64), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  const char start[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, sizeof start, reinterpret_cast<const uint8_t*>(start)),
            aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);  // the records stay readable
  uint8_t tag = 0;
  uint32_t length = 64;
  char buffer[64] = {};
  ASSERT_EQ(aLink_PacketDebug_Read(id, &tag, &length, reinterpret_cast<uint8_t*>(buffer)), aErrNone);
  EXPECT_EQ(tag, aPACKETLOG_TEXT);
  EXPECT_EQ(length, 6u);
  EXPECT_STREQ(buffer, "START");
  EXPECT_EQ(aLink_PacketDebug_Read(id, &tag, &length, reinterpret_cast<uint8_t*>(buffer)), aErrNotFound);
}

}  // namespace
