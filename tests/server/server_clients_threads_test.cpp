// What the link sharing server keeps for each client, and that it goes with the client: a
// module stream stays on while any client holds it, and every record of a client (its stream
// holds, its enrolment for batches, its half-written byte value, its own entry) is released
// when the client goes, whether its connection closes or, in this process, its stream says
// goodbye.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/aServer_internal.h"
#include "server/aStream_ZeroMQClient.h"
#include "sim/module/simModule.h"
#include "support/eventually.h"
#include "support/private_network.h"
#include "support/served_module_fixture.h"
#include "support/stream_io.h"
#include "support/zmq_wire_client.h"

// The servers hold loopback discovery slots, which are fixed ports.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using namespace std::chrono_literals;
using namespace qftest::served_terms;

constexpr uint8_t kAddress = 0x04;
constexpr uint8_t kEcho = 0x10;

Bytes Enable(uint8_t entity) { return StreamEnable(kAddress, entity); }
Bytes Disable(uint8_t entity) { return StreamDisable(kAddress, entity); }
// The module's acknowledgements: [0x5D][option | 0xC0][0x00].
const Bytes kEnabled = {kStream, 0xC1, 0x00};
const Bytes kDisabled = {kStream, 0xC2, 0x00};

size_t Count(const SimRecord& record, const Bytes& data) { return qftest::TimesReceived(record, kAddress, data); }

// A TCP relay on 127.0.0.1 to a port, whose connections the test can cut: each cut closes the
// connections it carries (both ends see them end); a client that connects again is relayed again.
class CuttableRelay {
 public:
  explicit CuttableRelay(uint16_t target) : target_(target) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~CuttableRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  uint16_t port() const { return port_; }
  void Cut() { ++cuts_; }
  size_t Accepted() const { return accepted_; }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }
  int ConnectToTarget() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(target_);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
  }
  static bool Pass(int from, int to) {
    char buffer[65536];
    const ssize_t got = read(from, buffer, sizeof buffer);
    for (ssize_t put = 0; got > 0 && put < got;) {
      const ssize_t n = write(to, buffer + put, size_t(got - put));
      if (n <= 0) return false;
      put += n;
    }
    return got > 0;
  }
  void Run() {
    std::vector<std::pair<int, int>> pairs;
    int cutsDone = 0;
    const auto closeAll = [&] {
      for (auto [a, b] : pairs) close(a), close(b);
      pairs.clear();
    };
    while (!stop_) {
      if (cuts_ != cutsDone) {
        closeAll();
        cutsDone = cuts_;
      }
      std::vector<pollfd> watched{{listener_, POLLIN, 0}};
      for (auto [a, b] : pairs) watched.push_back({a, POLLIN, 0}), watched.push_back({b, POLLIN, 0});
      if (poll(watched.data(), watched.size(), 20) <= 0) continue;
      std::vector<std::pair<int, int>> kept;
      for (size_t i = 0; i < pairs.size(); ++i) {
        const auto [a, b] = pairs[i];
        const bool ok = (!watched[1 + 2 * i].revents || Pass(a, b)) && (!watched[2 + 2 * i].revents || Pass(b, a));
        if (ok) kept.push_back(pairs[i]);
        else close(a), close(b);
      }
      pairs.swap(kept);
      if (watched[0].revents) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = client >= 0 ? ConnectToTarget() : -1;
        if (server >= 0) pairs.emplace_back(client, server), ++accepted_;
        else if (client >= 0) close(client);
      }
    }
    closeAll();
  }

  uint16_t target_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> cuts_{0};
  std::atomic<size_t> accepted_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ServerClients : public qftest::ServedModuleFixture {
 protected:
  ServerClients() : ServedModuleFixture(kAddress) {}

  void AddHandlers(qfsim::SimModule& module) override {
    module.setHandler(kEcho, qftest::EchoHandler());
    module.setHandler(kStream, [](SimContext& c, const SimPacket& p) {
      if (p.data.size() == 7) c.reply({c.state().address, {kStream, uint8_t((p.data[1] & 0x3F) | 0xC0), 0x00}});
    });
  }

  size_t Records() const { return aServerInternal::_clientRecordCount(served->server()); }
  bool RecordsComeTo(size_t count) const {
    return qftest::Eventually([&] { return Records() == count; }, 5s);
  }
  bool ModuleGetsDisables(uint8_t entity, size_t count) {
    return served->module().waitUntil([&](const SimRecord& r) { return Count(r, Disable(entity)) == count; }, 3s);
  }
};

TEST_F(ServerClients, AStreamStaysOnWhileAnyClientHoldsIt) {
  auto a = Client();
  auto b = Client();
  auto bystander = Client();
  Expect(*a, Enable(0x30), kEnabled);
  Expect(*b, Enable(0x30), kEnabled);
  // Answered by the server: the module keeps streaming for the other holder.
  Expect(*b, Disable(0x30), kDisabled);
  Expect(*bystander, Disable(0x30), kDisabled);
  Expect(*a, {kEcho, 0x01}, {kEcho, 0x01});  // whatever the module got came before this
  EXPECT_EQ(Count(served->module().record(), Disable(0x30)), 0u);
  // The last holder's disable reaches the module, and a stream nobody holds is the module's own.
  Expect(*a, Disable(0x30), kDisabled);
  Expect(*bystander, Disable(0x30), kDisabled);
  EXPECT_TRUE(ModuleGetsDisables(0x30, 2));
}

TEST_F(ServerClients, AClientThatGoesTakesItsStreamsWithItButNotAnotherClientsHold) {
  auto staying = Client();
  auto leaving = Client();
  Expect(*staying, Enable(0x30), kEnabled);
  Expect(*leaving, Enable(0x30), kEnabled);
  Expect(*leaving, Enable(0x31), kEnabled);
  const size_t before = Records();
  leaving.reset();
  ASSERT_TRUE(RecordsComeTo(before - 4)) << "its entry, its enrolment and its two holds";
  EXPECT_TRUE(ModuleGetsDisables(0x31, 1)) << "nobody else held this stream";
  Expect(*staying, {kEcho, 0x02}, {kEcho, 0x02});
  EXPECT_EQ(Count(served->module().record(), Disable(0x30)), 0u) << "another client still holds it";
  staying.reset();
  EXPECT_TRUE(ModuleGetsDisables(0x30, 1));
  EXPECT_TRUE(RecordsComeTo(0));
}

// A client stream whose connection is lost reconnects by itself; the server, which forgot the
// client with its connection (and turned off the stream nobody held any more), hears its enable
// again and holds the stream for it again. The module's acknowledgement of that enable stays in
// the stream: the next frame its reader gets is the answer to its next request.
TEST_F(ServerClients, AClientStreamThatReconnectsHoldsItsStreamsAgain) {
  CuttableRelay relay(served->port());
  ASSERT_NE(relay.port(), 0);
  qftest::StreamHandle client;
  ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), relay.port(), &client.stream), aErrNone);
  const Bytes enable = PacketFrame(kAddress, Enable(0x30));
  ASSERT_EQ(qftest::WriteToStream(client.stream, enable), aErrNone);
  ASSERT_EQ(qftest::ReadFromStream(client.stream, 5, kReplyMs).bytes, PacketFrame(kAddress, kEnabled));
  ASSERT_TRUE(RecordsComeTo(3)) << "its entry, its enrolment and its hold";

  relay.Cut();
  EXPECT_TRUE(ModuleGetsDisables(0x30, 1)) << "the server forgot the client and its hold";
  EXPECT_TRUE(served->module().waitUntil([&](const SimRecord& r) { return Count(r, Enable(0x30)) == 2; }, 5s))
      << "the reconnected stream enables its stream again";
  EXPECT_TRUE(RecordsComeTo(3)) << "held again, by the client's new connection";
  EXPECT_EQ(relay.Accepted(), 2u);

  ASSERT_EQ(qftest::WriteToStream(client.stream, PacketFrame(kAddress, {kEcho, 0x07})), aErrNone);
  EXPECT_EQ(qftest::ReadFromStream(client.stream, 4, kReplyMs).bytes, PacketFrame(kAddress, {kEcho, 0x07}));
}

TEST_F(ServerClients, EveryRecordOfEveryClientIsReleasedWhenItGoes) {
  constexpr int kClients = 30;
  // A byte value's first part: the client goes before its last part, leaving a pool behind.
  Bytes firstPart(28, 0x5A);
  firstPart[0] = 0x22;
  firstPart.back() = 0x80;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.push_back(Client());
      Expect(*clients.back(), Enable(uint8_t(0x40 + c)), kEnabled);
      ASSERT_TRUE(clients.back()->send(kAddress, firstPart));
    }
    // A client of this process, through its client stream, enabled a stream of its own.
    qftest::StreamHandle inProcess;
    ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), served->port(), &inProcess.stream), aErrNone);
    ASSERT_EQ(qftest::WriteToStream(inProcess.stream, PacketFrame(kAddress, Enable(0x3F))), aErrNone);
    const Bytes enabled = PacketFrame(kAddress, kEnabled);
    EXPECT_EQ(qftest::ReadFromStream(inProcess.stream, enabled.size(), kReplyMs).bytes, enabled);
    EXPECT_GE(Records(), size_t(kClients) * 4);

    clients.clear();
    aStream_Destroy(&inProcess.stream);
    EXPECT_TRUE(RecordsComeTo(0)) << Records() << " records left";
    EXPECT_TRUE(ModuleGetsDisables(0x3F, size_t(round + 1)));
    for (int c = 0; c < kClients; ++c) EXPECT_TRUE(ModuleGetsDisables(uint8_t(0x40 + c), size_t(round + 1)));
  }
}

}  // namespace
