// A module at the far end of a real TCP link on loopback, whose every reply is read from the
// fuzz input as the requests come: the harness connects a Module to it under direct control (the
// real link engine, reader and writer threads, the object layer's waits) and calls the object
// layer, which sends requests; this module's thread answers each one. It knows the protocol only
// as far as it must so that every request gets one reply the caller's wait takes (the right
// header), so no wait ever runs into its time-out; everything after the header, whether a reply
// is an error, whether a byte value goes on, and junk packets sent before the reply, come from
// the input. Once the input is used up, every request gets a bare header.
//
// A reply record in the input: [control][count][count bytes], control bits:
//   0  a junk packet first: [address][length][bytes] from the input (it never matches a wait)
//   1  the error flag of the reply (entity replies: the index's error bit; store and factory:
//      bit 7 of the operation)
//   2  a byte-value chunk (entity replies): the chunk's sequence byte follows the bytes
//      (numbered by the module)
//   3  with bit 2: more chunks follow, each from a record of its own
//   4  the module's own right answer, where the harness has one (FakeModule::rightAnswer); the
//      record's bytes are then unused
// The bytes are cut to what fits in a packet after the header.
//
// Header-only and for the fuzz targets alone; the module's protocol knowledge is its own, never
// the library's.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "api/Module.h"
#include "common/aLink.h"
#include "common/internal/aLinkRegistry.h"
#include "fuzz/loopback_listener.h"

namespace fuzzmodule {

inline void require(bool condition) {
  if (!condition) std::abort();
}

using Bytes = std::vector<uint8_t>;

// The number `count` bytes of `data` from `at` make, most significant first; bytes past the end
// count as 0.
inline uint32_t bigEndian(const Bytes& data, size_t at, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | (at + i < data.size() ? data[at + i] : 0);
  return value;
}

// A packet as the module sees it: [address][data...].
struct Packet {
  uint8_t address = 0;
  Bytes data;
  uint8_t at(size_t i) const { return i < data.size() ? data[i] : 0; }
};

// One request and the replies the module made for it (junk apart), in the order sent.
struct Exchange {
  Packet request;
  std::vector<Packet> replies;
  std::vector<uint8_t> controls;  // the record's control byte of each reply
};

// The protocol facts the module keeps (values of the module's own firmware interface).
constexpr uint8_t kModuleAddress = 0x06;
constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kRoute = 0xAF;
constexpr uint8_t kInfo = 0x49, kEcho = 0x17, kSlot = 4, kFactory = 0x5E, kUpgrade = 0x5F, kI2C = 8;
constexpr uint8_t kBarrier = 0x7F;  // the harness's own request between operations: echoed
constexpr uint8_t kGet = 0x40, kSet = 0x80, kAck = 0xC0, kOptionMask = 0x3F;
constexpr uint8_t kIndexRequest = 0x20, kIndexError = 0x80, kIndexMask = 0x1F;
constexpr uint8_t kChunkGoesOn = 0x80, kSequenceMask = 0x7F;
constexpr size_t kMaxData = 28;

enum Control : uint8_t { kJunk = 1, kError = 2, kChunk = 4, kMore = 8, kRight = 16 };

// The fuzz input, shared by the harness (which reads its operations from it) and the module's
// thread (which reads its replies): they take turns, as a caller waits while the module answers.
class Script {
 public:
  void reset(const uint8_t* data, size_t size) {
    std::lock_guard hold(mutex);
    bytes = data;
    left = size;
  }
  uint8_t take() {
    std::lock_guard hold(mutex);
    if (!left) return 0;
    --left;
    return *bytes++;
  }
  Bytes take(size_t count) {
    Bytes taken;
    for (size_t i = 0; i < count; ++i) taken.push_back(take());
    return taken;
  }
  bool empty() {
    std::lock_guard hold(mutex);
    return left == 0;
  }

 private:
  std::mutex mutex;
  const uint8_t* bytes = nullptr;
  size_t left = 0;
};

// An entity request [class][option | get or set][index | request]...; the commands with
// options of their own are none.
inline bool isEntityRequest(const Packet& request) {
  const uint8_t command = request.at(0), kind = request.at(1) & kAck;
  if (command == kInfo || command == kEcho || command == kBarrier || command == kSlot || command == kFactory)
    return false;
  return request.data.size() >= 3 && (request.at(2) & kIndexRequest) && (kind == kGet || kind == kSet);
}

// The header of the reply that answers a request, or none for a request that gets no reply.
inline std::optional<Bytes> replyHeader(const Packet& request) {
  const Bytes& d = request.data;
  if (request.address == kRoute) return std::nullopt;
  if (d.size() == 2 && d[0] == 0) return std::nullopt;  // the link's answer to a heartbeat
  if (d.empty()) return Bytes{};                        // the address query
  switch (d[0]) {
    case kInfo:
      if (request.at(1) == 1) return Bytes(d.begin(), d.begin() + std::min<size_t>(d.size(), 5));  // has-entity
      return d;  // the whole request, then the answer
    case kEcho:
    case kBarrier:
      return d;
    case kSlot:
      return Bytes(d.begin(), d.begin() + std::min<size_t>(d.size(), request.at(1) <= 4 ? 4 : 3));
    case kFactory:
      return Bytes{kFactory, static_cast<uint8_t>(request.at(1) == 0x20 ? 0 : request.at(1) & 0x0F)};
    case kUpgrade:
      if (request.at(1) < kGet) {
        if (request.at(1) == 6) return std::nullopt;  // reboot
        const uint8_t option = request.at(1);
        return Bytes{kUpgrade, static_cast<uint8_t>(option >= 3 && option <= 5 ? 7 : option)};
      }
      break;
    case kI2C:
      if (request.at(1) < kGet) {
        if (request.at(2) & 1) return Bytes(d.begin(), d.begin() + std::min<size_t>(d.size(), 3));
        return Bytes{kI2C, request.at(1), request.at(2), 0};
      }
      break;
    default:
      break;
  }
  const uint8_t kind = request.at(1) & kAck;
  if (isEntityRequest(request)) {
    const uint8_t option = static_cast<uint8_t>((request.at(1) & kOptionMask) | (kind == kSet ? kAck : 0));
    return Bytes{d[0], option, static_cast<uint8_t>(request.at(2) & kIndexMask)};
  }
  return Bytes(d.begin(), d.begin() + std::min<size_t>(d.size(), 1));
}

// The module. One per fuzz program; the Module connected to it lives as long.
class FakeModule {
 public:
  // The harness's own right answer to a request (control bit 4), or none.
  using RightAnswer = std::function<std::optional<Packet>(const Packet& request)>;
  // Whether the module waits for more request packets before it replies (a byte value's set
  // arrives in several): the harness's rule; by default every request is answered.
  using Holds = std::function<bool(const Packet& request)>;

  FakeModule() {
    listener = listenOnLoopback(4, port);
    thread = std::thread([this] { serve(); });
  }
  ~FakeModule() {
    shutdown(listener, SHUT_RDWR);
    {
      std::lock_guard hold(mutex);
      stopping = true;
      if (peer >= 0) shutdown(peer, SHUT_RDWR);
    }
    thread.join();
    close(listener);
  }
  FakeModule(const FakeModule&) = delete;
  FakeModule& operator=(const FakeModule&) = delete;

  linkSpec spec(uint32_t serialNumber) const {
    linkSpec found{};
    found.type = TCPIP;
    found.serialNumber = serialNumber;
    found.ipAddress = htonl(INADDR_LOOPBACK);
    found.port = port;
    return found;
  }

  // Every exchange since the last takeLog, which it leaves in place (for a right answer that
  // depends on what went before).
  std::vector<Exchange> peekLog() {
    std::lock_guard hold(mutex);
    return log;
  }

  // Every exchange since the last call.
  std::vector<Exchange> takeLog() {
    std::lock_guard hold(mutex);
    std::vector<Exchange> taken;
    taken.swap(log);
    return taken;
  }

  Script script;
  // Set by the harness while its caller reads a byte value: whose reply is always a chunk (the
  // caller waits for the numbered chunk a plain reply could never be).
  std::atomic<bool> byteValues{false};
  RightAnswer rightAnswer;
  Holds holds;

 private:
  void serve() {
    for (;;) {
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) return;
      {
        std::lock_guard hold(mutex);
        if (stopping) {
          close(connection);
          return;
        }
        peer = connection;
      }
      const int on = 1;
      setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      talk(connection);
      std::lock_guard hold(mutex);
      peer = -1;
      close(connection);
    }
  }

  // Reads the host's frames (always whole and well formed: the link's writer makes them) and
  // answers each one.
  void talk(int connection) {
    Bytes pending;
    uint8_t buffer[4096];
    for (;;) {
      const ssize_t got = read(connection, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      pending.insert(pending.end(), buffer, buffer + got);
      size_t used = 0;
      while (pending.size() - used >= 2 && pending.size() - used >= size_t(2) + pending[used + 1]) {
        Packet request{pending[used],
                       Bytes(pending.begin() + used + 2, pending.begin() + used + 2 + pending[used + 1])};
        used += 2 + pending[used + 1];
        const Bytes answer = respond(request);
        if (!answer.empty() && !sendAll(connection, answer)) return;
      }
      pending.erase(pending.begin(), pending.begin() + used);
    }
  }

  static bool sendAll(int connection, const Bytes& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t put = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      sent += size_t(put);
    }
    return true;
  }

  static void appendFrame(Bytes* wire, const Packet& packet) {
    wire->push_back(packet.address);
    wire->push_back(static_cast<uint8_t>(packet.data.size()));
    wire->insert(wire->end(), packet.data.begin(), packet.data.end());
  }

  // A junk packet that no wait takes: it never begins with the request's command byte nor with
  // the barrier's, and never comes from an odd address.
  Packet junk(const Packet& request) {
    Packet packet;
    packet.address = static_cast<uint8_t>(script.take() & 0xFE);
    if (packet.address == 0) packet.address = 0x02;
    packet.data = script.take(std::min<size_t>(script.take(), kMaxData));
    if (!packet.data.empty() && (packet.data[0] == request.at(0) || packet.data[0] == kBarrier)) packet.data[0] ^= 0x80;
    if (!packet.data.empty() && (packet.data[0] == request.at(0) || packet.data[0] == kBarrier)) packet.data[0] ^= 0x40;
    if (packet.data.empty() && request.data.empty()) packet.data.push_back(0x01);
    return packet;
  }

  // One reply from a record.
  Packet reply(const Packet& request, const Bytes& header, uint8_t control, uint8_t sequence) {
    Packet packet{request.address == kAddressQuery ? kModuleAddress : request.address, header};
    if (request.data.empty()) {
      // The address query's answer: any even address the input names.
      const uint8_t named = static_cast<uint8_t>(script.take() & 0xFE);
      if (named) packet.address = named;
      return packet;
    }
    // Only entity values come in chunks; every reply is a chunk while the caller reads a byte value.
    const bool chunk = ((control & kChunk) || byteValues) && isEntityRequest(request);
    const size_t room = kMaxData - std::min(kMaxData, header.size() + (chunk ? 1 : 0));
    const size_t count = std::min<size_t>(script.take(), room);
    const Bytes tail = script.take(count);
    packet.data.insert(packet.data.end(), tail.begin(), tail.end());
    if (control & kError) {
      if (isEntityRequest(request)) packet.data[2] |= kIndexError;
      else if (header[0] == kSlot || header[0] == kFactory) packet.data[1] |= kIndexError;
    }
    if (chunk)
      packet.data.push_back(static_cast<uint8_t>((sequence & kSequenceMask) | (control & kMore ? kChunkGoesOn : 0)));
    if (header[0] == kSlot && packet.data.size() < 4) packet.data.resize(4);  // shorter is no slot reply
    return packet;
  }

  Bytes respond(const Packet& request) {
    const std::optional<Bytes> header = replyHeader(request);
    if (!header) return {};
    if (request.at(0) == kBarrier) {
      Bytes wire;
      appendFrame(&wire, request);
      std::lock_guard hold(mutex);
      log.push_back(Exchange{request, {request}, {0}});
      return wire;
    }
    if (holds && holds(request)) {
      std::lock_guard hold(mutex);
      log.push_back(Exchange{request, {}, {}});
      return {};
    }
    Exchange exchange{request, {}, {}};
    Bytes wire;
    for (uint8_t sequence = 0;; ++sequence) {
      const uint8_t control = script.take();
      if (control & kJunk) appendFrame(&wire, junk(request));
      std::optional<Packet> right;
      if ((control & kRight) && rightAnswer) right = rightAnswer(request);
      if (right) script.take(script.take());  // the record's bytes go unused
      const Packet packet = right ? *right : reply(request, *header, control, sequence);
      appendFrame(&wire, packet);
      exchange.replies.push_back(packet);
      exchange.controls.push_back(control);
      // A byte value goes on while its chunks say so; the last chunk of a used-up input ends it.
      const bool chunk = ((control & kChunk) || byteValues) && isEntityRequest(request);
      if (right || !chunk || !(control & kMore) || sequence == kSequenceMask) break;
    }
    std::lock_guard hold(mutex);
    log.push_back(std::move(exchange));
    return wire;
  }

  int listener = -1;
  uint16_t port = 0;
  std::thread thread;
  std::mutex mutex;
  bool stopping = false;
  int peer = -1;
  std::vector<Exchange> log;
};

// A Module connected to the fake module under direct control (networking off), and the barrier
// that ends every operation: an echoed request after which nothing the module sent is still on
// its way, and the inbound queue is emptied.
class Host {
 public:
  explicit Host(uint32_t serialNumber) : serial(serialNumber), module(kModuleAddress, false, 0) {
    Tarnwick::Quillfern::OrvaneConfig direct;
    direct.enabled = 0;
    direct.fallback = 0;
    direct.localOnly = 1;
    require(module.setConfig(direct) == aErrNone && module.connectFromSpec(fake.spec(serialNumber)) == aErrNone);
    const aLinkEntry* entry = sLookupEntryByIdentifier(serialNumber, TCPIP);
    require(entry != nullptr);
    linkId = entry->id;
  }
  ~Host() { module.disconnect(); }

  // Starts an input on the connected module: the script, an empty log; the script to read.
  Script& begin(const uint8_t* data, size_t size) {
    require(module.isConnected());
    fake.script.reset(data, size);
    fake.takeLog();
    return fake.script;
  }

  // The exchanges of one operation, once everything the module sent for it has arrived.
  std::vector<Exchange> settle() {
    uint8_t mark[1] = {++barrier};
    uint8_t length = 2;
    uint8_t match[2] = {kBarrier, mark[0]};
    uint8_t buffer[kMaxData];
    Tarnwick::Quillfern::Link* link = module.getLink();
    const aErr sent = link ? link->sendPacket(kModuleAddress, kBarrier, 1, mark) : aErrConnection;
    const aErr received = sent == aErrNone ? link->receivePacket(kModuleAddress, match, &length, buffer) : sent;
    aLink_DrainPackets(linkId, drainAll, nullptr);
    std::vector<Exchange> exchanges = fake.takeLog();
    // A failed barrier says what came instead, for the crash report.
    if ((received != aErrNone || exchanges.empty() || exchanges.back().request.at(0) != kBarrier)) {
      fprintf(stderr, "barrier: sent %d received %d status %d\n", sent, received, link ? int(link->getStatus()) : -1);
      for (const Exchange& e : exchanges) {
        fprintf(stderr, "req %02x:", e.request.address);
        for (auto b : e.request.data) fprintf(stderr, " %02x", b);
        fprintf(stderr, " replies %zu\n", e.replies.size());
      }
    }
    require(received == aErrNone && !exchanges.empty() && exchanges.back().request.at(0) == kBarrier);
    exchanges.pop_back();
    return exchanges;
  }

  FakeModule fake;
  uint32_t serial;
  Tarnwick::Quillfern::Module module;
  aLinkID linkId = 0;
  uint8_t barrier = 0;
};

// The names a harness of the fake module talks in, for the harness's `using namespace`.
namespace harness_terms {
using fuzzmodule::bigEndian;
using fuzzmodule::Bytes;
using fuzzmodule::Exchange;
using fuzzmodule::Packet;
using fuzzmodule::require;
}  // namespace harness_terms

}  // namespace fuzzmodule
