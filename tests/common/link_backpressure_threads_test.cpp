// A link over TCP to a module that reads slower than the host queues: everything queued arrives,
// in order, however far the writer falls behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "support/loopback_tcp.h"
#include "support/test_packets.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qftest::Bytes;
using qftest::LoopbackListener;
using qftest::RawPeer;

constexpr uint8_t kModule = 0x04;
constexpr uint8_t kRouteAddress = 0xAF;
constexpr size_t kChunk = aPACKET_MAX_DATA;

// A module busy with something else first (it takes nothing for a while, long enough for the
// socket's buffers to fill and the writer to fall far behind), then reading in small bites with
// pauses, as a module with a small input buffer does, until `wanted` payload bytes for the
// module arrived or the time is up; frames to the route address are skipped. The payload bytes
// in arrival order.
Bytes _readSlowly(RawPeer& peer, size_t wanted, std::chrono::seconds limit) {
  std::this_thread::sleep_for(300ms);  // the module's own pace, not a synchronisation
  Bytes stream, payload;
  size_t at = 0;
  for (const auto until = Clock::now() + limit; payload.size() < wanted && Clock::now() < until;) {
    const Bytes bite = peer.receive(512, 100ms);
    stream.insert(stream.end(), bite.begin(), bite.end());
    while (stream.size() - at >= 2 && stream.size() - at >= size_t(2) + stream[at + 1]) {
      if (stream[at] == kModule)
        payload.insert(payload.end(), stream.begin() + at + 2, stream.begin() + at + 2 + stream[at + 1]);
      at += 2 + stream[at + 1];
    }
    std::this_thread::sleep_for(1ms);  // the module's pace, not a synchronisation
  }
  return payload;
}

}  // namespace

TEST(LinkBackPressure, AByteArrayQueuedAtOnceArrivesWholeAtASlowModule) {
  LoopbackListener listener(/*receiveBuffer=*/2048);
  aLinkID id = aLink_CreateTCPIP(0x5B01, LoopbackListener::address(), listener.port());
  ASSERT_NE(id, 0u);
  RawPeer module = listener.accept();
  ASSERT_TRUE(module.valid());

  Bytes array(64 * 1024);
  for (size_t i = 0; i < array.size(); ++i) array[i] = uint8_t(i * 7 + i / 251);
  auto queued = std::async(std::launch::async, [&]() -> aErr {
    for (size_t at = 0; at < array.size(); at += kChunk) {
      const std::vector<uint8_t> chunk(array.begin() + at, array.begin() + std::min(array.size(), at + kChunk));
      const aErr put = aLink_PutPacket(id, MakePacket(kModule, chunk).get());
      if (put != aErrNone) return put;
    }
    return aErrNone;
  });
  const Bytes arrived = _readSlowly(module, array.size(), 10s);
  ASSERT_EQ(queued.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(queued.get(), aErrNone) << "every put was taken";
  EXPECT_EQ(arrived.size(), array.size());
  EXPECT_TRUE(arrived == array) << "the bytes arrived in order";
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}
