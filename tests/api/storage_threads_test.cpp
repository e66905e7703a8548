// Store slots, factory data and the packet-log file against the simulated module over TCP on
// loopback: round trips with the bytes on the wire, the module's fault knobs (error replies,
// short replies, wrong sums, silence), argument checks, and the log's lines in a real file.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "api/Link.h"
#include "api/Module.h"
#include "sim/module/simStorage.h"
#include "support/sim_module_fixture.h"
#include "support/temp_folder.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimStorageFaults;
using qfsim::SimTransport;
using qftest::PatternBytes;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

namespace {

constexpr uint8_t kAddress = 0x0A;
constexpr uint8_t kStore = 1;
constexpr uint8_t kSlot = 2;

class StorageTest : public qftest::SimModuleFixture<> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress)));
    qfsim::SimStorage::attach(storage, sim->module);
    storage->setSlot(kStore, kSlot, qfsim::SimSlot{256, {}});
    link = ConnectedLink("storage");
  }

  // The slot operation byte of every slot request since the last call.
  std::vector<uint8_t> SlotOperations() {
    std::vector<uint8_t> ops;
    for (const Bytes& request : storage->record().slotRequests) ops.push_back(request[1]);
    ops.erase(ops.begin(), ops.begin() + static_cast<std::ptrdiff_t>(std::min(seenSlotRequests, ops.size())));
    seenSlotRequests += ops.size();
    return ops;
  }

  std::shared_ptr<qfsim::SimStorage> storage = std::make_shared<qfsim::SimStorage>();
  std::unique_ptr<Link> link;
  size_t seenSlotRequests = 0;
};

TEST_F(StorageTest, ASlotIsWrittenInSummedChunksAndReadBack) {
  const Bytes bytes = PatternBytes(60);
  ASSERT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, bytes.data(), bytes.size()), aErrNone);
  std::vector<size_t> chunks;
  for (const Bytes& request : storage->record().slotRequests)
    if (request[1] == 7) chunks.push_back(request.size() - 3);
  EXPECT_EQ(chunks, (std::vector<size_t>{25, 25, 10}));
  EXPECT_EQ(SlotOperations(), (std::vector<uint8_t>{4, 7, 7, 7, 8}));
  EXPECT_EQ(storage->slot(kStore, kSlot).bytes, bytes);

  size_t capacity = 0, size = 0;
  EXPECT_EQ(link->storeSlotCapacity(kAddress, kStore, kSlot, &capacity), aErrNone);
  EXPECT_EQ(capacity, 256u);
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &size), aErrNone);
  EXPECT_EQ(size, 60u);
  SlotOperations();

  Bytes back(100, 0);
  size_t count = 0;
  ASSERT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 60), bytes);
  EXPECT_EQ(SlotOperations(), (std::vector<uint8_t>{2, 3, 6, 6, 6, 8}));

  Bytes small(10, 0);
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, small.data(), small.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(small, Bytes(bytes.begin(), bytes.begin() + 10));
  EXPECT_EQ(SlotOperations().back(), 8) << "the slot is closed";
}

TEST_F(StorageTest, SlotFaultsEndTheTransferAndAnOpenedSlotIsClosed) {
  const Bytes bytes = PatternBytes(30);
  const struct {
    const char* what;
    SimStorageFaults faults;
    bool load;  // else unload
    aErr expected;
    std::vector<uint8_t> operations;
  } cases[] = {
      {"a wrong sum", {.wrongSum = true}, true, aErrIO, {4, 7, 8}},
      {"an open refused", {.slotErrorOp = 4, .slotErrorCode = 12}, true, aErrMedia, {4}},
      {"an open answered without a handle", {.slotShortOp = 4}, true, aErrMedia, {4}},
      {"a write refused", {.slotErrorOp = 7, .slotErrorCode = 14}, true, 14, {4, 7, 8}},
      {"a close refused", {.slotErrorOp = 8, .slotErrorCode = 12}, true, 12, {4, 7, 7, 8}},
      {"a read refused", {.slotErrorOp = 6, .slotErrorCode = 17}, false, 17, {2, 3, 6, 8}},
      {"a read unanswered", {.slotSilentOp = 6, .slotSilentAfter = 1}, false, aErrTimeout, {2, 3, 6, 6, 8}},
      {"a size refused without its code", {.slotErrorOp = 2, .slotShortOp = 2}, false, aErrUnknown, {2}},
  };
  ASSERT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, bytes.data(), bytes.size()), aErrNone);
  for (const auto& c : cases) {
    storage->setFaults(c.faults);
    SlotOperations();
    size_t count = 0;
    Bytes buffer(64, 0);
    const aErr result = c.load ? link->loadStoreSlot(kAddress, kStore, kSlot, bytes.data(), bytes.size())
                               : link->unloadStoreSlot(kAddress, kStore, kSlot, buffer.data(), buffer.size(), &count);
    EXPECT_EQ(result, c.expected) << c.what;
    EXPECT_EQ(SlotOperations(), c.operations) << c.what;
    storage->setFaults({});
    if (c.load) {
      ASSERT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, bytes.data(), bytes.size()), aErrNone);
    }
  }
}

TEST_F(StorageTest, SlotQueriesAndTheirRefusals) {
  size_t value = 7;
  EXPECT_EQ(link->storeSlotCapacity(kAddress, 9, 9, &value), aErrNotFound) << "the module's code";
  EXPECT_EQ(value, 7u) << "written only on success";
  EXPECT_EQ(link->storeSlotCapacity(kAddress, kStore, kSlot, nullptr), aErrParam);
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, nullptr), aErrParam);
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, nullptr, 4), aErrParam);
  uint8_t buffer[4];
  EXPECT_EQ(link->unloadStoreSlot(kAddress, kStore, kSlot, buffer, 4, nullptr), aErrParam);
  storage->setFaults({.slotShortOp = 2});
  EXPECT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &value), aErrUnknown) << "a reply of the wrong length";

  storage->setFaults({.slotSilentOp = 4});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link->loadStoreSlot(kAddress, kStore, kSlot, buffer, 4), aErrMedia);
  EXPECT_GE(qftest::MillisecondsSince(start), milliseconds(2900)) << "the open is given three seconds";
  SlotOperations();

  Link unconnected(sim->spec(SimTransport::tcp), "idle");
  EXPECT_EQ(unconnected.storeSlotCapacity(kAddress, kStore, kSlot, &value), aErrConnection);
  EXPECT_EQ(unconnected.loadStoreSlot(kAddress, kStore, kSlot, buffer, 4), aErrConnection);
  EXPECT_EQ(unconnected.setFactoryData(kAddress, 1, buffer, 4), aErrConnection);
}

TEST_F(StorageTest, AReplySentTwiceIsNotTheNextRequestsAnswer) {
  storage->setSlot(kStore, kSlot, qfsim::SimSlot{256, PatternBytes(10)});
  storage->setFaults({.slotTwiceOp = 2});
  size_t size = 0;
  ASSERT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &size), aErrNone);
  ASSERT_EQ(size, 10u);
  uint8_t address = 0;
  ASSERT_EQ(link->getModuleAddress(&address), aErrNone) << "a round trip: the second reply is in";
  storage->setFaults({});
  storage->setSlot(kStore, kSlot, qfsim::SimSlot{256, PatternBytes(20)});
  ASSERT_EQ(link->storeSlotSize(kAddress, kStore, kSlot, &size), aErrNone);
  EXPECT_EQ(size, 20u) << "the size came from the earlier request's second reply";
}

TEST_F(StorageTest, FactoryDataRoundTripsInPacketsOfTwentySix) {
  const Bytes bytes = PatternBytes(27);
  ASSERT_EQ(link->setFactoryData(kAddress, 3, bytes.data(), bytes.size()), aErrNone);
  const auto requests = storage->record().factoryRequests;
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(Bytes(requests[0].begin(), requests[0].begin() + 2), (Bytes{0x5E, 0x53}));
  EXPECT_EQ(requests[0].size(), 28u);
  EXPECT_EQ(requests[1], (Bytes{0x5E, 0x13, bytes[26]}));
  EXPECT_EQ(requests[2], (Bytes{0x5E, 0x20, 0x00, 0x1B}));
  EXPECT_EQ(storage->factoryData(3), bytes);

  const Bytes thirty = PatternBytes(30);
  storage->setFactoryData(5, thirty);
  Bytes buffer(30, 0);
  size_t count = 0;
  ASSERT_EQ(link->getFactoryData(kAddress, 5, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(buffer, thirty);
  const auto reads = storage->record().factoryRequests;
  EXPECT_EQ(std::vector<Bytes>(reads.end() - 3, reads.end()),
            (std::vector<Bytes>{{0x5E, 0x45}, {0x5E, 0x05}, {0x5E, 0x20, 0x00, 0x1E}}));
  EXPECT_EQ(link->getFactoryData(kAddress, 5, buffer.data(), 29, &count), aErrOverrun);

  const Bytes fiftyTwo = PatternBytes(52);  // two full replies, then an empty one
  storage->setFactoryData(6, fiftyTwo);
  Bytes large(64, 0);
  ASSERT_EQ(link->getFactoryData(kAddress, 6, large.data(), large.size(), &count), aErrNone);
  EXPECT_EQ(Bytes(large.begin(), large.begin() + static_cast<std::ptrdiff_t>(count)), fiftyTwo);

  ASSERT_EQ(link->setFactoryData(kAddress, 6, bytes.data(), 0), aErrNone);
  EXPECT_EQ(storage->record().factoryRequests.back(), (Bytes{0x5E, 0x20, 0x00, 0x00})) << "only the close";
}

TEST_F(StorageTest, FactoryFaultsAndArguments) {
  const Bytes bytes = PatternBytes(8);
  Bytes buffer(32, 0);
  size_t count = 99;
  const struct {
    const char* what;
    SimStorageFaults faults;
    aErr read;
    aErr write;
  } cases[] = {
      {"an error reply", {.factoryErrorCode = 21}, 21, 21},
      {"a write acknowledged too long", {.factoryLongAck = true}, aErrNone, aErrSize},
      {"a close refused", {.factoryCloseError = 12}, 12, 12},
  };
  for (const auto& c : cases) {
    storage->setFaults(c.faults);
    EXPECT_EQ(link->getFactoryData(kAddress, 2, buffer.data(), buffer.size(), &count), c.read) << c.what;
    EXPECT_EQ(link->setFactoryData(kAddress, 2, bytes.data(), bytes.size()), c.write) << c.what;
  }
  storage->setFaults({});
  count = 99;
  EXPECT_EQ(link->getFactoryData(kAddress, 2, nullptr, 8, &count), aErrParam);
  EXPECT_EQ(link->getFactoryData(kAddress, 2, buffer.data(), 0, &count), aErrParam);
  EXPECT_EQ(link->getFactoryData(kAddress, 2, buffer.data(), 8, nullptr), aErrParam);
  EXPECT_EQ(link->setFactoryData(kAddress, 2, nullptr, 8), aErrParam);
  EXPECT_EQ(count, 99u);
}

TEST_F(StorageTest, ThePacketLogWritesEveryPacketAsALine) {
  qftest::TempFolder folder;
  const std::string path = folder / "packets.log";
  Link idle("idle");
  EXPECT_EQ(idle.enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_EQ(idle.disablePacketLog(), aErrConfiguration);
  Module module(kAddress, false, 0);
  EXPECT_EQ(module.enablePacketLog(path.c_str()), aErrConfiguration) << "a module not connected";

  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  uint8_t address = 0;
  ASSERT_EQ(link->getModuleAddress(&address), aErrNone);
  // The records are in the log before the answer is handed out; disabling lets the writer
  // finish them.
  ASSERT_EQ(link->disablePacketLog(), aErrNone);
  const std::string text = qftest::ReadWholeFile(path);
  // The marker follows the switch-on, so a packet the engine sends meanwhile (a route request
  // of the synchronisation) may come before it.
  EXPECT_NE(text.find("6 < START\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\0'), std::string::npos) << "the record's terminating zero is no text";
  EXPECT_NE(text.find("2 > 0xAD 0x0 \r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("2 < 0xA 0x0 \r\n"), std::string::npos) << text;

  // Enabled again, the same file goes on; a file that cannot open leaves the log recording.
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_EQ(link->disablePacketLog(), aErrNone);
  auto other = qftest::DirectLink(sim->spec(SimTransport::tcp), "other");
  ASSERT_EQ(other->connectThroughLinkModule(*link), aErrNone);
  EXPECT_EQ(other->enablePacketLog((folder / "missing/packets.log").c_str()), aErrNone);
  EXPECT_EQ(other->disablePacketLog(), aErrParam) << "no file writer was made";
}

TEST_F(StorageTest, AModuleDeletedWithItsPacketLogOnWritesEveryRecord) {
  qftest::TempFolder folder;
  const std::string path = folder / "module.log";
  constexpr int kEchoes = 100;
  sim->module.setHandler(0x17, [](qfsim::SimContext& c, const qfsim::SimPacket& p) {
    c.reply({c.state().address, p.data});
  });
  {
    Module module(kAddress, false, 0);
    ASSERT_EQ(qftest::ConnectDirectly(module, sim->spec(SimTransport::tcp)), aErrNone);
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    for (int i = 0; i < kEchoes; ++i) {
      const uint8_t data[] = {0x55, static_cast<uint8_t>(i)};
      ASSERT_EQ(module.getLink()->sendPacket(kAddress, 0x17, sizeof data, data), aErrNone);
      uint8_t length = 3;
      const uint8_t match[] = {0x17, 0x55, static_cast<uint8_t>(i)};
      uint8_t reply[aPACKET_MAX_DATA] = {};
      ASSERT_EQ(module.getLink()->receivePacket(kAddress, match, &length, reply), aErrNone);
    }
  }
  const std::string text = qftest::ReadWholeFile(path);
  int sent = 0, received = 0;
  for (size_t at = 0; (at = text.find("0x17 0x55 ", at)) != std::string::npos; ++at) {
    const size_t line = text.rfind('\n', at);
    const std::string head = text.substr(line == std::string::npos ? 0 : line + 1, 6);
    (head.find('>') != std::string::npos ? sent : received) += 1;
  }
  EXPECT_EQ(sent, kEchoes) << text;
  EXPECT_EQ(received, kEchoes) << text;
}

}  // namespace
