// The simulated module in-process, driven from the far side of its real transports (a TCP
// client, the slave side of its pseudo-terminal) with raw bytes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "sim/module/simModule.h"
#include "support/cpu_at_rest.h"
#include "support/raw_peer.h"
#include "support/temp_folder.h"

using namespace qfsim;
using namespace std::chrono_literals;
using qftest::Bytes;
using qftest::hex;
using qftest::RawPeer;

namespace {

constexpr auto _kReply = 2000ms;  // a reply that should come
constexpr auto _kQuiet = 200ms;   // how long silence is listened for

const Bytes _kSync{0xAD, 0x00};
const Bytes _kSyncAnswer{0x04, 0x00};

SimModuleOptions _options(SimTransport transport) {
  SimModuleOptions options;
  options.transport = transport;
  options.address = 0x04;
  options.model = 0x09;
  return options;
}

std::unique_ptr<SimModule> _started(const SimModuleOptions& options) {
  auto module = std::make_unique<SimModule>(options);
  std::string error;
  if (!module->start(&error)) {
    ADD_FAILURE() << "module did not start: " << error;
    return nullptr;
  }
  return module;
}

RawPeer _connect(const SimModule& module, SimTransport transport) {
  RawPeer peer = transport == SimTransport::tcp ? RawPeer::tcp(module.port()) : RawPeer::terminal(module.path());
  EXPECT_TRUE(peer.valid()) << "cannot reach the module";
  return peer;
}

Bytes _repeat(const Bytes& bytes, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

// What the peer receives: the expected number of bytes, or whatever comes while listening for
// silence.
Bytes _answer(RawPeer& peer, const Bytes& expected) {
  return expected.empty() ? peer.receiveFor(_kQuiet) : peer.receive(expected.size(), _kReply);
}

TEST(SimModuleTest, SyncAndModelAnswersOnEveryTransport) {
  struct Case {
    SimTransport transport;
    Bytes request;
    Bytes reply;
    std::uint32_t syncs;
  };
  const Case cases[] = {
      {SimTransport::tcp, _repeat(_kSync, 6), _repeat(_kSyncAnswer, 6), 6},
      {SimTransport::tcp, {0x04, 0x03, 0x03, 0x48, 0x20}, {0x04, 0x04, 0x03, 0x08, 0x00, 0x09}, 0},
      {SimTransport::node, _repeat(_kSync, 2), _repeat(_kSyncAnswer, 2), 2},
      {SimTransport::node, {0x04, 0x03, 0x03, 0x48, 0x20}, {0x04, 0x04, 0x03, 0x08, 0x00, 0x09}, 0},
      // COBS + CRC-8 frames, written out byte by byte.
      {SimTransport::serial, _repeat({0x02, 0xAD, 0x02, 0x67, 0x00}, 2), _repeat({0x02, 0x04, 0x02, 0x3B, 0x00}, 2), 2},
      {SimTransport::serial,
       {0x07, 0x04, 0x03, 0x03, 0x48, 0x20, 0xBD, 0x00},
       {0x05, 0x04, 0x04, 0x03, 0x08, 0x03, 0x09, 0xF2, 0x00},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(hex(c.request));
    auto module = _started(_options(c.transport));
    ASSERT_TRUE(module);
    RawPeer peer = _connect(*module, c.transport);
    ASSERT_TRUE(peer.send(c.request));
    EXPECT_EQ(hex(_answer(peer, c.reply)), hex(c.reply));
    EXPECT_EQ(module->record().syncRequests, c.syncs);
    EXPECT_EQ(module->record().framingErrors, 0u);
  }
}

TEST(SimModuleTest, RoutesAndOtherPacketsAreRecordedButNotAnswered) {
  auto module = _started(_options(SimTransport::tcp));
  ASSERT_TRUE(module);
  RawPeer peer = _connect(*module, SimTransport::tcp);
  const Bytes traffic{
      0xAF, 0x01, 0x01,              // route on
      0xAF, 0x01, 0x00,              // route off
      0x06, 0x03, 0x03, 0x48, 0x20,  // model query to another address
      0x04, 0x01, 0x77,              // a command nobody handles
      0x04, 0x03, 0x03, 0x48, 0x21,  // the system entity, not the model query
      0xAD, 0x01, 0x55,              // the sync address with data
  };
  ASSERT_TRUE(peer.send(traffic));
  EXPECT_EQ(hex(peer.receiveFor(_kQuiet)), "");
  ASSERT_TRUE(module->waitUntil([](const SimRecord& r) { return r.packets.size() == 6; }, _kReply));
  SimRecord record = module->record();
  EXPECT_EQ(record.routes, (std::vector<std::uint8_t>{1, 0}));
  EXPECT_EQ(record.syncRequests, 0u);
  EXPECT_EQ(record.packets[2], (SimPacket{0x06, {0x03, 0x48, 0x20}}));
}

TEST(SimModuleTest, HeartbeatAnswersAreChecked) {
  struct Case {
    std::optional<HeartbeatKind> sent;
    std::uint8_t answer;
    bool ok;
  };
  const Case cases[] = {
      {HeartbeatKind::up, 0x02, true},
      {HeartbeatKind::down, 0x03, true},
      {HeartbeatKind::up, 0x03, false},
      {std::nullopt, 0x02, false},  // an answer nobody asked for
  };
  auto module = _started(_options(SimTransport::node));
  ASSERT_TRUE(module);
  RawPeer peer = _connect(*module, SimTransport::node);
  std::size_t answers = 0;
  for (const Case& c : cases) {
    if (c.sent) {
      module->sendHeartbeat(*c.sent);
      auto kind = static_cast<std::uint8_t>(*c.sent);
      EXPECT_EQ(hex(peer.receive(4, _kReply)), hex({0x04, 0x02, 0x00, kind}));
    }
    ASSERT_TRUE(peer.send({0x04, 0x02, 0x00, c.answer}));
    ASSERT_TRUE(module->waitUntil([&](const SimRecord& r) { return r.heartbeatAnswers.size() > answers; }, _kReply));
    HeartbeatCheck check = module->record().heartbeatAnswers[answers++];
    EXPECT_EQ(check.ok, c.ok) << int(c.answer);
    EXPECT_EQ(check.sent.has_value(), c.sent.has_value());
    EXPECT_EQ(check.answer, c.answer);
  }
  EXPECT_EQ(module->record().heartbeatsSent, 3u);
}

TEST(SimModuleTest, PeriodicHeartbeatsStopWhenTurnedOff) {
  SimModuleOptions options = _options(SimTransport::tcp);
  options.heartbeatIntervalMs = 40;
  auto module = _started(options);
  ASSERT_TRUE(module);
  RawPeer peer = _connect(*module, SimTransport::tcp);
  const Bytes up{0x04, 0x02, 0x00, 0x00};
  EXPECT_EQ(hex(peer.receive(12, _kReply)), hex(_repeat(up, 3)));
  module->setHeartbeatInterval(0);
  peer.receiveFor(100ms);  // one may have been on its way
  EXPECT_EQ(hex(peer.receiveFor(_kQuiet)), "");
}

TEST(SimModuleTest, SuccessiveTcpConnectionsKeepState) {
  auto module = _started(_options(SimTransport::tcp));
  ASSERT_TRUE(module);
  RawPeer first = _connect(*module, SimTransport::tcp);
  ASSERT_TRUE(first.send({0xAF, 0x01, 0x01}));
  ASSERT_TRUE(module->waitUntil([](const SimRecord& r) { return r.routes.size() == 1; }, _kReply));

  // One host at a time: a second client waits until the first has gone.
  RawPeer second = _connect(*module, SimTransport::tcp);
  ASSERT_TRUE(second.send(_kSync));
  EXPECT_EQ(hex(second.receive(2, _kQuiet)), "");
  first.close();
  EXPECT_EQ(hex(second.receive(2, _kReply)), hex(_kSyncAnswer));
  second.close();

  RawPeer third = _connect(*module, SimTransport::tcp);
  ASSERT_TRUE(third.send({0x04, 0x03, 0x03, 0x48, 0x20}));
  EXPECT_EQ(hex(third.receive(6, _kReply)), "04 04 03 08 00 09");
  SimRecord record = module->record();
  EXPECT_EQ(record.connections, 3u);
  EXPECT_EQ(record.routes, (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(record.packets.size(), 3u);
}

TEST(SimModuleTest, CorruptSerialFramesAreDroppedAndCounted) {
  auto module = _started(_options(SimTransport::serial));
  ASSERT_TRUE(module);
  RawPeer peer = _connect(*module, SimTransport::serial);
  ASSERT_TRUE(peer.send({0x02, 0xAD, 0x02, 0x98, 0x00}));  // the sync frame with its CRC inverted
  EXPECT_EQ(hex(peer.receiveFor(_kQuiet)), "");
  EXPECT_EQ(module->record().framingErrors, 1u);
  ASSERT_TRUE(peer.send({0x02, 0xAD, 0x02, 0x67, 0x00}));
  EXPECT_EQ(hex(peer.receiveThrough(0x00, _kReply)), "02 04 02 3B 00");
}

TEST(SimModuleTest, FaultKnobs) {
  struct Case {
    const char* name;
    SimTransport transport;
    SimFaults faults;
    Bytes request;
    Bytes reply;
    bool closes;
    std::size_t received;
  };
  const Case cases[] = {
      {"silent", SimTransport::tcp, {.silent = true}, _kSync, {}, false, 1},
      {"odd first byte", SimTransport::tcp, {.firstByte = FirstByteFault::odd}, _kSync, {0x05, 0x00}, false, 1},
      {"zero first byte", SimTransport::node, {.firstByte = FirstByteFault::zero}, _kSync, {0x00, 0x00}, false, 1},
      {"wrong second sync address",
       SimTransport::tcp,
       {.wrongSecondSyncAddress = true},
       _repeat(_kSync, 3),
       {0x04, 0x00, 0x06, 0x00, 0x04, 0x00},
       false,
       3},
      {"bad CRC",
       SimTransport::serial,
       {.badCrc = true},
       {0x02, 0xAD, 0x02, 0x67, 0x00},
       {0x02, 0x04, 0x02, 0xC4, 0x00},
       false,
       1},
      {"close on the second packet",
       SimTransport::tcp,
       {.closeAfterPackets = 2},
       _repeat(_kSync, 2),
       _kSyncAnswer,
       true,
       2},
      {"close on the first packet", SimTransport::node, {.closeAfterPackets = 1}, _kSync, {}, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto module = _started(_options(c.transport));
    ASSERT_TRUE(module);
    module->setFaults(c.faults);  // knobs are turned while the module runs
    RawPeer peer = _connect(*module, c.transport);
    ASSERT_TRUE(peer.send(c.request));
    EXPECT_EQ(hex(_answer(peer, c.reply)), hex(c.reply));
    if (c.closes) {
      EXPECT_TRUE(peer.closedWithin(_kReply));
    }
    EXPECT_TRUE(module->waitUntil([&](const SimRecord& r) { return r.packets.size() == c.received; }, _kReply));
  }
}

TEST(SimModuleTest, LateRepliesDoNotHoldUpTheModule) {
  SimModuleOptions options = _options(SimTransport::tcp);
  options.faults.replyDelayMs = 500;
  auto module = _started(options);
  ASSERT_TRUE(module);
  RawPeer peer = _connect(*module, SimTransport::tcp);
  auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(peer.send({0xAD, 0x00, 0xAF, 0x01, 0x01}));
  EXPECT_TRUE(module->waitUntil([](const SimRecord& r) { return r.routes.size() == 1; }, 300ms))
      << "the packet after a delayed reply waited for it";
  EXPECT_EQ(hex(peer.receive(2, _kReply)), hex(_kSyncAnswer));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 490ms);
}

TEST(SimModuleTest, ClosingATerminalReplacesItAndItsLink) {
  qftest::TempFolder folder;
  SimModuleOptions options = _options(SimTransport::node);
  options.linkPath = folder / "node";
  auto module = _started(options);
  ASSERT_TRUE(module);
  RawPeer before = RawPeer::terminal(options.linkPath);
  ASSERT_TRUE(before.valid());
  std::string oldPath = module->path();

  module->closeConnection();
  EXPECT_TRUE(before.closedWithin(_kReply));
  EXPECT_NE(module->path(), oldPath);
  EXPECT_EQ(std::filesystem::read_symlink(options.linkPath).string(), module->path());
  RawPeer after = RawPeer::terminal(options.linkPath);
  ASSERT_TRUE(after.send(_kSync));
  EXPECT_EQ(hex(after.receive(2, _kReply)), hex(_kSyncAnswer));
  EXPECT_EQ(module->record().connections, 2u);

  module->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(options.linkPath)));
}

TEST(SimModuleTest, HandlersAreInstalledByCommandByte) {
  auto module = _started(_options(SimTransport::tcp));
  ASSERT_TRUE(module);
  module->setHandler(0x5F, [](SimContext& context, const SimPacket& request) {
    context.reply({context.state().address, {0x5F, request.data[1], 0x12}});
    if (request.data[1] == 0x06) context.dropConnection();  // answers, then restarts
  });
  module->setHandler(0x03, nullptr);
  RawPeer peer = _connect(*module, SimTransport::tcp);
  ASSERT_TRUE(peer.send({0x04, 0x03, 0x03, 0x48, 0x20, 0x04, 0x02, 0x5F, 0x07, 0x04, 0x02, 0x5F, 0x06}));
  EXPECT_EQ(hex(peer.receive(10, _kReply)), "04 03 5F 07 12 04 03 5F 06 12") << "the model query is gone";
  EXPECT_TRUE(peer.closedWithin(_kReply));
  RawPeer again = _connect(*module, SimTransport::tcp);
  ASSERT_TRUE(again.send({0x04, 0x02, 0x5F, 0x07}));
  EXPECT_EQ(hex(again.receive(5, _kReply)), "04 03 5F 07 12");
}

TEST(SimModuleTest, StartRefusesBadOptions) {
  auto busy = _started(_options(SimTransport::tcp));
  ASSERT_TRUE(busy);
  SimModuleOptions odd = _options(SimTransport::tcp);
  odd.address = 0x05;
  SimModuleOptions taken = _options(SimTransport::tcp);
  taken.port = busy->port();
  SimModuleOptions file = _options(SimTransport::serial);
  file.linkPath = "/proc/self/status";  // exists and is no link: never replaced
  for (const SimModuleOptions& options : {odd, taken, file}) {
    SimModule module(options);
    std::string error;
    EXPECT_FALSE(module.start(&error));
    EXPECT_FALSE(error.empty());
  }
}

// Idle modules sleep in poll(): no client, and a terminal whose peer came and went.
TEST(SimModuleTest, IdleModulesUseNoMeasurableCpu) {
  auto tcp = _started(_options(SimTransport::tcp));
  auto serial = _started(_options(SimTransport::serial));
  ASSERT_TRUE(tcp && serial);
  _connect(*serial, SimTransport::serial).close();
  EXPECT_LT(qftest::QuietestCpuUse(250ms, 2), 25ms);
}

}  // namespace
