// The object layer's handle on one device link: how to reach a module (a linkSpec), the
// network settings, and the registered device link once connected.
//
// Contracts:
// - Every operation runs on the caller's thread. Connecting, disconnecting, the settings and the
//   specifier of one Link are for one thread at a time; requests (packets, entity requests) may
//   come from several threads, each taking the first reply its own predicate accepts.
// - Creating a device link is serialised process-wide across all Links; the wait for the new
//   link to run is not.
// - Every wait for a module's reply ends within 1000 ms (4000 ms for a byte value of more than
//   1000 bytes); the acknowledgement of a byte value being set is waited for from when its last
//   packet was written, for longer the longer the value (a slow link may still hold it). A reply
//   that comes later stays queued until a later wait or a drain takes it, but never answers a
//   later request: every request first discards the queued replies its own predicate accepts
//   (unless another request of the same kind still waits for its reply on the device link).
// - Destroying a Link gives up its use of the device link; the registry frees the device link
//   when its last use goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "api/uei.h"
#include "common/aError.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/discover.h"

namespace Tarnwick::Quillfern {

// A Link's network settings; a plain value, copied in and out.
struct OrvaneConfig {
  OrvaneConfig();

  // Networking on: every direct link (USB, TCPIP, SERIAL) is served by a link sharing server
  // and the Link is that server's client; the networked link types 4-7 need it on.
  uint8_t enabled;
  // discoverAndConnect tries once more with the other transport family.
  uint8_t fallback;
  // The server made for this Link accepts connections on the loopback interface only.
  uint8_t localOnly;
  // Receives the port of the server made for this Link; never read as an input.
  uint16_t port;
  // IPv4, network byte order: where discovery searches and the server is made; receives the
  // interface the server reports. Default 127.0.0.1.
  uint32_t networkInterface;
};

// The networked link types: ORVANE to ORVANE_SERIAL.
bool isORVANE(linkType type);

class Link {
 public:
  // A Link without a specifier; the name is kept (its first 1024 characters; null: none).
  explicit Link(const char* name);
  Link(const linkSpec& spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  aErr getConfig(OrvaneConfig* config) const;
  // Refused, changing nothing, while connected.
  aErr setConfig(OrvaneConfig config);

  // Finds a module of the type (by serial number; with 0, the first one of the model, any
  // model for 0) and connects to it; with fallback on, a search that finds or reaches nothing
  // is repeated once with the other transport family (USB, TCPIP -> ORVANE; 4-7 -> USB).
  // aErrNotFound when nothing was found.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
  // Connects from the stored specifier and waits up to about 2 s for the link to run. Refused
  // while a device link is held, also a failed one: disconnect first. A networked type needs
  // networking on.
  aErr connect();
  // Shares the other Link's device link, taking one more use of it through this Link's own
  // specifier (which must name the same device link). Fails when the other Link holds none.
  aErr connectThroughLinkModule(Link& other);
  // A device link is held and runs.
  bool isConnected() const;
  // The device link's status; UNKNOWN_ERROR without one.
  linkStatus getStatus() const;
  // Gives up the device link (if any). Always aErrNone.
  aErr disconnect();
  // Stops the device link and starts it again on a new stream: aLink_Reset's result (for
  // instance when no new stream could be made). aErrNone without a device link.
  aErr reset();
  // Asks the module at the far end for its address: an empty packet to cmdMAGIC, answered by an
  // empty packet from the module's address within 1000 ms. *address is 0 unless it answered.
  aErr getModuleAddress(uint8_t* address);
  // The name, or null.
  const char* getName() const;
  // aErrNotFound when none is stored.
  aErr getLinkSpecifier(linkSpec* spec) const;
  // Refused, changing nothing, while connected.
  aErr setLinkSpecifier(linkSpec spec);
  // Pooled writes on the device link (aLink_EnablePooledPackets).
  aErr enablePooledPackets(bool on);

  // Queues [command][length data bytes] (at most 27) to the module (an even address, not 0);
  // fails without sending anything on bad input or when not connected.
  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits up to 1000 ms for the first inbound packet, from any address, whose first *length
  // data bytes equal match (bytes past a packet's data count as 0); *length then becomes its
  // data length and buffer (28 bytes) receives its data. aErrTimeout when none came.
  aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

  // Entity requests. Queues the request packet(s) built from the record (a byte value in
  // chunks, stopping at the first that cannot be queued): the result of the last. A bad record
  // (unknown type, byte data missing or subindexed) is refused without sending anything. Before
  // queueing, the replies already queued that this request's reply would look like (late ones)
  // are discarded.
  aErr sendUEI(uei request);
  aErr sendUEI(uei request, uint8_t subindex);
  // Waits for the reply the record describes (its module, command, option and index; the
  // other arguments are checked only) with the UEI reply predicate or the given one, for
  // 1000 ms, or 4000 ms for a byte value of more than 1000 bytes, and decodes the reply taken
  // into the record as sUEIFilter describes. aErrTimeout when none came.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply, aPacketFilterProc filter);
  // The wait of receiveUEI without the decoding: the first inbound packet the filter accepts
  // for the record (the caller destroys it). The filter only matches; it must not change the
  // record or anything else, as it runs under the inbound queue's lock for every packet there.
  aErr awaitUEIPacket(uint8_t module, const uei& match, aPacketFilterProc filter, aPacket** packet);
  // Discards every queued reply the UEI reply predicate accepts for these four values.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // ---- stream subscriptions ----
  // Once a stream is enabled for an entity value, the module sends unasked stream packets
  // [command][option][index | 0x40][kind][subindex (kinds 5-7)][timestamp, 8 bytes][value][0x00]
  // carrying timestamped samples. The link's reader thread takes every stream packet out of the
  // reply path, keeps the latest sample value per entity value and queues the callbacks that
  // cover it; one callback thread per Link runs them, in the order they were queued, each with a
  // private copy of the packet that is freed when it returns. A callback may subscribe,
  // unsubscribe and even destroy its Link. Links sharing one device link each see every
  // stream packet.

  // Sample kinds (byte 3 of a stream packet); BYTES is a byte value, never a sample.
  enum STREAM_PACKET : uint32_t {
    STREAM_PACKET_NONE = 0,
    STREAM_PACKET_U8 = 1,
    STREAM_PACKET_U16 = 2,
    STREAM_PACKET_U32 = 3,
    STREAM_PACKET_BYTES = 4,
    STREAM_PACKET_SUB_U8 = 5,
    STREAM_PACKET_SUB_U16 = 6,
    STREAM_PACKET_SUB_U32 = 7,
  };
  // The elements of a stream key.
  enum STREAM_KEY : uint32_t {
    STREAM_KEY_ADDRESS = 0,
    STREAM_KEY_COMMAND = 1,
    STREAM_KEY_OPTION = 2,
    STREAM_KEY_INDEX = 3,
    STREAM_KEY_SUBINDEX = 4,
  };
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };
  // Runs on the callback thread with a packet copy that is freed when it returns; its result is
  // not looked at.
  using StreamCallback = std::function<uint8_t(const aPacket* packet, void* ref)>;

  // registerStreamCallback without a callback: the samples are only cached.
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // Subscribes (enable) or unsubscribes; 0xFF in command, option or index means any. Asks the
  // module to start or stop the stream and waits for its acknowledgement; on any failure the
  // entries the request covers are removed again. Unsubscribing asks the module to stop first
  // and then removes the subscription and every cached value it covers, whatever the module
  // answered. Once an unsubscribe, a rolled-back subscribe, a replacing subscribe or the Link's
  // end returns, no run of the callback that went starts (its queued runs are dropped, a run in
  // progress has ended, unless the call comes from that run).
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                              StreamCallback callback, void* ref);
  // The last streamed sample of an entity value: aErrNone and a value not read before,
  // aErrStreamStale and the value read before, aErrNotFound when none is cached. The cache is
  // emptied when the device link is given up or reset.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                      uint32_t* value);
  // The cached values that match (0xFF = any), in ascending key order; never subscriptions.
  // aErrSize, with the first capacity entries written, when more match.
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                       StreamStatusEntry* entries, size_t capacity, size_t* count);
  // The keys of the table (subscriptions and cached values) that match, ascending. lock: take the
  // table's lock for the scan (false only where it is held already).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock = true);
  // Callback runs dropped since the Link was made because the ring of queued runs was full (a
  // callback slower than its stream); their samples were still stored.
  uint64_t getDroppedStreamRuns() const;
  // Asks the module whether it streams.
  aErr isLinkStreaming(uint8_t module, uint8_t* streaming);

  // subindex << 32 | module << 24 | command << 16 | option << 8 | index.
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);
  // One element of a key; 0 for an unknown element.
  static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
  static bool isStreamPacket(const aPacket* packet);
  // The packet's kind; false (and NONE) when it has none.
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
  static bool isSubindexType(STREAM_PACKET kind);
  // A sample: a kind other than BYTES, sequence byte 0 and exactly the kind's length.
  static bool isStreamSample(const aPacket* packet);
  // Decodes a sample (each output may be null); a byte value or a packet that is no sample fails.
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  // The reader thread's stream filter for one Link (ref: its private part): true for every
  // packet with a kind.
  static bool linkStreamFilter(const aPacket* packet, void* ref);

  // ---- store slots, factory data, packet log ----
  // Each request goes to the module and takes the first reply its predicate accepts: 3000 ms for
  // a slot's open, 1000 ms for every other; an error reply gives the module's code.
  // The capacity and the size of a slot.
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  // Writes the bytes into the slot, 25 to a packet, each acknowledged by its 8-bit sum. An
  // opened slot is always closed, also after a failure.
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes, size_t length);
  // Reads the slot into the buffer; *count receives the bytes read. aErrOverrun, after a full
  // buffer, when the slot holds more.
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length, size_t* count);
  // Factory data of a type (0-15): read into the buffer (aErrOverrun when longer) and written,
  // 26 bytes to a packet.
  aErr getFactoryData(uint8_t module, uint8_t type, uint8_t* buffer, size_t length, size_t* count);
  aErr setFactoryData(uint8_t module, uint8_t type, const uint8_t* bytes, size_t length);
  // Records every packet of the device link and appends it as a line of text to the file (made
  // on the first enable): "<length> <'>' sent or '<' received> 0x<byte> ...\r\n". Needs a
  // device link; without a file that opens, the log still records.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // The UEI reply predicate (an aPacketFilterProc over a uei record): a packet from the
  // record's module with more than 2 data bytes and the record's command, option byte and
  // index (index bits only), never a stream packet (UEI_INDEX_STREAM set). It changes nothing; receiveUEI decodes the
  // reply it took: an error reply (index byte and code) or the value by the reply's length (3, 4, 5, 7 bytes; other
  // lengths change neither type nor value).
  static uint8_t sUEIFilter(const aPacket* packet, const void* reply);

  struct impl;

 private:
  std::unique_ptr<impl> _impl;
};

}  // namespace Tarnwick::Quillfern
