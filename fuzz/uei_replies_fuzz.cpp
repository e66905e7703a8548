// Feeds packets from outside to the object layer's reply matching and its stream filter: the
// UEI reply and byte-value predicates against a record built from the input (they must accept
// or refuse without changing it), the stream packet kind and sample decoding (a sample's
// fields come from inside the packet), and the reader thread's stream filter over a table of
// subscriptions and cached values (what it consumes, stores and queues stays consistent).
//
// Input: [module][command][option][index][sequence], then packets [address][length][data...]
// (length cut to 28 and to what is left).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/Entity.h"
#include "api/Link.h"
#include "api/Link_impl.h"

using namespace Tarnwick::Quillfern;

namespace {

void sRequire(bool condition) {
  if (!condition) std::abort();
}

void sCheckPredicates(const aPacket* packet, const uei& record) {
  uei judged = record;
  const uint8_t scalar = Link::sUEIFilter(packet, &judged);
  sRequire(std::memcmp(&judged, &record, sizeof record) == 0);
  const uint8_t chunk = EntityClass::sUEIBytesFilter(packet, &judged);
  sRequire(std::memcmp(&judged, &record, sizeof record) == 0);
  sRequire(!chunk || scalar);  // a chunk is a reply of the entity option first
}

void sCheckStreamDecoding(const aPacket* packet) {
  Link::STREAM_PACKET kind = Link::STREAM_PACKET_U8;
  const bool hasKind = Link::getStreamPacketType(packet, &kind);
  sRequire(hasKind == (kind != Link::STREAM_PACKET_NONE));
  if (hasKind) sRequire(Link::isStreamPacket(packet));
  uint64_t timestamp = 0;
  uint32_t value = 0;
  uint8_t subindex = 0;
  const aErr decoded = Link::getStreamSample(packet, &timestamp, &value, &subindex);
  sRequire((decoded == aErrNone) == Link::isStreamSample(packet));
  if (decoded == aErrNone && !Link::isSubindexType(kind)) sRequire(subindex == 0);
}

// The table a Link would hold: subscriptions with callbacks (wildcards) and a cached value.
void sSubscribe(Link::impl& link, const uei& record) {
  const auto callback = [](const aPacket*, void*) -> uint8_t { return 0; };
  const uint64_t keys[] = {
      Link::createStreamKey(record.module, record.command, 0xFF, record.index, 0xFF),
      Link::createStreamKey(record.module, 0xFF, 0xFF, 0xFF, 0xFF),
      Link::createStreamKey(record.module, record.command, record.option & UEI_OPTION_MASK, record.index, 0xFF),
  };
  for (uint64_t key : keys)
    link.streams[key] = StreamEntry{key, 0, callback, nullptr, 0, std::make_shared<std::atomic<bool>>(true)};
  const uint64_t cached = Link::createStreamKey(record.module, record.command, 1, record.index, 0);
  link.streams[cached] = StreamEntry{cached, 0, {}, nullptr, 0, nullptr};
}

void sCheckStreamFilter(Link::impl& link, const aPacket* packet) {
  const size_t before = link.streams.size();
  const bool consumed = Link::linkStreamFilter(packet, &link);
  sRequire(consumed == Link::getStreamPacketType(packet, nullptr));
  sRequire(link.streams.size() == before || link.streams.size() == before + 1);
  for (const auto& [key, entry] : link.streams) sRequire(entry.key == key && entry.fresh <= 1);
  // The callback thread's part: take every queued run and free its packet copy.
  for (asyncPacket run; link.streamQueue->pop(&run);) {
    sRequire(run.packet != nullptr && run.callback);
    aPacket_Destroy(&run.packet);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uei record{};
  record.module = data[0];
  record.command = data[1];
  record.option = data[2];
  record.index = data[3] & UEI_INDEX_MASK;
  uint8_t scratch[aPACKET_MAX_DATA];
  size_t received = 0;
  record.type = UEI_TYPE_BYTES;
  record.value.bytes.data = scratch;
  record.value.bytes.length = sizeof scratch;
  record.value.bytes.sequence = data[4] & UEI_BYTES_SEQUENCE_MASK;
  record.value.bytes.received = &received;

  Link::impl link(nullptr, "fuzz");
  sSubscribe(link, record);
  for (size_t at = 5; at + 2 <= size;) {
    const uint8_t address = data[at];
    size_t length = data[at + 1];
    at += 2;
    if (length > aPACKET_MAX_DATA) length = aPACKET_MAX_DATA;
    if (length > size - at) length = size - at;
    aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(length), data + at);
    at += length;
    if (!packet) continue;
    sCheckPredicates(packet, record);
    sCheckStreamDecoding(packet);
    sCheckStreamFilter(link, packet);
    aPacket_Destroy(&packet);
  }
  return 0;
}
