// A link's operations by id racing the last destroy of the same link: each must find the link
// whole or not at all, never a record being freed (ASan and TSan watch this program).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aPacketLog.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "support/eventually.h"
#include "support/loopback_tcp.h"
#include "support/test_packets.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qftest::LoopbackListener;
using qftest::RawPeer;

// Accepts every connection the links make (each reset makes a new one) and keeps it open
// without reading, until the acceptor goes.
class Acceptor {
 public:
  Acceptor() : _thread([this] { run(); }) {}
  ~Acceptor() {
    _running = false;
    _thread.join();
  }
  uint16_t port() const { return _listener.port(); }

 private:
  void run() {
    std::vector<RawPeer> peers;
    while (_running) {
      RawPeer peer = _listener.accept(20ms);
      if (peer.valid()) peers.push_back(std::move(peer));
    }
  }
  LoopbackListener _listener;
  std::atomic<bool> _running{true};
  std::thread _thread;
};

uint8_t _acceptNothing(const aPacket*, const void*) { return 0; }
bool _consumeNothing(const aPacket*, void*) { return false; }

// The operations other threads run on the id until the link is gone: every kind of call by id.
using Operation = std::function<void(aLinkID)>;

const std::vector<Operation>& _operations() {
  static const std::vector<Operation> operations = {
      [](aLinkID id) {
        const OwnedPacket packet = MakeTagged(0x11);
        aLink_PutPacket(id, packet.get());
        aLink_GetStatus(id);
      },
      [](aLinkID id) {
        OwnedPacket(aLink_AwaitFirst(id, _acceptNothing, nullptr, 3));
        OwnedPacket(aLink_AwaitPacket(id, 2));
        OwnedPacket(aLink_GetFirst(id, drainAll, nullptr));
        aLink_DrainPackets(id, drainAll, nullptr);
      },
      [](aLinkID id) { aLink_Reset(id); },
      [](aLinkID id) {
        aLink_InstallUserPacketFilter(id, _consumeNothing, nullptr);
        aLink_EnablePooledPackets(id, true);
        aLink_PacketDebug_Enable(id);
        const uint8_t bytes[2] = {0x02, 0x00};
        aLink_PacketDebug_Write(id, aPACKETLOG_SENT, sizeof bytes, bytes);
        aLink_ForceRoute(id, 1);
      },
  };
  return operations;
}

}  // namespace

TEST(LinkLifetime, OperationsRacingTheLastDestroyNeverMeetAFreedLink) {
  Acceptor acceptor;
  const auto until = Clock::now() + 3s;
  int rounds = 0;
  for (uint32_t serial = 0x7100; rounds < 40 && Clock::now() < until; ++serial, ++rounds) {
    aLinkID id = aLink_CreateTCPIP(serial, LoopbackListener::address(), acceptor.port());
    ASSERT_NE(id, 0u);
    std::atomic<bool> gone{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> users;
    for (const Operation& operation : _operations())
      users.emplace_back([&, operation] {
        while (!gone) {
          operation(id);
          ++calls;
        }
      });
    // The destroy lands at a different point of the others' work each round.
    const int wanted = calls + 1 + rounds % 7 * 3;
    EXPECT_TRUE(qftest::Eventually([&] { return calls >= wanted; }, 2s));
    aLinkID destroyed = id;
    EXPECT_EQ(aLink_Destroy(&destroyed), aErrNone);
    gone = true;
    for (std::thread& user : users) user.join();
    EXPECT_EQ(sLookupEntryByID(id), nullptr);
    EXPECT_EQ(aLink_GetStatus(id), INVALID_LINK_STREAM);
  }
  EXPECT_GE(rounds, 5);
}
