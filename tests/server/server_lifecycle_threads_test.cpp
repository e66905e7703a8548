// The link sharing server's handle: what creation refuses, what the start fixes, and that the
// stop (directly or with the device link) leaves no thread and no filter behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <dirent.h>
#include <signal.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aStream_ZeroMQClient.h"
#include "sim/module/simModule.h"
#include "support/eventually.h"
#include "support/loopback_tcp.h"
#include "support/pipe_transport.h"
#include "support/private_network.h"
#include "support/raw_peer.h"
#include "support/served_module.h"
#include "support/stream_io.h"
#include "support/zmq_wire_client.h"

// The servers hold loopback discovery slots, which are fixed ports.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qftest::ServedModule;
using qftest::ServerOptions;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
  }
  return count;
}

std::vector<pid_t> ThreadIds() {
  std::vector<pid_t> ids;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
    closedir(tasks);
  }
  return ids;
}

// The thread count once it has come down to `expected` (detached threads may take a moment to
// leave after their last signal), or the last count seen after a second.
size_t ThreadCountSettlingAt(size_t expected) {
  size_t count = 0;
  qftest::Eventually([&] { return (count = ThreadCount()) == expected; }, 1000ms);
  return count;
}

bool ConsumeNothing(const aPacket*, void*) { return false; }

// The TCP ports on which sockets of this process listen: what any local process can connect to.
std::set<uint16_t> ListeningPortsOfThisProcess() {
  std::set<unsigned long> ownSockets;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(fds)) {
      char target[64] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      unsigned long inode = 0;
      if (readlink(path.c_str(), target, sizeof target - 1) > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1)
        ownSockets.insert(inode);
    }
    closedir(fds);
  }
  std::set<uint16_t> ports;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && ownSockets.count(inode))
        ports.insert(static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
    }
  }
  return ports;
}

// The messaging library's wire, spoken by hand: the greeting of a peer without security, then its
// READY command naming its socket type.
qftest::Bytes WireGreeting(const std::string& socketType) {
  qftest::Bytes bytes{0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, 3, 0};
  const std::string mechanism = "NULL";
  bytes.insert(bytes.end(), mechanism.begin(), mechanism.end());
  bytes.resize(64, 0);  // mechanism padding, the as-server byte and the filler
  qftest::Bytes ready{5, 'R', 'E', 'A', 'D', 'Y', 11};
  const std::string name = "Socket-Type";
  ready.insert(ready.end(), name.begin(), name.end());
  ready.insert(ready.end(), {0, 0, 0, uint8_t(socketType.size())});
  ready.insert(ready.end(), socketType.begin(), socketType.end());
  bytes.push_back(0x04);  // a short command
  bytes.push_back(uint8_t(ready.size()));
  bytes.insert(bytes.end(), ready.begin(), ready.end());
  return bytes;
}

// The header of one long message frame of the given size; its body never comes.
qftest::Bytes HugeFrameHeader(uint64_t size) {
  qftest::Bytes bytes{0x02};
  for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(uint8_t(size >> shift));
  return bytes;
}

}  // namespace

TEST(ServerHandle, OperationsWithoutAHandleOrAnOutputAreRefused) {
  aServer* none = nullptr;
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  EXPECT_EQ(aServer_Start(nullptr), aErrParam);
  EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aServer_Destroy(&none), aErrParam);
  EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
  EXPECT_EQ(aServer_GetInterface(nullptr, &networkInterface), aErrParam);
  EXPECT_EQ(aServer_SetModuleAddress(nullptr, 2), aErrParam);
  EXPECT_EQ(aServer_SetModel(nullptr, 4), aErrParam);
  EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);

  qftest::PipeTransport transport;
  aLinkID streamLink = aLink_Create(transport.MakeStream());
  ASSERT_NE(streamLink, 0u);
  EXPECT_EQ(aServer_Create(0, 0, 1), nullptr);
  EXPECT_EQ(aServer_Create(0xFFFFFF, 0, 1), nullptr) << "no such link";
  EXPECT_EQ(aServer_Create(streamLink, 0, 1), nullptr) << "only USB, TCP/IP and serial links are served";
  aLink_Destroy(&streamLink);
}

TEST(ServerHandle, ACreatedServerHoldsNothingAndLeavesTheLinksFilterAlone) {
  qfsim::SimModule module({});
  ASSERT_TRUE(module.start());
  aLinkID link = qftest::RegisterTcpDeviceLink(module.port(), module.serialNumber());
  ASSERT_NE(link, 0u);
  ASSERT_EQ(aLink_InstallUserPacketFilter(link, ConsumeNothing, nullptr), aErrNone);

  struct Case {
    uint32_t asked;
    uint32_t reported;
  };
  for (const Case& c : {Case{0, kLoopback}, Case{kLoopback, kLoopback}, Case{0x0100070A, 0x0100070A}}) {
    aServer* server = aServer_Create(link, c.asked, 1);
    ASSERT_NE(server, nullptr);
    uint16_t port = 1;
    uint32_t networkInterface = 0;
    EXPECT_EQ(aServer_GetPort(server, &port), aErrNone);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(aServer_GetInterface(server, &networkInterface), aErrNone);
    EXPECT_EQ(networkInterface, c.reported);
    EXPECT_EQ(aServer_GetPort(server, nullptr), aErrParam);
    EXPECT_EQ(aServer_GetInterface(server, nullptr), aErrParam);
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
  }
  EXPECT_EQ(aLink_Lookup(link)->userFilter, ConsumeNothing) << "a server that never started took the filter away";
  aLink_Destroy(&link);
  module.stop();
}

TEST(ServerHandle, AStartedServerServesLoopbackOnlyAndASecondStartChangesNothing) {
  // Asked for an interface this host lacks, a local-only server still serves, on loopback.
  ServedModule served({}, ServerOptions{1, 0x0100070A, 0});
  std::string why;
  ASSERT_TRUE(served.start(&why)) << why;
  uint32_t networkInterface = 0;
  ASSERT_EQ(aServer_GetInterface(served.server(), &networkInterface), aErrNone);
  EXPECT_EQ(networkInterface, kLoopback) << "clients must be told the interface actually served";
  EXPECT_EQ(aServer_Create(served.link(), 0, 1), nullptr) << "a served link gets no second server";
  const uint16_t port = served.port();
  EXPECT_NE(port, 0);
  EXPECT_EQ(aServer_Start(served.server()), aErrNone);
  EXPECT_EQ(served.port(), port);

  served.module().setHandler(0x10, qftest::EchoHandler());
  qftest::WireClient client(port);
  ASSERT_TRUE(client.send(served.module().address(), {0x10, 0x42}));
  EXPECT_EQ(client.receive(3000), (std::vector<uint8_t>{served.module().address(), 2, 0x10, 0x42}));
}

TEST(ServerHandle, OtherProcessesCanConnectToTheFrontendAlone) {
  // The server's inner pairs and a client stream's forwarding pairs carry nothing a peer relies
  // on: a process that could connect to one could take requests or forge replies.
  ServedModule served;
  std::string why;
  ASSERT_TRUE(served.start(&why)) << why;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(kLoopback, served.port(), &stream), aErrNone);
  EXPECT_EQ(ListeningPortsOfThisProcess(), (std::set<uint16_t>{served.port(), served.module().port()}));
  aStream_Destroy(&stream);
}

TEST(ServerHandle, APeerAnnouncingAFrameLargerThanAnyPacketOrBatchIsCutOffAtOnce) {
  // Without a bound the receiving side would set 256 MB aside and wait for all of it.
  constexpr uint64_t kAnnounced = uint64_t(256) << 20;
  ServedModule served;
  std::string why;
  ASSERT_TRUE(served.start(&why)) << why;
  qftest::LoopbackListener fakeServer;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(kLoopback, fakeServer.port(), &stream), aErrNone);
  struct Case {
    const char* name;
    std::function<qftest::RawPeer()> connect;
    const char* peerType;
  };
  const std::vector<Case> cases = {
      {"a client of the server's frontend", [&] { return qftest::RawPeer::tcp(served.port()); }, "DEALER"},
      {"a server that a client stream reached", [&] { return fakeServer.accept(); }, "ROUTER"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qftest::RawPeer peer = c.connect();
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.send(WireGreeting(c.peerType)));
    ASSERT_TRUE(peer.send(HugeFrameHeader(kAnnounced)));
    EXPECT_TRUE(peer.closedWithin(2s));
  }
  aStream_Destroy(&stream);
  // The server still serves.
  served.module().setHandler(0x10, qftest::EchoHandler());
  qftest::WireClient client(served.port());
  ASSERT_TRUE(client.send(served.module().address(), {0x10, 0x43}));
  EXPECT_EQ(client.receive(3000), (std::vector<uint8_t>{served.module().address(), 2, 0x10, 0x43}));
}

TEST(ServerHandle, StoppingLeavesNoThreadAndNoFilterEvenWithARequestInFlight) {
  {  // The messaging library's own threads stay for the life of the process: let them start.
    ServedModule warmUp;
    ASSERT_TRUE(warmUp.start(nullptr));
  }
  const size_t before = ThreadCount();
  {
    ServedModule served;
    ASSERT_TRUE(served.start(nullptr));
    qftest::WireClient client(served.port());
    ASSERT_TRUE(client.send(served.module().address(), {0x13}));  // never answered
    ASSERT_TRUE(served.module().waitUntil([](const qfsim::SimRecord& r) { return !r.packets.empty(); }, 3s));
    aServer* server = served.server();
    sLookupEntryByID(served.link())->server = nullptr;  // stopped here, not with the link
    const auto start = Clock::now();
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_LT(Clock::now() - start, 3500ms);
    EXPECT_EQ(aLink_Lookup(served.link())->userFilter, nullptr);
  }
  EXPECT_EQ(ThreadCountSettlingAt(before), before);

  {
    ServedModule served;
    ASSERT_TRUE(served.start(nullptr));
    served.destroyLink();  // the device link takes its server with it
  }
  EXPECT_EQ(ThreadCountSettlingAt(before), before);
}

TEST(ServerHandle, AfterAnInterruptTheThreadsEndAndTheStopStillCompletes) {
  ServedModule served;
  ASSERT_TRUE(served.start(nullptr));
  aServer* server = served.server();
  sLookupEntryByID(served.link())->server = nullptr;
  zsys_interrupted = 1;  // as the messaging library's own handler sets it on Ctrl+C
  // The time under test: every thread notices the interrupt within one poll or receive and ends
  // on its own, so that the stop below finds nothing left to wait for.
  std::this_thread::sleep_for(2500ms);
  const auto start = Clock::now();
  EXPECT_EQ(aServer_Destroy(&server), aErrNone);
  zsys_interrupted = 0;
  EXPECT_LT(Clock::now() - start, 500ms) << "the threads had ended already";
}

TEST(ServerHandle, SignalsTheProcessHandlesEndNeitherTheServerNorAClientStream) {
  // Every wait of the server's and the stream's threads is interrupted now and then by a signal
  // that the process handles (and does not restart): an interrupted wait is no end.
  struct sigaction handled {};
  handled.sa_handler = [](int) {};
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &handled, &previous), 0);
  ServedModule served;
  ASSERT_TRUE(served.start(nullptr));
  served.module().setHandler(0x10, qftest::EchoHandler());
  qftest::StreamHandle stream;
  ASSERT_EQ(aStream_CreateClient(kLoopback, served.port(), &stream.stream), aErrNone);
  const uint8_t address = served.module().address();
  // Every thread of the process, each many times (the messaging library's own threads block
  // the signal).
  for (int round = 0; round < 200; ++round) {
    for (const pid_t thread : ThreadIds())
      if (thread != gettid()) tgkill(getpid(), thread, SIGUSR1);
    std::this_thread::sleep_for(5ms);
  }
  qftest::WireClient client(served.port());
  ASSERT_TRUE(client.send(address, {0x10, 0x44}));
  EXPECT_EQ(client.receive(3000), (std::vector<uint8_t>{address, 2, 0x10, 0x44}));
  const std::vector<uint8_t> request{address, 2, 0x10, 0x45};
  ASSERT_EQ(qftest::WriteToStream(stream.stream, request), aErrNone);
  EXPECT_EQ(qftest::ReadFromStream(stream.stream, request.size(), 3000).bytes, request);
  aStream_Destroy(&stream.stream);
  sigaction(SIGUSR1, &previous, nullptr);
}
