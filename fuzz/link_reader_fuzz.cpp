// Feeds the bytes a module sends to the link engine's reader as they arrive: the reader's loop
// (sInPipeProcess) runs on the fuzzing thread over a stream that hands out the input a byte at a
// time, then now and again nothing (the reader waits), and ends the loop once the input is used
// up. Every byte from USB, TCP, serial and a served client passes this loop: packet assembly,
// loss of step and synchronisation, heartbeat answers, the user filter and the inbound queue.
//
// Checks, against the input itself: every packet queued inbound is a frame that stands whole in
// the input, after the one queued before it, from an even address; the user filter sees every
// packet before the queue and what it takes is never queued; whatever the reader queues outbound
// is either a synchronisation burst (empty packets to the address query) or the answer to a
// heartbeat that the input holds. And where the input is nothing but well-formed frames from even
// addresses (no heartbeats among them), the reader stays in step and queues every frame, in order.
//
// Input: [flags][bytes]; flags bit 0: the user filter takes packets of one data byte; bit 1: a
// quiet moment (nothing to read) after every 0x7E byte. At most 1998 bytes are fed, so the
// inbound queue (1000 packets) never overflows.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aDefs.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aStream.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "common/packetfifo.h"

namespace {

void _require(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kMaxFed = 1998;
constexpr uint8_t kQuietAfter = 0x7E;

// The stream's side of one input.
struct Feed {
  aLink* link = nullptr;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  size_t at = 0;
  bool quietMoments = false;
  bool quietDue = false;
  bool filterTakesSingles = false;
  std::vector<aPacket> filtered;  // what the user filter took
  size_t offered = 0;             // packets offered to the filter
};

Feed feed;

aErr _get(char* byte, void*) {
  if (feed.quietDue) {
    feed.quietDue = false;
    return aErrNotReady;
  }
  if (feed.at == feed.size) {
    feed.link->running = false;  // the loop ends after this wait
    return aErrNotReady;
  }
  *byte = static_cast<char>(feed.bytes[feed.at++]);
  feed.quietDue = feed.quietMoments && static_cast<uint8_t>(*byte) == kQuietAfter;
  return aErrNone;
}
aErr _put(const char*, void*) { return aErrNone; }
aErr _write(const char*, size_t, void*) { return aErrNone; }
aErr _delete(void*) { return aErrNone; }
aErr _wait(uint32_t, void*) { return aErrTimeout; }

bool _filter(const aPacket* packet, void*) {
  ++feed.offered;
  if (!feed.filterTakesSingles || packet->dataSize != 1) return false;
  feed.filtered.push_back(*packet);
  return true;
}

// One link engine record for the whole run; its reader is called directly, without threads.
aLink* _link() {
  static aLink* link = [] {
    const aLinkID id = sCreate(0x00C0FFEE, 0, 0);
    aStream* stream = aStream_Create(_get, _put, _write, _delete, nullptr);
    _require(id && stream && aStream_SetWaitProc(stream, _wait) == aErrNone && aLink_Init(id, stream) == id);
    aLink* engine = aLink_Lookup(id);
    _require(engine && aLink_SetUserPacketFilter(engine, _filter, nullptr) == aErrNone);
    return engine;
  }();
  return link;
}

std::vector<aPacket> _drain(aPacketFifoID fifo) {
  std::vector<aPacket> packets;
  while (aPacket* packet = aPacketFifo_Get(fifo)) {
    packets.push_back(*packet);
    aPacket_Destroy(&packet);
  }
  return packets;
}

std::vector<uint8_t> _frame(const aPacket& packet) {
  std::vector<uint8_t> frame(2 + size_t(packet.dataSize));
  frame[0] = packet.address;
  frame[1] = packet.dataSize;
  for (size_t i = 0; i < packet.dataSize; ++i) frame[2 + i] = packet.data[i];
  return frame;
}

bool _isHeartbeat(const uint8_t* frame) { return frame[1] == 2 && frame[2] == 0; }

// The frames of an input that is nothing but well-formed frames from even addresses and holds
// no heartbeat; empty when it is anything else.
std::vector<std::vector<uint8_t>> _cleanFrames(const uint8_t* bytes, size_t size) {
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at < size;) {
    if (size - at < 2 || bytes[at] == 0 || (bytes[at] & 1) || bytes[at + 1] > aPACKET_MAX_DATA ||
        size - at - 2 < bytes[at + 1] || _isHeartbeat(bytes + at))
      return {};
    frames.emplace_back(bytes + at, bytes + at + 2 + bytes[at + 1]);
    at += 2 + bytes[at + 1];
  }
  return frames;
}

// Each delivered packet's frame stands whole in the input, later than the one before it.
void _checkDelivered(const std::vector<aPacket>& delivered, const uint8_t* bytes, size_t size) {
  const uint8_t* from = bytes;
  for (const aPacket& packet : delivered) {
    _require(packet.address != 0 && (packet.address & 1) == 0 && packet.dataSize <= aPACKET_MAX_DATA);
    const std::vector<uint8_t> frame = _frame(packet);
    const uint8_t* found = std::search(from, bytes + size, frame.begin(), frame.end());
    _require(found != bytes + size);
    from = found + frame.size();
  }
}

// Outbound: bursts of empty packets to the address query, and heartbeat answers [A][2][0][n + 2]
// (modulo 256) for heartbeats [A][2][0][n] that stand in the input.
void _checkQueuedOut(const std::vector<aPacket>& queued, const uint8_t* bytes, size_t size) {
  for (const aPacket& packet : queued) {
    if (packet.address == cmdMAGIC && packet.dataSize == 0) continue;
    _require(packet.dataSize == 2 && packet.data[0] == 0);
    const uint8_t heartbeat[4] = {packet.address, 2, 0, static_cast<uint8_t>(packet.data[1] - 2)};
    _require(std::search(bytes, bytes + size, heartbeat, heartbeat + 4) != bytes + size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  aLink* link = _link();
  feed = Feed{};
  feed.link = link;
  feed.bytes = data + 1;
  feed.size = std::min(size - 1, kMaxFed);
  feed.filterTakesSingles = data[0] & 1;
  feed.quietMoments = data[0] & 2;
  aPacket_Reset(link->packet);
  link->lastBurstMs = 0;
  link->running = true;
  link->readerProc(link);

  const std::vector<aPacket> delivered = _drain(link->inboundFifo);
  const std::vector<aPacket> queuedOut = _drain(link->outboundFifo);
  _checkDelivered(delivered, feed.bytes, feed.size);
  _checkQueuedOut(queuedOut, feed.bytes, feed.size);
  _checkDelivered(feed.filtered, feed.bytes, feed.size);
  _require(feed.offered >= delivered.size() + feed.filtered.size());
  for (const aPacket& packet : delivered) _require(!(feed.filterTakesSingles && packet.dataSize == 1));

  const std::vector<std::vector<uint8_t>> clean = _cleanFrames(feed.bytes, feed.size);
  if (!clean.empty()) {
    _require(link->status == RUNNING && queuedOut.empty());
    size_t next = 0;
    for (const std::vector<uint8_t>& frame : clean) {
      if (feed.filterTakesSingles && frame[1] == 1) continue;
      _require(next < delivered.size() && _frame(delivered[next]) == frame);
      ++next;
    }
    _require(next == delivered.size());
  }
  return 0;
}
