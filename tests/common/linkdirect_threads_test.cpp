// Direct links over in-memory transports, where every byte can be chosen: the raw module
// queries, what a reset keeps and what it makes again, and how the last destroy takes an
// attached link sharing server and a chained link with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aPacketLog.h"
#include "common/discover.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "support/eventually.h"
#include "support/pipe_transport.h"
#include "support/test_packets.h"

namespace {

using namespace std::chrono_literals;
using namespace aLinkInternal;
using qftest::Eventually;
using qftest::PipeTransport;
using Bytes = PipeTransport::Bytes;
using Clock = std::chrono::steady_clock;

const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};
constexpr auto kSoon = 3s;

bool AwaitWrite(PipeTransport& pipe, const Bytes& frame) {
  return pipe.AwaitWrites(
      [&](const std::vector<Bytes>& writes) {
        for (const Bytes& write : writes)
          if (write == frame) return true;
        return false;
      },
      kSoon);
}

// Registers and starts a link of the given kind over the pipe with one use, as its creator
// would, once the route-on frame has been written.
aLinkID Register(uint32_t type, uint32_t ident0, uint32_t ident1, uint32_t ident2, PipeTransport& pipe) {
  aLinkID id = sCreate2(ident0, ident1, ident2, type);
  if (aLink_Init(id, pipe.MakeStream()) != id || sAddUse(id) != aErrNone || aLink_Start(id) != aErrNone ||
      !AwaitWrite(pipe, kRouteOn)) {
    aLink_Destroy(&id);
    return 0;
  }
  pipe.ClearWrites();
  return id;
}

// The link sharing side's procedures as the tests play them: client streams come from the
// pipe in gClientPipe, or fail with gClientFailure; destroyed servers are counted.
PipeTransport* gClientPipe = nullptr;
std::atomic<aErr> gClientFailure{aErrNone};
std::atomic<int> gServersDestroyed{0};
std::function<void()> gOnServerDestroyed;

aErr MakeClientStream(uint32_t, uint16_t, aStream** stream) {
  if (gClientFailure != aErrNone) return gClientFailure;
  *stream = gClientPipe->MakeStream();
  return aErrNone;
}

aErr DestroyServer(aServer** server) {
  ++gServersDestroyed;
  if (gOnServerDestroyed) gOnServerDestroyed();
  *server = nullptr;
  return aErrNone;
}

class ServedProcsTest : public testing::Test {
 protected:
  void SetUp() override {
    aLinkServedProcs procs{};
    procs.destroyServer = DestroyServer;
    procs.createClientStream = MakeClientStream;
    aLink_SetServedProcs(&procs);
    gServersDestroyed = 0;
    gClientFailure = aErrNone;
  }
  void TearDown() override {
    for (aLinkID& id : ids)
      if (id) aLink_Destroy(&id);
    aLink_SetServedProcs(nullptr);
    gClientPipe = nullptr;
    gOnServerDestroyed = nullptr;
  }
  aLinkID Keep(aLinkID id) {
    ids.push_back(id);
    return id;
  }
  // A transport that outlives every link of the test.
  PipeTransport& NewPipe() { return pipes.emplace_back(); }
  // A started client link over `first`, whose resets make their streams over `second`.
  aLinkID ClientLink(uint32_t counter) {
    gClientPipe = &second;
    return Keep(Register(ORVANE, 0x0100007F, 9000, counter, first));
  }

  std::list<PipeTransport> pipes;
  PipeTransport& first = NewPipe();
  PipeTransport& second = NewPipe();
  std::vector<aLinkID> ids;
};

// ---- queries ----------------------------------------------------------------------------------

TEST(LinkQueryTest, AnswersAreTakenOnlyWhenTheyAreWhatWasAsked) {
  struct Case {
    const char* what;
    bool model;    // else the address query
    Bytes answer;  // fed once the question was written; empty: nothing comes
    aErr result;
    uint8_t value;  // the address or model learnt
  } cases[] = {
      {"address", false, {0x04, 0x00}, aErrNone, 0x04},
      {"address: a stream packet came first", false, {0x04, 0x01, 0x5D}, aErrIO, 0},
      {"address: silence", false, {}, aErrTimeout, 0},
      {"model", true, {0x04, 0x04, 0x03, 0x08, 0x00, 0x13}, aErrNone, 0x13},
      {"model: from another module", true, {0x06, 0x04, 0x03, 0x08, 0x00, 0x13}, aErrIO, 0},
      {"model: three data bytes", true, {0x04, 0x03, 0x03, 0x08, 0x00}, aErrIO, 0},
      {"model: another command", true, {0x04, 0x04, 0x04, 0x08, 0x00, 0x13}, aErrIO, 0},
      {"model: silence", true, {}, aErrTimeout, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PipeTransport pipe;
    aLinkID id = Register(UNSPECIFIED, 0xFFFFFFFF, 0, 0, pipe);
    ASSERT_NE(id, 0u);
    uint8_t value = 0;
    auto asked = std::async(std::launch::async, [&] {
      return c.model ? _aLink_GetModel(id, 0x04, &value) : _aLink_GetModuleAddress(id, &value);
    });
    const Bytes question = c.model ? Bytes{0x04, 0x03, 0x03, 0x48, 0x20} : Bytes{0xAD, 0x00};
    EXPECT_TRUE(AwaitWrite(pipe, question));
    pipe.Feed(c.answer);
    EXPECT_EQ(asked.get(), c.result);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(OwnedPacket(aLink_GetPacket(id)), nullptr) << "the answer was left queued";
    aLink_Destroy(&id);
  }
}

TEST(LinkQueryTest, QueriesNeedALinkAndSomewhereToPutTheAnswer) {
  PipeTransport pipe;
  aLinkID id = Register(UNSPECIFIED, 0xFFFFFFFF, 0, 0, pipe);
  uint8_t value = 0;
  EXPECT_EQ(_aLink_GetModuleAddress(id, nullptr), aErrParam);
  EXPECT_EQ(_aLink_GetModel(id, 0x04, nullptr), aErrParam);
  EXPECT_EQ(_aLink_GetModuleAddress(0xFFFFFF10, &value), aErrParam);
  EXPECT_EQ(_aLink_GetModel(0xFFFFFF10, 0x04, &value), aErrParam);
  EXPECT_TRUE(pipe.Writes().empty());
  aLink_Destroy(&id);
}

// ---- reset ------------------------------------------------------------------------------------

struct FilterSeen {
  std::mutex mutex;
  std::vector<Bytes> packets;
  static bool Filter(const aPacket* packet, void* ref) {
    auto* seen = static_cast<FilterSeen*>(ref);
    std::lock_guard hold(seen->mutex);
    seen->packets.push_back(PacketData(packet));
    return false;
  }
  size_t Count() {
    std::lock_guard hold(mutex);
    return packets.size();
  }
};

struct LogRecord {
  uint8_t tag;
  Bytes bytes;
  bool operator==(const LogRecord&) const = default;
};

std::vector<LogRecord> ReadLog(aLinkID id) {
  std::vector<LogRecord> records;
  uint8_t tag = 0;
  uint8_t buffer[64];
  for (uint32_t length = sizeof buffer; aLink_PacketDebug_Read(id, &tag, &length, buffer) == aErrNone;
       length = sizeof buffer)
    records.push_back({tag, Bytes(buffer, buffer + length)});
  return records;
}

TEST_F(ServedProcsTest, ResetKeepsTheLinksStateAndMakesOnlyItsFifosAndStreamAgain) {
  const aLinkID id = ClientLink(0);
  ASSERT_NE(id, 0u);
  aLink* link = aLink_Lookup(id);
  FilterSeen seen;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, FilterSeen::Filter, &seen), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  first.Feed({0x04, 0x01, 0x31});  // stays queued inbound: the reset drops it
  ASSERT_TRUE(Eventually([&] { return aPacketFifo_GetLength(link->inboundFifo) == 1; }));
  const aPacket* packet = link->packet;
  const aMutex* filterLock = link->userFilterMutex;
  const aPacketLog* log = link->packetLog;
  const aPacketFifoID inbound = link->inboundFifo;
  const aPacketFifoID outbound = link->outboundFifo;

  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(first.Writes(), std::vector<Bytes>{kRouteOff});
  EXPECT_TRUE(AwaitWrite(second, kRouteOn));
  EXPECT_EQ(aLink_GetStatus(id), RUNNING);
  EXPECT_EQ(sLookupEntryByID(id)->useCount, 1);
  EXPECT_EQ(link->packet, packet);
  EXPECT_EQ(link->userFilterMutex, filterLock);
  EXPECT_EQ(link->packetLog, log);
  EXPECT_TRUE(link->pooledPackets);
  EXPECT_NE(link->inboundFifo, inbound);
  EXPECT_NE(link->outboundFifo, outbound);
  EXPECT_EQ(OwnedPacket(aLink_GetPacket(id)), nullptr) << "a packet of the old stream survived";

  second.Feed({0x04, 0x01, 0x32});
  EXPECT_TRUE(OwnedPacket(aLink_AwaitPacket(id, 3000)));
  EXPECT_EQ(seen.Count(), 2u) << "the filter was not kept";
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  const std::vector<LogRecord> records = ReadLog(id);  // what came before the reset and after it
  const auto before = std::find(records.begin(), records.end(), LogRecord{aPACKETLOG_RECEIVED, {0x04, 0x01, 0x31}});
  const auto after = std::find(records.begin(), records.end(), LogRecord{aPACKETLOG_RECEIVED, {0x04, 0x01, 0x32}});
  EXPECT_LT(before, after);
  EXPECT_NE(after, records.end());
}

TEST_F(ServedProcsTest, AResetThatCannotMakeAStreamLeavesALinkToResetAgainOrDestroy) {
  aLinkID id = ClientLink(1);
  ASSERT_NE(id, 0u);
  gClientFailure = aErrResource;
  const auto start = Clock::now();
  EXPECT_EQ(aLink_Reset(id), aErrResource);
  EXPECT_GE(Clock::now() - start, 1900ms) << "fewer than 20 tries 100 ms apart";
  EXPECT_EQ(aLink_GetStatus(id), INVALID_LINK_STREAM);
  const OwnedPacket packet = MakePacket(0x04, {0x01});
  EXPECT_NE(aLink_PutPacket(id, packet.get()), aErrNone);
  const auto waited = Clock::now();
  EXPECT_EQ(aLink_AwaitPacket(id, 2000), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(id, drainAll, nullptr, 2000), nullptr);
  EXPECT_LT(Clock::now() - waited, 500ms) << "a wait on the stream-less link did not end at once";

  gClientFailure = aErrNone;
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_TRUE(AwaitWrite(second, kRouteOn));
  EXPECT_EQ(aLink_PutPacket(id, packet.get()), aErrNone);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(second.Written(), (Bytes{0xAF, 0x01, 0x01, 0x04, 0x01, 0x01, 0xAF, 0x01, 0x00}));
}

TEST_F(ServedProcsTest, ALinkWhoseStreamCannotBeMadeAgainIsNotReset) {
  PipeTransport& pipe = NewPipe();
  struct Case {
    const char* what;
    uint32_t type;
    bool clientStreams;  // the link sharing side can make client streams
  } cases[] = {
      {"caller's stream", UNSPECIFIED, true},
      {"serial port", SERIAL, true},
      {"client without the link sharing side", ORVANE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    aLinkServedProcs procs{};
    procs.destroyServer = DestroyServer;
    procs.createClientStream = c.clientStreams ? MakeClientStream : nullptr;
    aLink_SetServedProcs(&procs);
    aLinkID id = Register(c.type, 0x5E44, 0, 0, pipe);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), RUNNING);
    pipe.Feed({0x04, 0x01, 0x33});
    EXPECT_TRUE(OwnedPacket(aLink_AwaitPacket(id, 3000))) << "the link did not keep running";
    EXPECT_TRUE(pipe.Writes().empty()) << "the link was stopped";
    aLink_Destroy(&id);
  }
  EXPECT_EQ(aLink_Reset(0xFFFFFF11), aErrParam);
  EXPECT_EQ(aLink_ResetLink(nullptr), aErrParam);
}

// Another thread keeps using the link while it is reset: calls on the old FIFOs fail or end,
// nothing crashes, and the link works afterwards.
TEST_F(ServedProcsTest, TrafficDuringAResetFailsCleanly) {
  const aLinkID id = ClientLink(2);
  ASSERT_NE(id, 0u);
  std::atomic<bool> done{false};
  std::thread traffic([&] {
    const OwnedPacket packet = MakePacket(0x04, {0x02});
    FilterSeen seen;
    while (!done) {
      aLink_PutPacket(id, packet.get());
      OwnedPacket(aLink_AwaitPacket(id, 5));
      OwnedPacket(aLink_AwaitFirst(id, drainAll, nullptr, 5));
      aLink_InstallUserPacketFilter(id, FilterSeen::Filter, &seen);
      aLink_InstallUserPacketFilter(id, nullptr, nullptr);
      aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, 1, packet->data);
    }
  });
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  for (int round = 0; round < 3; ++round) EXPECT_EQ(aLink_Reset(id), aErrNone);
  done = true;
  traffic.join();
  second.Feed({0x04, 0x01, 0x34});
  EXPECT_TRUE(OwnedPacket(aLink_AwaitPacket(id, 3000)));
}

// ---- destruction ------------------------------------------------------------------------------

TEST_F(ServedProcsTest, AServedDeviceIsRefusedAndItsServerGoesAfterItsLastUse) {
  struct Case {
    const char* what;
    uint32_t type;
    std::function<aLinkID(uint32_t serial)> create;
  } cases[] = {
      {"USB", USB, [](uint32_t serial) { return aLink_CreateUSB(serial); }},
      {"TCP/IP", TCPIP, [](uint32_t serial) { return aLink_CreateTCPIP(serial, 0x0100007F, 1); }},
      {"serial", SERIAL, [](uint32_t serial) { return aLink_CreateSerial(serial, "/nonexistent", 9600); }},
  };
  int marker = 0;  // any non-null handle stands for a server
  uint32_t serial = 0x5E50;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PipeTransport& pipe = NewPipe();
    aLinkID id = Register(c.type, ++serial, 0, 0, pipe);
    ASSERT_NE(id, 0u);
    aLinkEntry* entry = sLookupEntryByID(id);
    EXPECT_EQ(c.create(serial), id) << "an unserved link is shared";
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    id = entry->id;

    entry->server = reinterpret_cast<aServer*>(&marker);
    EXPECT_EQ(c.create(serial), 0u);
    EXPECT_EQ(entry->useCount, 1);
    bool stoppedFirst = false;
    gOnServerDestroyed = [&] { stoppedFirst = !pipe.Writes().empty() && pipe.Writes().back() == kRouteOff; };
    gServersDestroyed = 0;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(gServersDestroyed, 1);
    EXPECT_TRUE(stoppedFirst) << "the server went while the link still ran";
  }
}

TEST_F(ServedProcsTest, TheLastDestroyOfAClientLinkDropsAUseOfItsChainedLink) {
  PipeTransport& devicePipe = NewPipe();
  PipeTransport& clientPipe = NewPipe();
  PipeTransport& otherPipe = NewPipe();
  const aLinkID device = Keep(Register(USB, 0x5E60, 0, 0, devicePipe));
  ASSERT_EQ(sAddUse(device), aErrNone);  // held through two client links
  aLinkID client = Register(ORVANE, 0x0100007F, 9000, 10, clientPipe);
  aLinkID other = Register(ORVANE, 0x0100007F, 9000, 11, otherPipe);
  ASSERT_NE(client, other);
  sLookupEntryByID(client)->chainedID = device;
  sLookupEntryByID(other)->chainedID = device;

  ASSERT_EQ(sAddUse(client), aErrNone);
  const aLinkID held = client;
  ASSERT_EQ(aLink_Destroy(&client), aErrNone);  // not its last use
  client = held;
  EXPECT_EQ(sLookupEntryByID(device)->useCount, 2);

  ASSERT_EQ(aLink_Destroy(&client), aErrNone);
  EXPECT_EQ(clientPipe.Writes(), std::vector<Bytes>{kRouteOff});
  EXPECT_EQ(sLookupEntryByID(device)->useCount, 1);
  EXPECT_EQ(aLink_GetStatus(device), RUNNING);

  ASSERT_EQ(aLink_Destroy(&other), aErrNone);
  EXPECT_EQ(sLookupEntryByID(device), nullptr);
  EXPECT_EQ(devicePipe.Writes(), std::vector<Bytes>{kRouteOff});
}

}  // namespace
