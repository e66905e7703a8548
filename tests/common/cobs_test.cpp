#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/aStream_CobsEncoding.h"
#include "common/cobs.h"
#include "common/crc8.h"
#include "support/scripted_transport.h"

namespace {

using qftest::ScriptedTransport;
using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// count non-zero bytes 1, 2, ... 255, 1, ...
Bytes NonZeroRun(size_t count) {
  Bytes run;
  for (size_t i = 0; i < count; ++i) run.push_back(static_cast<uint8_t>(i % 255 + 1));
  return run;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Crc8, PublishedCheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xA1);
  EXPECT_EQ(crc8_create(nullptr, 0), 0);
  const Bytes packet = {0x04, 0x02, 0x11, 0x22};
  EXPECT_EQ(crc8_create(packet.data(), packet.size()), 0xF6);
  const Bytes burst = {0xAD, 0x00};
  EXPECT_EQ(crc8_create(burst.data(), burst.size()), 0x67);
  EXPECT_TRUE(crc8_check(packet.data(), packet.size(), 0xF6));
  EXPECT_FALSE(crc8_check(packet.data(), packet.size(), 0xF7));
}

struct CobsCase {
  const char* what;
  Bytes plain;
  Bytes encoded;
};

std::vector<CobsCase> CobsCases() {
  return {
      {"empty", {}, {0x01}},
      {"one zero", {0x00}, {0x01, 0x01}},
      {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {"ends in zero", {0x11, 0x00}, {0x02, 0x11, 0x01}},
      {"253 non-zero", NonZeroRun(253), Join({{0xFE}, NonZeroRun(253)})},
      {"254 non-zero", NonZeroRun(254), Join({{0xFF}, NonZeroRun(254), {0x01}})},
      {"255 non-zero", NonZeroRun(255), Join({{0xFF}, NonZeroRun(254), {0x02, 0xFF}})},
      {"254 non-zero, zero", Join({NonZeroRun(254), {0x00}}), Join({{0xFF}, NonZeroRun(254), {0x01, 0x01}})},
      {"253 zeros", Bytes(253, 0), Bytes(254, 0x01)},
      {"254 zeros", Bytes(254, 0), Bytes(255, 0x01)},
      {"255 zeros", Bytes(255, 0), Bytes(256, 0x01)},
  };
}

TEST(Cobs, EncodesAndDecodesTheTable) {
  for (const CobsCase& c : CobsCases()) {
    SCOPED_TRACE(c.what);
    Bytes encoded(cobs_max_encoded_length(c.plain.size()));
    encoded.resize(cobs_encode(c.plain.data(), c.plain.size(), encoded.data()));
    EXPECT_EQ(encoded, c.encoded);

    Bytes inPlace = c.plain;
    inPlace.resize(c.encoded.size());
    EXPECT_EQ(cobs_encode_inplace(inPlace.data(), c.plain.size()), c.encoded.size());
    EXPECT_EQ(inPlace, c.encoded);

    Bytes decoded(c.encoded.size());
    decoded.resize(cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data()));
    EXPECT_EQ(decoded, c.plain);
    Bytes decodedInPlace = c.encoded;
    decodedInPlace.resize(cobs_decode_inplace(decodedInPlace.data(), decodedInPlace.size()));
    EXPECT_EQ(decodedInPlace, c.plain);
  }
}

TEST(Cobs, InPlaceEncodingGivesUpUntouchedWhenTheOutputWouldOvertakeTheInput) {
  Bytes plain = NonZeroRun(254 * 11);
  Bytes buffer = plain;
  buffer.resize(cobs_max_encoded_length(plain.size()));
  EXPECT_EQ(cobs_encode_inplace(buffer.data(), plain.size()), 0u);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buffer.begin()));
}

TEST(Cobs, DecodingRefusesWhatNoEncoderMakes) {
  for (const Bytes& bad : {Bytes{0x05, 0x11, 0x22}, Bytes{0x02, 0x11, 0x00, 0x01}, Bytes{0xFF, 0x01}}) {
    Bytes out(bad.size());
    EXPECT_EQ(cobs_decode(bad.data(), bad.size(), out.data()), 0u) << Text(bad);
  }
}

// A framing stream over a scripted line: what the far end sends is fed to get, what the stream
// sends is recorded one entry per transport write.
class Framing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        aStream_CreateCobsEncodingWithWait(ScriptedTransport::get, ScriptedTransport::put, ScriptedTransport::write,
                                           ScriptedTransport::remove, ScriptedTransport::wait, &line_, &stream_),
        aErrNone);
  }
  void TearDown() override { aStream_Destroy(&stream_); }

  // Reads until the line is used up and nothing is left to deliver: the packets delivered (each
  // wire frame one entry) and the number of aErrPacket results.
  std::vector<Bytes> Receive(int* badFrames) {
    std::vector<Bytes> packets;
    Bytes current;
    *badFrames = 0;
    for (;;) {
      char byte = 0;
      const aErr err = aStream_Read(stream_, &byte, 1);
      if (err == aErrPacket) ++*badFrames;
      const bool drained = line_.gets.empty() && aStream_WaitReadable(stream_, 0) != aErrNone;
      if (err == aErrNotReady && drained) break;
      if (err != aErrNone) continue;
      current.push_back(static_cast<uint8_t>(byte));
      if (current.size() >= 2 && current.size() == current[1] + 2u) {
        packets.push_back(current);
        current.clear();
      }
    }
    EXPECT_TRUE(current.empty());
    return packets;
  }

  ScriptedTransport line_;
  aStream* stream_ = nullptr;
};

// The frame that carries a packet's wire bytes, built from the rules: CRC appended, then the
// COBS encoding of a body without zeros inside.
Bytes FrameOf(const Bytes& wire) {
  Bytes body = wire;
  body.push_back(crc8_create(wire.data(), wire.size()));
  Bytes frame(cobs_max_encoded_length(body.size()));
  frame.resize(cobs_encode(body.data(), body.size(), frame.data()));
  frame.push_back(0x00);
  return frame;
}

const Bytes kFullPacket = Join({{0x08, 28}, NonZeroRun(28)});

TEST_F(Framing, SendsEveryCompletedPacketAsOneFrame) {
  struct Case {
    const char* what;
    std::vector<Bytes> writes;
    std::vector<Bytes> frames;
  };
  const Case cases[] = {
      {"packet", {{0x04, 0x02, 0x11, 0x22}}, {{0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}}},
      {"empty burst packet", {{0xAD, 0x00}}, {{0x02, 0xAD, 0x02, 0x67, 0x00}}},
      {"pooled",
       {{0xAD, 0x00, 0x04, 0x02, 0x11, 0x22}},
       {{0x02, 0xAD, 0x02, 0x67, 0x00}, {0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}}},
      {"split over writes", {{0x04, 0x02, 0x11}, {0x22}}, {{0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}}},
      {"one byte at a time", {{0xAD}, {0x00}}, {{0x02, 0xAD, 0x02, 0x67, 0x00}}},
      {"refused bytes start afresh", {{0x00, 0x04, 0x1D, 0xAD, 0x00}}, {{0x02, 0xAD, 0x02, 0x67, 0x00}}},
      {"28 data bytes", {kFullPacket}, {FrameOf(kFullPacket)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    line_.writes.clear();
    for (const Bytes& write : c.writes) {
      EXPECT_EQ(aStream_Write(stream_, reinterpret_cast<const char*>(write.data()), write.size()), aErrNone);
    }
    std::vector<Bytes> frames;
    for (const std::string& sent : line_.writes) frames.push_back(BytesOf(sent));
    EXPECT_EQ(frames, c.frames);
  }
  EXPECT_EQ(FrameOf(kFullPacket).size(), 33u);
}

TEST_F(Framing, DeliversGoodFramesAndDropsBadOnesWhole) {
  const Bytes good = {0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00};
  const Bytes goodPacket = {0x04, 0x02, 0x11, 0x22};
  Bytes overlong = FrameOf(kFullPacket);
  overlong.insert(overlong.end() - 1, {0x11, 0x22});  // a good 32-byte body, then more
  struct Case {
    const char* what;
    Bytes line;
    int badFrames;
  };
  const Case cases[] = {
      {"good frame", {}, 0},
      {"delimiter runs", {0x00, 0x00, 0x00}, 0},
      {"wrong CRC", {0x06, 0x04, 0x02, 0x11, 0x22, 0xF7, 0x00}, 1},
      {"two bytes only", {0x03, 0xAD, 0x01, 0x00}, 1},
      {"length disagrees", FrameOf({0x04, 0x03, 0x11, 0x22}), 1},
      {"block past the end", {0x05, 0x11, 0x00}, 1},
      {"overlong", overlong, 1},
      {"garbage longer than any frame", Join({NonZeroRun(200), {0x00}}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    line_.feed(Text(Join({c.line, good, {0x00}})));
    int badFrames = 0;
    EXPECT_EQ(Receive(&badFrames), std::vector<Bytes>{goodPacket});
    EXPECT_EQ(badFrames, c.badFrames);
  }
}

TEST_F(Framing, PacketsOfEverySizeComeBackWhole) {
  std::vector<Bytes> sent;
  for (uint8_t size = 0; size <= 28; ++size) {
    const Bytes wire = Join({{static_cast<uint8_t>(2 + 2 * size), size}, Bytes(size, size)});
    sent.push_back(wire);
    ASSERT_EQ(aStream_Write(stream_, reinterpret_cast<const char*>(wire.data()), wire.size()), aErrNone);
  }
  line_.feed(line_.written);
  int badFrames = 0;
  EXPECT_EQ(Receive(&badFrames), sent);
  EXPECT_EQ(badFrames, 0);
}

TEST_F(Framing, TransportWriteFailureIsReportedAfterEveryPacketWasSent) {
  ScriptedTransport failing;
  aStream* stream = nullptr;
  auto failingWrite = [](const char*, size_t, void* ref) -> aErr {
    ++static_cast<ScriptedTransport*>(ref)->writeCalls;
    return aErrIO;
  };
  ASSERT_EQ(aStream_CreateCobsEncoding(ScriptedTransport::get, ScriptedTransport::put, failingWrite,
                                       ScriptedTransport::remove, &failing, &stream),
            aErrNone);
  const Bytes twoPackets = {0xAD, 0x00, 0x04, 0x02, 0x11, 0x22};
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const char*>(twoPackets.data()), twoPackets.size()), aErrIO);
  EXPECT_EQ(failing.writeCalls, 2);
  failing.deleteResult = aErrIO;
  EXPECT_EQ(aStream_Destroy(&stream), aErrIO);  // the transport's delete result
}

TEST_F(Framing, WaitCountsDecodedBytesAsReady) {
  line_.feed(Text({0x02, 0xAD, 0x02, 0x67, 0x00}));
  int calls = 0;
  char byte = 0;
  while (aStream_Read(stream_, &byte, 1) == aErrNotReady && ++calls < 10) {
  }
  ASSERT_EQ(static_cast<uint8_t>(byte), 0xAD);
  EXPECT_EQ(aStream_WaitReadable(stream_, 50), aErrNone);  // 0x00 still to deliver
  EXPECT_EQ(line_.waitCalls, 0);
  ASSERT_EQ(aStream_Read(stream_, &byte, 1), aErrNone);
  line_.waitResult = aErrIO;
  EXPECT_EQ(aStream_WaitReadable(stream_, 50), aErrIO);  // the transport's say
  EXPECT_EQ(line_.waitTimeout, 50u);
}

TEST(FramingCreate, RefusesANullStreamPointer) {
  ScriptedTransport line;
  EXPECT_EQ(aStream_CreateCobsEncoding(ScriptedTransport::get, ScriptedTransport::put, ScriptedTransport::write,
                                       ScriptedTransport::remove, &line, nullptr),
            aErrParam);
}

}  // namespace
