// Multi-packet byte-value writes through the link sharing server reach the module in one run,
// and the module's stream packets reach every client that enabled streams, in batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/module/simModule.h"
#include "support/private_network.h"
#include "support/served_module_fixture.h"
#include "support/zmq_wire_client.h"

// The servers hold loopback discovery slots, which are fixed ports.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using namespace std::chrono_literals;
using namespace qftest::served_terms;

constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kEcho = 0x10;      // an entity request, answered with its own data
constexpr uint8_t kInfoEcho = 0x49;  // a link-level request (never pooled), answered likewise
constexpr uint8_t kSetBytes = 0x22;  // acknowledged after the last part of a byte value only
constexpr uint8_t kEmit = 0x23;      // answered, then followed by data[1] stream packets of data[2] bytes
constexpr int kQuietMs = 300;

// The packets of a byte-value set as a client sends it: [command, option, index, chunk,
// sequence byte], 24-byte chunks; every chunk byte is `fill`.
std::vector<Bytes> SetBytesParts(size_t length, uint8_t fill) {
  std::vector<Bytes> parts;
  size_t sent = 0;
  uint8_t number = 0;
  do {
    const size_t chunk = std::min<size_t>(24, length - sent);
    const bool more = sent + chunk < length;
    Bytes data{kSetBytes, 0x81, 0x20};
    data.insert(data.end(), chunk, fill);
    data.push_back(static_cast<uint8_t>((more ? 0x80 : 0x00) | (number++ & 0x7F)));
    parts.push_back(data);
    sent += chunk;
  } while (sent < length);
  return parts;
}

const Bytes kSetAck = {kSetBytes, 0xC1, 0x00};

// The data of every packet the module received to its address; only those of one command when
// a command is given.
std::vector<Bytes> ModulePackets(const SimRecord& record, std::optional<uint8_t> command = std::nullopt) {
  std::vector<Bytes> packets;
  for (const SimPacket& p : record.packets)
    if (p.address == kAddress && !p.data.empty() && (!command || p.data[0] == *command)) packets.push_back(p.data);
  return packets;
}

// The packets the module received to its address, from the first equal to `first` on.
std::vector<Bytes> ReceivedFrom(const SimRecord& record, const Bytes& first) {
  const std::vector<Bytes> all = ModulePackets(record);
  return std::vector<Bytes>(std::find(all.begin(), all.end(), first), all.end());
}

bool Contains(const std::vector<Bytes>& run, const std::vector<Bytes>& part) {
  return std::search(run.begin(), run.end(), part.begin(), part.end()) != run.end();
}

class ServerPooling : public qftest::ServedModuleFixture {
 protected:
  ServerPooling() : ServedModuleFixture(kAddress) {}

  void AddHandlers(qfsim::SimModule& module) override {
    for (uint8_t command : {kEcho, kInfoEcho, kStream}) module.setHandler(command, qftest::EchoHandler());
    module.setHandler(kSetBytes, [](SimContext& c, const SimPacket& p) {
      if (!(p.data.back() & 0x80)) c.reply({c.state().address, kSetAck});
    });
    module.setHandler(kEmit, [](SimContext& c, const SimPacket& p) {
      c.reply({c.state().address, p.data});
      for (uint8_t i = 0; i < p.data[1]; ++i) c.reply({c.state().address, StreamPacket(i, p.data[2])});
    });
  }

  // A stream sample: entity 0x30, option 1, the stream bit in the index byte.
  static Bytes StreamPacket(uint8_t number, uint8_t size) {
    Bytes data(size, number);
    data[0] = 0x30;
    data[1] = 0x01;
    data[2] = 0x40 | (number & 0x1F);
    return data;
  }

  bool ModuleGets(const std::vector<Bytes>& run) {
    return served->module().waitUntil([&](const SimRecord& r) { return Contains(ReceivedFrom(r, run.front()), run); },
                                      3s);
  }
};

TEST_F(ServerPooling, AByteValueReachesTheModuleInOneRunWhateverComesBetween) {
  struct Case {
    const char* name;
    size_t length;
  };
  const std::vector<Case> cases = {
      {"one packet, not pooled", 20},
      {"three packets", 60},
      {"201 packets, the sequence numbers wrapping after 127", 200 * 24 + 5},
  };
  auto writer = Client();
  auto other = Client();
  uint8_t tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    served->module().clearRecord();
    const std::vector<Bytes> parts = SetBytesParts(c.length, ++tag);
    for (size_t i = 0; i + 1 < parts.size(); ++i) ASSERT_TRUE(writer->send(kAddress, parts[i]));
    // The writer's other requests are served meanwhile, also one whose last byte reads as the
    // next sequence number, and so are other clients' requests.
    const Bytes lookalike = {kEcho, static_cast<uint8_t>((parts.size() - 1) & 0x7F)};
    RoundTrip(*writer, lookalike);
    RoundTrip(*writer, {kInfoEcho, tag});
    RoundTrip(*other, {kEcho, tag});
    ASSERT_TRUE(writer->send(kAddress, parts.back()));
    EXPECT_EQ(writer->receive(kReplyMs), PacketFrame(kAddress, kSetAck));
    EXPECT_TRUE(writer->receiveUntilQuiet(kQuietMs).empty()) << "one acknowledgement per value";
    const std::vector<Bytes> received = ReceivedFrom(served->module().record(), lookalike);
    const std::vector<Bytes> expected = [&] {
      std::vector<Bytes> all{lookalike, {kInfoEcho, tag}, {kEcho, tag}};
      all.insert(all.end(), parts.begin(), parts.end());
      return all;
    }();
    EXPECT_EQ(received, expected) << "the parts must come after the other requests, back to back";
  }
}

TEST_F(ServerPooling, TwoClientsWritingAtOnceEachHaveTheirValueWhole) {
  auto first = Client();
  auto second = Client();
  const std::vector<Bytes> a = SetBytesParts(5 * 24, 0xAA);
  const std::vector<Bytes> b = SetBytesParts(5 * 24, 0xBB);
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_TRUE(first->send(kAddress, a[i]));
    ASSERT_TRUE(second->send(kAddress, b[i]));
  }
  EXPECT_EQ(first->receive(kReplyMs), PacketFrame(kAddress, kSetAck));
  EXPECT_EQ(second->receive(kReplyMs), PacketFrame(kAddress, kSetAck));
  const std::vector<Bytes> all = ModulePackets(served->module().record());
  EXPECT_TRUE(Contains(all, a));
  EXPECT_TRUE(Contains(all, b));
  EXPECT_EQ(all.size(), a.size() + b.size());
}

TEST_F(ServerPooling, AValueWithALostPartIsNeverWrittenAndARetryIsWrittenAsSent) {
  auto writer = Client();
  const std::vector<Bytes> broken = SetBytesParts(3 * 24 + 1, 0x0B);
  ASSERT_TRUE(writer->send(kAddress, broken[0]));
  ASSERT_TRUE(writer->send(kAddress, broken[2]));  // part 1 never came
  ASSERT_TRUE(writer->send(kAddress, broken[3]));
  RoundTrip(*writer, {kInfoEcho, 0x01});
  EXPECT_TRUE(writer->receiveUntilQuiet(kQuietMs).empty()) << "an incomplete value is not acknowledged";

  const std::vector<Bytes> retry = SetBytesParts(2 * 24, 0x0C);
  for (const Bytes& part : retry) ASSERT_TRUE(writer->send(kAddress, part));
  EXPECT_EQ(writer->receive(kReplyMs), PacketFrame(kAddress, kSetAck));
  EXPECT_EQ(ModulePackets(served->module().record(), kSetBytes), retry)
      << "no part of the broken value may reach the module";
}

TEST_F(ServerPooling, AStuckValueHoldsItsPartsBackUntil2000FurtherEntityPacketsHavePassed) {
  auto writer = Client();
  const std::vector<Bytes> broken = SetBytesParts(3 * 24, 0x0D);
  const Bytes strayPart = {kSetBytes, 0x81, 0x20, 0x05};  // a last part, out of order
  ASSERT_TRUE(writer->send(kAddress, broken[0]));
  ASSERT_TRUE(writer->send(kAddress, broken[2]));  // 1 entity packet since the value began
  RoundTrip(*writer, {kEcho, 0x01});               // 2; served, though it reads as sequence 1
  for (int i = 0; i < 1998; ++i) ASSERT_TRUE(writer->send(kAddress, strayPart));  // 2000
  RoundTrip(*writer, {kInfoEcho, 0x02});                                          // link-level: not counted
  ASSERT_TRUE(writer->send(kAddress, strayPart));                                 // 2001: the value is given up first
  EXPECT_EQ(writer->receive(kReplyMs), PacketFrame(kAddress, kSetAck));
  EXPECT_EQ(ModulePackets(served->module().record(), kSetBytes), std::vector<Bytes>{strayPart});
}

TEST_F(ServerPooling, StreamBatchesReachEveryEnrolledClientOnce) {
  auto twice = Client();
  auto disabling = Client();
  auto bystander = Client();
  const Bytes enable = StreamEnable(kAddress, 0x30);
  const Bytes disable = StreamDisable(kAddress, 0x30);
  RoundTrip(*twice, enable);
  RoundTrip(*twice, enable);
  RoundTrip(*disabling, enable);
  RoundTrip(*disabling, disable);                                // the module hears it; the client stays enrolled
  RoundTrip(*bystander, {kStream, 0x81, 0x20, kAddress, 0x30});  // not the enabling form

  RoundTrip(*bystander, {kEmit, 3, 7});
  ASSERT_TRUE(served->module().waitUntil([](const SimRecord& r) { return !r.packets.empty(); }, 1s));
  EXPECT_TRUE(twice->receiveUntilQuiet(kQuietMs).empty()) << "a batch waits for the next heartbeat";
  served->module().sendHeartbeat(qfsim::HeartbeatKind::up);

  Bytes batch;
  for (uint8_t i = 0; i < 3; ++i) {
    const Bytes record = PacketFrame(kAddress, StreamPacket(i, 7));
    batch.insert(batch.end(), record.begin(), record.end());
  }
  for (WireClient* subscriber : {twice.get(), disabling.get()}) {
    EXPECT_EQ(subscriber->receive(kReplyMs), batch);
    EXPECT_TRUE(subscriber->receiveUntilQuiet(kQuietMs).empty());
  }
  EXPECT_TRUE(bystander->receiveUntilQuiet(kQuietMs).empty());
  RoundTrip(*bystander, {kEcho, 0x55});  // the stream packets never entered the reply path
  EXPECT_TRUE(served->module().waitUntil(
      [](const SimRecord& r) { return !r.heartbeatAnswers.empty() && r.heartbeatAnswers.back().ok; }, 3s))
      << "the heartbeat still goes on to the link's answer";
}

TEST_F(ServerPooling, HeavyStreamingIsSentInBatchesOfAtMost4095Bytes) {
  auto subscriber = Client();
  RoundTrip(*subscriber, StreamEnable(kAddress, 0x30));
  const Bytes emit = {kEmit, 150, 28};
  ASSERT_TRUE(subscriber->send(kAddress, emit));
  Bytes all;
  for (uint8_t i = 0; i < 150; ++i) {
    const Bytes record = PacketFrame(kAddress, StreamPacket(i, 28));
    all.insert(all.end(), record.begin(), record.end());
  }
  // The reply and the first full batch travel different paths, so either may arrive first.
  std::optional<Bytes> first = subscriber->receive(kReplyMs);
  std::optional<Bytes> second = subscriber->receive(kReplyMs);
  ASSERT_TRUE(first.has_value() && second.has_value()) << "a full batch goes without waiting for a heartbeat";
  if (*first == PacketFrame(kAddress, emit)) std::swap(first, second);
  EXPECT_EQ(*second, PacketFrame(kAddress, emit));
  EXPECT_GT(first->size(), 4065u);
  EXPECT_LE(first->size(), 4095u);
  served->module().sendHeartbeat(qfsim::HeartbeatKind::up);
  std::optional<Bytes> rest = subscriber->receive(kReplyMs);
  ASSERT_TRUE(rest.has_value());
  first->insert(first->end(), rest->begin(), rest->end());
  EXPECT_EQ(*first, all);
}

}  // namespace
