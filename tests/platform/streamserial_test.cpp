#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/aTransports.h"
#include "common/crc8.h"
#include "support/descriptor_zero.h"
#include "support/pty.h"
#include "support/stream_io.h"
#include "support/temp_folder.h"

namespace {

using qftest::FreedDescriptorZero;
using qftest::ReadFromStream;
using qftest::StreamHandle;
using qftest::StreamReading;
using qftest::TempFolder;
using qftest::TestPty;
using qftest::WriteWholeFile;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Maker = aErr (*)(const char*, int32_t, int, int, int, aStream**);

const Maker kMakers[] = {aStream_CreateSerial, aStream_CreateSerial_Packetized};

// A line left in cooked mode at 9600 baud, so that every change the stream makes shows.
termios CookedSettings(const TestPty& pty) {
  termios cooked = pty.settings();
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_oflag |= OPOST;
  cfsetispeed(&cooked, B9600);
  cfsetospeed(&cooked, B9600);
  return cooked;
}

void ExpectSameLineSettings(const termios& actual, const termios& expected) {
  EXPECT_EQ(actual.c_iflag, expected.c_iflag);
  EXPECT_EQ(actual.c_oflag, expected.c_oflag);
  EXPECT_EQ(actual.c_lflag, expected.c_lflag);
  EXPECT_EQ(actual.c_cflag, expected.c_cflag);
  EXPECT_EQ(cfgetospeed(&actual), cfgetospeed(&expected));
  EXPECT_EQ(actual.c_cc[VMIN], expected.c_cc[VMIN]);
}

TEST(SerialStream, RefusesBadArgumentsBeforeTouchingThePort) {
  TestPty pty;
  const termios before = pty.settings();
  TempFolder folder;
  const std::string notATerminal = folder.join("plain-file");
  WriteWholeFile(notATerminal, "x");
  const std::string port = pty.slavePath();
  const std::string tooLong(5000, 'a');
  struct Case {
    const char* what;
    const char* path;
    int32_t baudIndex;
    int dataSelector;
    int stopSelector;
    aErr expected;
  };
  const Case cases[] = {
      {"missing device", "/dev/qf-no-such-port", 6, 0, 0, aErrNotFound},
      {"not a terminal", notATerminal.c_str(), 6, 0, 0, aErrIO},
      {"no path", nullptr, 6, 0, 0, aErrResource},
      {"path too long", tooLong.c_str(), 6, 0, 0, aErrResource},
      {"stop selector 2", port.c_str(), 6, 0, 2, aErrResource},
      {"data selector 2", port.c_str(), 6, 2, 0, aErrResource},
      {"negative selector", port.c_str(), 6, -1, 0, aErrResource},
      {"baud index past the table", port.c_str(), 8, 0, 0, aErrResource},
      {"negative baud index", port.c_str(), -1, 0, 0, aErrResource},
  };
  for (Maker make : kMakers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      aStream* stream = reinterpret_cast<aStream*>(1);
      EXPECT_EQ(make(c.path, c.baudIndex, 0, c.dataSelector, c.stopSelector, &stream), c.expected);
      if (c.expected != aErrResource) {
        EXPECT_EQ(stream, nullptr);
      }
    }
    EXPECT_EQ(make(port.c_str(), 6, 0, 0, 0, nullptr), aErrResource);
  }
  ExpectSameLineSettings(pty.settings(), before);  // never hung up with speed 0
}

TEST(SerialStream, SetsRawModeAtTheSpeedAndPutsTheLineBackWhenDeleted) {
  struct Case {
    int32_t baudIndex;
    speed_t speed;
    int parity;
    int stopSelector;
  };
  // A pseudo-terminal always keeps 8 data bits without parity; what it does keep is checked.
  const Case cases[] = {{0, B2400, 0, 0}, {2, B9600, 1, 1}, {6, B115200, 0, 1}, {7, B230400, 1, 0}};
  for (Maker make : kMakers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.baudIndex);
      TestPty pty;
      const termios cooked = CookedSettings(pty);
      pty.setSettings(cooked);
      aStream* stream = nullptr;
      ASSERT_EQ(make(pty.slavePath().c_str(), c.baudIndex, c.parity, 0, c.stopSelector, &stream), aErrNone);
      const termios raw = pty.settings();
      EXPECT_EQ(cfgetospeed(&raw), c.speed);
      EXPECT_EQ(cfgetispeed(&raw), c.speed);
      EXPECT_EQ(raw.c_lflag, 0u);
      EXPECT_EQ(raw.c_oflag, 0u);
      EXPECT_EQ(raw.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
      EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
      EXPECT_EQ((raw.c_cflag & CSTOPB) != 0, c.stopSelector == 1);
      EXPECT_EQ(raw.c_cc[VMIN], 0);
      EXPECT_EQ(raw.c_cc[VTIME], 0);
      EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
      ExpectSameLineSettings(pty.settings(), cooked);
    }
  }
}

TEST(SerialStream, APortOnDescriptorZeroIsPutBackAndClosed) {
  TestPty pty;
  const termios cooked = CookedSettings(pty);
  pty.setSettings(cooked);
  FreedDescriptorZero freed;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &stream), aErrNone);
  ASSERT_TRUE(FreedDescriptorZero::IsOpen());
  EXPECT_EQ(pty.settings().c_lflag, 0u);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  ExpectSameLineSettings(pty.settings(), cooked);
  EXPECT_FALSE(FreedDescriptorZero::IsOpen());
}

TEST(SerialStream, CarriesEveryByteValueBothWays) {
  TestPty pty;
  StreamHandle handle;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
  Bytes all;
  for (int value = 0; value < 256; ++value) all.push_back(static_cast<uint8_t>(value));

  ASSERT_TRUE(pty.send(all));
  const StreamReading reading = ReadFromStream(handle.stream, all.size(), 2000);
  EXPECT_EQ(reading.bytes, all);

  EXPECT_EQ(aStream_Write(handle.stream, reinterpret_cast<const char*>(all.data()), all.size()), aErrNone);
  EXPECT_EQ(aStream_Write(handle.stream, "!", 1), aErrNone);
  Bytes expected = all;
  expected.push_back('!');
  EXPECT_EQ(pty.receive(expected.size(), 2000), expected);
}

TEST(SerialStream, GetAnswersAtOnceAndTheWaitSleeps) {
  TestPty pty;
  StreamHandle handle;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
  char byte = 0;
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(handle.stream, &byte, 1), aErrNotReady);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

  start = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(handle.stream, 100), aErrTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));
  // A reader waiting 20 ms at a time for 300 ms wakes about 15 times, it does not spin.
  const StreamReading idle = ReadFromStream(handle.stream, 1, 300, 20);
  EXPECT_EQ(idle.stop, aErrTimeout);
  EXPECT_LE(idle.waits, 20);

  ASSERT_TRUE(pty.send({0x42}));
  EXPECT_EQ(aStream_WaitReadable(handle.stream, 1000), aErrNone);
  EXPECT_EQ(aStream_Read(handle.stream, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x42);
}

TEST(SerialStream, AHungUpLineIsReportedNotSpunOn) {
  for (Maker make : kMakers) {
    TestPty pty;
    StreamHandle handle;
    ASSERT_EQ(make(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
    pty.hangUp();
    const StreamReading reading = ReadFromStream(handle.stream, 1, 2000);
    EXPECT_EQ(reading.stop, aErrIO);
    EXPECT_LE(reading.waits, 2);
  }
}

// A frame as the module sends it, for a packet whose bytes and CRC hold no zero: one COBS block.
Bytes FrameOf(const Bytes& wire) {
  Bytes frame = {static_cast<uint8_t>(wire.size() + 2)};
  frame.insert(frame.end(), wire.begin(), wire.end());
  frame.push_back(crc8_create(wire.data(), wire.size()));
  EXPECT_EQ(std::count(frame.begin(), frame.end(), 0), 0);
  frame.push_back(0x00);
  return frame;
}

TEST(FramedSerialStream, DeliversPacketsWhetherFramesComeByteByByteOrInBursts) {
  Bytes full = {0x08, 28};
  for (uint8_t i = 1; i <= 28; ++i) full.push_back(i);
  const Bytes badCrc = {0x06, 0x04, 0x02, 0x11, 0x22, 0xF7, 0x00};
  Bytes line = {0x00, 0x00};
  for (const Bytes& part : {FrameOf({0x04, 0x02, 0x11, 0x22}), badCrc, FrameOf(full), Bytes{0x00, 0x00},
                            Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}}) {
    line.insert(line.end(), part.begin(), part.end());
  }
  const Bytes expected = [&] {
    Bytes packets = {0x04, 0x02, 0x11, 0x22};
    packets.insert(packets.end(), full.begin(), full.end());
    packets.insert(packets.end(), {0xAD, 0x00});
    return packets;
  }();
  for (size_t chunk : {size_t{1}, size_t{7}, line.size()}) {
    SCOPED_TRACE(chunk);
    TestPty pty;
    StreamHandle handle;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
    Bytes received;
    int badFrames = 0;
    for (size_t at = 0; at < line.size(); at += chunk) {
      const auto end = line.begin() + static_cast<long>(std::min(at + chunk, line.size()));
      ASSERT_TRUE(pty.send(Bytes(line.begin() + static_cast<long>(at), end)));
      // Take what has come so far, the way the link's reader does, before more is sent.
      for (;;) {
        const StreamReading reading = ReadFromStream(handle.stream, expected.size(), 10, 5);
        received.insert(received.end(), reading.bytes.begin(), reading.bytes.end());
        if (reading.stop != aErrPacket) break;
        ++badFrames;
      }
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(badFrames, 1);
  }
}

TEST(FramedSerialStream, WritesEachPacketAsOneFrame) {
  TestPty pty;
  StreamHandle handle;
  ASSERT_EQ(aStream_CreateSerial_Packetized(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
  const Bytes packets = {0x04, 0x02, 0x11, 0x22, 0xAD, 0x00};
  EXPECT_EQ(aStream_Write(handle.stream, reinterpret_cast<const char*>(packets.data()), packets.size()), aErrNone);
  const Bytes frames = {0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00, 0x02, 0xAD, 0x02, 0x67, 0x00};
  EXPECT_EQ(pty.receive(frames.size(), 2000), frames);
}

}  // namespace
