// Request routing of the link sharing server: wire clients (DEALER sockets speaking the packet
// frames) share one TCP/IP device link to the simulated module through the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/aServer_ZeroMQ.h"
#include "sim/module/simModule.h"
#include "support/private_network.h"
#include "support/served_module_fixture.h"
#include "support/zmq_wire_client.h"

// The servers hold loopback discovery slots, which are fixed ports.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qfsim::SimContext;
using qfsim::SimPacket;
using qfsim::SimRecord;
using qftest::PacketFrame;
using qftest::WireClient;

constexpr uint8_t kAddress = 0x06;
// Commands of the simulated module in these tests.
constexpr uint8_t kEcho = 0x10;         // answered with the request's own data
constexpr uint8_t kManyReplies = 0x11;  // answered by data[2] full packets with the continue bit, then a short one
constexpr uint8_t kOneByte = 0x12;      // answered with its command byte alone: a 3-byte frame
constexpr uint8_t kUnanswered = 0x13;   // never answered
constexpr uint8_t kRefused = 0x14;      // every packet answered with an error reply, as for a missing option
constexpr uint8_t kSlow = 0x15;         // answered with its own data after kSlowMs
constexpr int kSlowMs = 100;
constexpr int kReplyMs = 3000;
constexpr int kQuietMs = 300;

// A full byte-value packet: 28 data bytes, the last the sequence byte.
Bytes FullPart(uint8_t command, uint8_t sequenceByte) {
  Bytes data(28, 0x5A);
  data[0] = command;
  data.back() = sequenceByte;
  return data;
}

constexpr uint8_t kManyOption = 0x07;

// The replies kManyReplies gives for a count: like a byte value, each carries the request's option.
std::vector<Bytes> ManyReplies(uint8_t count) {
  std::vector<Bytes> frames;
  for (uint8_t i = 0; i < count; ++i) {
    Bytes part = FullPart(kManyReplies, 0x80 | i);
    part[1] = kManyOption;
    part[2] = 0x02;  // an index without the stream bit
    frames.push_back(PacketFrame(kAddress, part));
  }
  frames.push_back(PacketFrame(kAddress, {kManyReplies, kManyOption, 0x02, 0x03, uint8_t(count & 0x7F)}));
  return frames;
}

// The module's error reply to a request of kRefused: the request's command and option, the index
// with its error bit, then the error code.
Bytes RefusalOf(const Bytes& request) { return {request[0], request[1], uint8_t(0x80 | (request[2] & 0x1F)), 0x13}; }

bool Received(const SimRecord& record, const Bytes& data) { return qftest::TimesReceived(record, kAddress, data) > 0; }

class ServerRouting : public qftest::ServedModuleFixture {
 protected:
  ServerRouting() : ServedModuleFixture(kAddress) {}

  void AddHandlers(qfsim::SimModule& module) override {
    module.setHandler(kEcho, qftest::EchoHandler());
    module.setHandler(kManyReplies, [](SimContext& c, const SimPacket& p) {
      for (const Bytes& frame : ManyReplies(p.data.size() > 2 ? p.data[2] : 0))
        c.reply({frame[0], Bytes(frame.begin() + 2, frame.end())});
    });
    module.setHandler(kRefused, [](SimContext& c, const SimPacket& p) {
      if (p.data.size() >= 3) c.reply({c.state().address, RefusalOf(p.data)});
    });
    module.setHandler(kOneByte, [](SimContext& c, const SimPacket&) { c.reply({c.state().address, {kOneByte}}); });
    module.setHandler(kSlow, [](SimContext& c, const SimPacket& p) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSlowMs));
      c.reply({c.state().address, p.data});
    });
  }

  bool ModuleGets(const Bytes& data) {
    return served->module().waitUntil([&](const SimRecord& r) { return Received(r, data); }, 3s);
  }

  // The client's next frame is the echo of the tag, and nothing follows it.
  static void ExpectOnlyEcho(WireClient& client, const Bytes& echo) {
    EXPECT_EQ(client.receive(kReplyMs), PacketFrame(kAddress, echo));
    EXPECT_TRUE(client.receiveUntilQuiet(kQuietMs).empty());
  }
};

TEST_F(ServerRouting, EachClientGetsTheRepliesToItsOwnRequestsInOrder) {
  constexpr uint8_t kClients = 3;
  constexpr uint8_t kRequests = 6;
  std::vector<std::unique_ptr<WireClient>> clients;
  for (uint8_t c = 0; c < kClients; ++c) clients.push_back(Client());
  for (uint8_t n = 0; n < kRequests; ++n)
    for (uint8_t c = 0; c < kClients; ++c) ASSERT_TRUE(clients[c]->send(kAddress, {kEcho, c, n}));

  for (uint8_t c = 0; c < kClients; ++c) {
    std::vector<Bytes> expected;
    for (uint8_t n = 0; n < kRequests; ++n) expected.push_back(PacketFrame(kAddress, {kEcho, c, n}));
    std::vector<Bytes> got;
    while (got.size() < expected.size())
      if (auto frame = clients[c]->receive(kReplyMs)) got.push_back(*frame);
      else break;
    EXPECT_EQ(got, expected) << "client " << int(c);
  }
  EXPECT_TRUE(clients[0]->receiveUntilQuiet(kQuietMs).empty());
}

TEST_F(ServerRouting, EveryReplyShapeReachesTheAskingClientWhole) {
  struct Case {
    const char* name;
    Bytes request;
    std::vector<Bytes> replies;
  };
  const std::vector<Case> cases = {
      {"one reply", {kEcho, 0xE1, 0xE2}, {PacketFrame(kAddress, {kEcho, 0xE1, 0xE2})}},
      {"a reply of one data byte, as long as a server command", {kOneByte}, {PacketFrame(kAddress, {kOneByte})}},
      {"a byte value in four reply packets", {kManyReplies, kManyOption, 3}, ManyReplies(3)},
      {"a byte value wrapping past sequence 127", {kManyReplies, kManyOption, 130}, ManyReplies(130)},
  };
  auto asking = Client();
  auto other = Client();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(asking->send(kAddress, c.request));
    ASSERT_TRUE(ModuleGets(c.request));
    ASSERT_TRUE(other->send(kAddress, {kEcho, 0x0B}));
    std::vector<Bytes> got;
    while (got.size() < c.replies.size())
      if (auto frame = asking->receive(kReplyMs)) got.push_back(*frame);
      else break;
    EXPECT_EQ(got, c.replies);
    ExpectOnlyEcho(*other, {kEcho, 0x0B});
    EXPECT_TRUE(asking->receiveUntilQuiet(kQuietMs).empty());
  }
}

TEST_F(ServerRouting, PacketsThatExpectNoAnswerLeaveThePairingIntact) {
  struct Case {
    const char* name;
    Bytes frame;
    bool reachesModule;
  };
  const std::vector<Case> cases = {
      {"a client's force-route packet", PacketFrame(0xAF, {0x01}), false},
      {"another packet to the route address", PacketFrame(0xAF, {0x07, 0x08}), true},
      {"a middle part of a byte value that no pool takes", PacketFrame(kAddress, FullPart(0x33, 0x80 | 5)), true},
  };
  auto sender = Client();
  auto next = Client();
  uint8_t tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++tag;
    served->module().clearRecord();
    ASSERT_TRUE(sender->sendFrame(c.frame));
    ASSERT_TRUE(sender->send(kAddress, {kEcho, tag}));
    ExpectOnlyEcho(*sender, {kEcho, tag});  // replies come in order: nothing came for the first
    const SimRecord record = served->module().record();
    const bool reached = std::any_of(record.packets.begin(), record.packets.end(), [&](const SimPacket& p) {
      return p.address == c.frame[0] && p.data == Bytes(c.frame.begin() + 2, c.frame.end());
    });
    EXPECT_EQ(reached, c.reachesModule);
    ASSERT_TRUE(next->send(kAddress, {kEcho, 0x40, tag}));
    ExpectOnlyEcho(*next, {kEcho, 0x40, tag});
  }
  EXPECT_EQ(served->module().record().routes, Bytes{}) << "a client's route packet reached the module";
}

TEST_F(ServerRouting, WhatTheModuleSendsUnaskedNeverShiftsLaterRepliesToOtherClients) {
  // A set of 60 bytes in three packets: 24 + 24 + 12.
  Bytes first = FullPart(kRefused, 0x80 | 0);
  first[1] = 0x80 | 0x09;
  first[2] = 0x20;
  Bytes second = first;
  second.back() = 0x80 | 1;
  Bytes last(first.begin(), first.begin() + 3 + 12);
  last.push_back(2);
  struct Case {
    const char* name;
    std::vector<Bytes> sent;             // by one client, in this order
    std::optional<Bytes> senderExpects;  // its only reply
  };
  const std::vector<Case> cases = {
      {"a stray byte-value part with the continue bit, answered with an error",
       {FullPart(kRefused, 0x80 | 5)},
       std::nullopt},
      {"a set of 60 bytes to an option the module lacks: every part answered with an error",
       {first, second, last},
       RefusalOf(first)},
  };
  uint8_t tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto sender = Client();
    for (const Bytes& data : c.sent) ASSERT_TRUE(sender->send(kAddress, data));
    ASSERT_TRUE(ModuleGets(c.sent.back()));
    if (c.senderExpects) {
      EXPECT_EQ(sender->receive(kReplyMs), PacketFrame(kAddress, *c.senderExpects));
    }
    // Clients that come later, one after another and a new one last, each get their own reply.
    auto a = Client();
    auto b = Client();
    for (WireClient* client : {a.get(), b.get()}) {
      ASSERT_TRUE(client->send(kAddress, {kEcho, 0x50, ++tag}));
      ExpectOnlyEcho(*client, {kEcho, 0x50, tag});
    }
    auto fresh = Client();
    ASSERT_TRUE(fresh->send(kAddress, {kEcho, 0x51, ++tag}));
    ExpectOnlyEcho(*fresh, {kEcho, 0x51, tag});
    EXPECT_TRUE(sender->receiveUntilQuiet(kQuietMs).empty());
  }
}

TEST_F(ServerRouting, FramesThatAreNotPacketsAreDroppedSilently) {
  struct Case {
    const char* name;
    Bytes frame;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {kAddress}},
      {"length beyond the frame", {kAddress, 4, kEcho, 0x01}},
      {"length above 28",
       [] {
         Bytes f(31, 0x01);
         f[0] = kAddress;
         f[1] = 29;
         return f;
       }()},
      {"longer than 30 bytes",
       [] {
         Bytes f(31, 0x01);
         f[0] = kAddress;
         f[1] = 28;
         return f;
       }()},
      {"address 0", {0x00, 1, kEcho}},
  };
  auto client = Client();
  uint8_t tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    served->module().clearRecord();
    ASSERT_TRUE(client->sendFrame(c.frame));
    ASSERT_TRUE(client->send(kAddress, {kEcho, ++tag}));
    ExpectOnlyEcho(*client, {kEcho, tag});
    EXPECT_EQ(served->module().record().packets.size(), 1u) << "only the echo request may reach the module";
  }
  // Bytes after the packet a frame holds are not part of it.
  ASSERT_TRUE(client->sendFrame({kAddress, 2, kEcho, 0x77, 0xEE, 0xEE}));
  ExpectOnlyEcho(*client, {kEcho, 0x77});
}

TEST_F(ServerRouting, FramesToAddressesNoModuleCanHaveAreRefusedAtOnceWithAnError) {
  struct Case {
    const char* name;
    Bytes frame;
    Bytes refusal;
  };
  const std::vector<Case> cases = {
      {"an odd address", PacketFrame(0xC9, {kUnanswered, 0x01}), {0xC9, 2, kUnanswered, 24}},
      {"address 7, no data", PacketFrame(0x07, {}), {0x07, 1, 24}},
      {"the synchronisation address with data", PacketFrame(0xAD, {kEcho}), {0xAD, 2, kEcho, 24}},
  };
  auto client = Client();
  uint8_t tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    served->module().clearRecord();
    const auto sent = Clock::now();
    ASSERT_TRUE(client->sendFrame(c.frame));
    ASSERT_TRUE(client->send(kAddress, {kEcho, ++tag}));
    EXPECT_EQ(client->receive(kReplyMs), c.refusal);
    EXPECT_EQ(client->receive(kReplyMs), PacketFrame(kAddress, {kEcho, tag}));
    EXPECT_LT(Clock::now() - sent, 1500ms) << "nothing may wait for a module that cannot exist";
    EXPECT_EQ(served->module().record().packets.size(), 1u) << "only the echo request may reach the module";
  }
}

TEST_F(ServerRouting, AClientWithManyRequestsHoldsAnotherUpByOneOfThemAtMost) {
  auto flooder = Client();
  auto honest = Client();
  // The time of one slow request, measured here, beside whatever load the machine has.
  const auto alone = Clock::now();
  ASSERT_TRUE(flooder->send(kAddress, {kSlow, 0xFF}));
  ASSERT_EQ(flooder->receive(kReplyMs), PacketFrame(kAddress, {kSlow, 0xFF}));
  const auto requestTime = Clock::now() - alone;

  constexpr uint8_t kFlood = 40;  // several seconds of the module's work
  for (uint8_t n = 0; n < kFlood; ++n) ASSERT_TRUE(flooder->send(kAddress, {kSlow, n}));
  ASSERT_TRUE(ModuleGets({kSlow, 0}));
  for (uint8_t n = 0; n < 3; ++n) {
    const auto asked = Clock::now();
    ASSERT_TRUE(honest->send(kAddress, {kEcho, 0x70, n}));
    ASSERT_EQ(honest->receive(kReplyMs), PacketFrame(kAddress, {kEcho, 0x70, n}));
    EXPECT_LE(Clock::now() - asked, 2 * requestTime) << "request " << int(n) << " waited behind the flood";
  }
  // The flood is served whole and in order all the same.
  for (uint8_t n = 0; n < kFlood; ++n) ASSERT_EQ(flooder->receive(kReplyMs), PacketFrame(kAddress, {kSlow, n}));
}

TEST_F(ServerRouting, AnUnansweredRequestIsGivenUpAfterTwoSecondsAndTheNextOneServed) {
  auto silent = Client();
  auto next = Client();
  const auto sent = Clock::now();
  ASSERT_TRUE(silent->send(kAddress, {kUnanswered}));
  ASSERT_TRUE(ModuleGets({kUnanswered}));
  ASSERT_TRUE(next->send(kAddress, {kEcho, 0x21}));
  EXPECT_EQ(next->receive(4000), PacketFrame(kAddress, {kEcho, 0x21}));
  const auto waited = Clock::now() - sent;
  EXPECT_GE(waited, 1900ms) << "the request behind waits for the server's whole reply wait";
  EXPECT_LT(waited, 3500ms);
  EXPECT_TRUE(silent->receiveUntilQuiet(kQuietMs).empty());
}

TEST_F(ServerRouting, AFlushDropsTheLateAnswerInsteadOfGivingItToTheNextClient) {
  qfsim::SimFaults slow;
  slow.replyDelayMs = 1000;
  served->module().setFaults(slow);
  auto flushed = Client();
  auto next = Client();
  ASSERT_TRUE(flushed->send(kAddress, {kEcho, 0xF1}));
  ASSERT_TRUE(ModuleGets({kEcho, 0xF1}));
  ASSERT_EQ(aServer_FlushFIFO(served->server()), aErrNone);
  ASSERT_TRUE(next->send(kAddress, {kEcho, 0xF2}));
  EXPECT_EQ(next->receive(4000), PacketFrame(kAddress, {kEcho, 0xF2}));
  EXPECT_TRUE(next->receiveUntilQuiet(kQuietMs).empty());
  EXPECT_TRUE(flushed->receiveUntilQuiet(kQuietMs).empty());
  // The pairing holds afterwards.
  served->module().setFaults({});
  ASSERT_TRUE(flushed->send(kAddress, {kEcho, 0xF3}));
  ExpectOnlyEcho(*flushed, {kEcho, 0xF3});
}

}  // namespace
