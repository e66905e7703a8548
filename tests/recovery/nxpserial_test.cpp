// The ISP client's encoding helpers, its port handling and its reading primitives, against a
// pseudo-terminal whose far end the test scripts byte by byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"
#include "support/log_capture.h"
#include "support/pty.h"

namespace {

using qftest::LogCapture;
using qftest::TestPty;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

milliseconds TimeOf(const std::function<void()>& action) {
  const auto start = Clock::now();
  action();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A silent reply costs its budget of empty reads (about 1 ms each) and nothing more.
constexpr milliseconds kSilentReplyBound{1000};

TEST(NXPSerialHelpers, CopyLengthRoundsUpToACopySize) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 256},     {1, 256},     {256, 256},   {257, 512},
                                                 {1000, 1024}, {1808, 4096}, {4096, 4096}, {4097, 4097}};
  for (auto [count, expected] : cases) {
    EXPECT_EQ(NXPSerialClass::CopyLength(count), expected) << count;
  }
}

TEST(NXPSerialHelpers, SectorOfAnAddress) {
  const std::pair<uint32_t, int> cases[] = {{0, 0},        {0xFFF, 0},    {0x1000, 1},     {0xF800, 15},
                                            {0xFFFF, 15},  {0x10000, 16}, {0x17FFF, 16},   {0x18000, 17},
                                            {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (auto [address, sector] : cases) {
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << std::hex << address;
  }
}

TEST(NXPSerialHelpers, ErrorTextOfAReplyLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"0\r\n", "CMD_SUCCESS"},    {"10\r\n", "COMPARE_ERROR"}, {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
      {"0x0F\r\n", "CMD_LOCKED"},  // base detection
      {"20\r\n", "Unknown error"}, {"25\r\n", "Unknown error"}, {"-1\r\n", "Unknown error"},
      {"", "Unknown error"},  // no number is no success
      {"OK\r\n", "Unknown error"}, {nullptr, "Unknown error"},
  };
  for (auto [line, text] : cases) {
    EXPECT_STREQ(NXPSerialClass::GetErrorText(line), text) << (line ? line : "null");
  }
}

TEST(NXPSerialHelpers, UuLinesOfKnownBytes) {
  char line[64];
  const uint8_t zero[] = {0};
  EXPECT_EQ(NXPSerialClass::uuencode(line, zero, 1), 1u);
  EXPECT_STREQ(line, "!````");
  const uint8_t cats[] = {'C', 'a', 't', 's'};
  EXPECT_EQ(NXPSerialClass::uuencode(line, cats, 4), 4u);
  EXPECT_STREQ(line, "$0V%T<P``");
  const Bytes many(60, 0xA5);
  EXPECT_EQ(NXPSerialClass::uuencode(line, many.data(), many.size()), 45u) << "one line holds 45 bytes";
  EXPECT_EQ(std::strlen(line), 61u);
  EXPECT_EQ(line[0], 'M');
  EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
  EXPECT_EQ(NXPSerialClass::uuchar(64), '`');
  EXPECT_EQ(NXPSerialClass::uuchar(63), '_');
}

TEST(NXPSerialHelpers, UuLinesDecodeToWhatWasEncoded) {
  std::mt19937 random(7);
  for (size_t n = 0; n <= 45; ++n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    char line[64];
    NXPSerialClass::uuencode(line, bytes.data(), n);
    Bytes decoded(n + 3, 0x5A);
    EXPECT_EQ(NXPSerialClass::uudecode(decoded.data(), n, (std::string(line) + "\r\n").c_str()), n);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + n), bytes) << n;
    EXPECT_EQ(Bytes(decoded.begin() + n, decoded.end()), Bytes(3, 0x5A)) << "wrote past the line's bytes";
  }
}

TEST(NXPSerialHelpers, UuDecodeStoresNothingBeyondTheLineOrTheRoom) {
  LogCapture log;
  struct Case {
    const char* what;
    const char* line;
    size_t room;
    size_t result;
    Bytes stored;
  };
  const Case cases[] = {
      {"fits", "$0V%T<P``\r\n", 4, 4, BytesOf("Cats")},
      {"room too small", "$0V%T<P``\r\n", 3, 0, {}},
      {"line ends early", "$0V%T<P\r\n", 4, 4, BytesOf("Cat")},
      {"empty line", "", 4, 0, {}},
      {"bare line end", "\r\n", 4, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(8, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(out.data(), c.room, c.line), c.result);
    Bytes expected = c.stored;
    expected.resize(8, 0xEE);
    EXPECT_EQ(out, expected);
  }
  EXPECT_TRUE(log.contains("Error buffer overrun\n"));
}

TEST(NXPSerialHelpers, SumTakesBytesUnsigned) {
  const uint8_t bytes[] = {0xFF, 0x80, 0x01};
  EXPECT_EQ(NXPSerialClass::sum(bytes, 3), 0x180);
  EXPECT_EQ(NXPSerialClass::sum(bytes, 0), 0);
}

TEST(NXPSerialConnect, ChoosesTheFirstTableRateAtOrAboveTheWantedOne) {
  struct Case {
    uint32_t wanted;
    uint32_t chosen;
    speed_t speed;
    const char* logged;
  };
  const Case cases[] = {{0, 2400, B2400, "baud:0(2400)"},
                        {100000, 115200, B115200, "baud:6(115200)"},
                        {230400, 230400, B230400, "baud:7(230400)"},
                        {500000, 9600, B9600, "baud:2(9600)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wanted);
    TestPty pty;
    LogCapture log;
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), c.wanted), aErrNone);
    EXPECT_EQ(isp.baudRate, c.chosen);
    const termios line = pty.settings();
    EXPECT_EQ(cfgetospeed(&line), c.speed);
    EXPECT_TRUE(log.contains("Creating serial connection: [" + pty.slavePath() + "] stream " + c.logged));
    EXPECT_STREQ(isp.portName, pty.slavePath().c_str());
  }
}

TEST(NXPSerialConnect, AFailedConnectLeavesNoStream) {
  TestPty pty;
  LogCapture log;
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), 115200), aErrNone);
  EXPECT_EQ(isp.Connect("/dev/qf-no-such-port", 115200), aErrNotFound);
  EXPECT_EQ(isp.stream, nullptr);
  EXPECT_STREQ(isp.portName, pty.slavePath().c_str());
  EXPECT_TRUE(log.contains("Error Creating Serial [/dev/qf-no-such-port] ==> aErrNotFound"));
  EXPECT_EQ(isp.Connect(nullptr, 115200), aErrResource);
}

TEST(NXPSerialConnect, AConnectAfterAnotherTalksOverTheNewPort) {
  TestPty first(TestPty::Line::Raw);
  TestPty second(TestPty::Line::Raw);
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(first.slavePath().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Connect(second.slavePath().c_str(), 115200), aErrNone);
  EXPECT_STREQ(isp.portName, second.slavePath().c_str());
  ASSERT_EQ(isp.Send("?", false), aErrNone);
  EXPECT_EQ(second.receive(1, 1000), BytesOf("?"));
  EXPECT_TRUE(first.receiveFor(50).empty());
  EXPECT_EQ(isp.Disconnect(), aErrNone);
  EXPECT_EQ(isp.stream, nullptr);
}

TEST(NXPSerialConnect, WithoutAPortEveryOperationFailsAtOnce) {
  NXPSerialClass isp;
  const uint8_t data[4] = {};
  const std::pair<const char*, std::function<aErr()>> operations[] = {
      {"Sync", [&] { return isp.Sync(); }},
      {"GetDeviceID", [&] { return isp.GetDeviceID(); }},
      {"Prepare", [&] { return isp.Prepare(0, 29); }},
      {"Write", [&] { return isp.Write(NXPSerialClass::WRITE_ADDRESS, 4, data); }},
  };
  for (const auto& [name, operation] : operations) {
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] { err = operation(); }), milliseconds(500)) << name;
    EXPECT_NE(err, aErrNone) << name;
  }
}

// A client connected to a pseudo-terminal whose far end the test plays.
class ScriptedLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), 115200), aErrNone); }
  void farEndSends(const std::string& bytes) { ASSERT_TRUE(pty.send(BytesOf(bytes))); }

  TestPty pty{TestPty::Line::Raw};
  NXPSerialClass isp;
  char buffer[1024] = {};
  size_t count = 0;
};

TEST_F(ScriptedLine, ResponseDropsLeadingLineEndsAndEarlyZeroBytes) {
  struct Case {
    const char* what;
    std::string sent;
    const char* expected;  // null: no expected text, the buffer is the limit
    size_t expectedLength;
    std::string stored;
  };
  const std::string many(300, '\n');
  const Case cases[] = {
      {"line ends first", "\n\r\n\rSynchronized\r\n", "Synchronized\r\n", 14, "Synchronized\r\n"},
      {"however many", many + "OK\r\n", "OK\r\n", 4, "OK\r\n"},
      {"zero bytes first", std::string("\0\0\nOK\r\n", 7), "OK\r\n", 4, "OK\r\n"},
      {"zero inside the first three", std::string("O\0K\0\r\n", 6), nullptr, 0, "OK\r\n"},
      {"zero after three is kept", std::string("OK!\0\r\n", 6), nullptr, 0, std::string("OK!\0\r\n", 6)},
      {"limit before CR LF", "Synchronized\r\n", "Synchronized\r\n", 13, "Synchronized\r"},
      {"a broken CR LF goes on", "A\rB\r\n", nullptr, 0, "A\rB\r\n"},
      {"a mismatch is only logged", "NO\r\n", "OK\r\n", 4, "NO\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    farEndSends(c.sent);
    EXPECT_EQ(isp.Response(buffer, sizeof buffer, &count, c.expected, c.expectedLength), aErrNone);
    EXPECT_EQ(std::string(buffer, count), c.stored);
    EXPECT_EQ(buffer[count], 0);
  }
}

TEST_F(ScriptedLine, ResponseWaitsTheTransferTimeFirst) {
  LogCapture log;
  farEndSends("Synchronized\r\n");
  isp.Response(buffer, sizeof buffer, &count, "Synchronized\r\n", 14);
  EXPECT_TRUE(log.contains("Response() wait for serial [14 bytes, 115200, 22 ms]\n"));
  ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), 9600), aErrNone);
  farEndSends("OK\r\n");
  isp.Response(buffer, sizeof buffer, &count, "OK\r\n", 4);
  EXPECT_TRUE(log.contains("Response() wait for serial [4 bytes, 9600, 26 ms]\n"));
}

TEST_F(ScriptedLine, GetLineKeepsTheLineEndAndDropsALeadingLF) {
  farEndSends("\n0\r\n");
  EXPECT_EQ(isp.GetLine(buffer, sizeof buffer, &count, 100), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(buffer, "0\r\n");

  farEndSends("123456789\r\n");
  char small[5];
  EXPECT_EQ(isp.GetLine(small, sizeof small, &count, 100), aErrNone);
  EXPECT_STREQ(small, "1234") << "a full buffer ends the line";
}

TEST_F(ScriptedLine, SilenceEndsEveryReadWithinItsBudget) {
  struct Case {
    const char* what;
    std::string sent;
    std::function<aErr()> read;
    std::string stored;
  };
  const Case cases[] = {
      {"GetLine", "", [&] { return isp.GetLine(buffer, sizeof buffer, &count, 100); }, ""},
      {"GetLine, unfinished", "OK", [&] { return isp.GetLine(buffer, sizeof buffer, &count, 100); }, "OK"},
      {"Response", "", [&] { return isp.Response(buffer, sizeof buffer, &count, "OK\r\n", 4); }, ""},
      {"GetEcho", "", [&] { return isp.GetEcho("P 0 29\r\n", 7, &count); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.sent.empty()) farEndSends(c.sent);
    std::memset(buffer, 0, sizeof buffer);
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] { err = c.read(); }), kSilentReplyBound);
    EXPECT_EQ(err, aErrNotReady);
    EXPECT_EQ(std::string(buffer), c.stored);
  }
}

TEST_F(ScriptedLine, GetEchoSkipsStrayBytes) {
  LogCapture log(Log::DEBUG_NXPSerial_E);
  farEndSends("\nxP 0\r\n");
  EXPECT_EQ(isp.GetEcho("P 0\r\n", 4, &count), aErrNone);
  EXPECT_EQ(count, 4u);
  EXPECT_TRUE(log.contains("recv Echo:[ 0A!=50 78!=50 50 20 30 0D]\n"));
  EXPECT_EQ(isp.GetLine(buffer, sizeof buffer, &count, 5), aErrNotReady) << "the LF stays for the next read";
}

TEST_F(ScriptedLine, AHungUpPortEndsAReadAtOnce) {
  pty.hangUp();
  aErr err = aErrNone;
  EXPECT_LT(TimeOf([&] { err = isp.GetLine(buffer, sizeof buffer, &count, 2000); }), milliseconds(500));
  EXPECT_NE(err, aErrNone);
  EXPECT_NE(err, aErrNotReady);
}

TEST_F(ScriptedLine, RefusedArgumentsSendNothing) {
  const uint8_t data[8] = {};
  const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
  const std::pair<const char*, std::function<aErr()>> operations[] = {
      {"Prepare(5, 3)", [&] { return isp.Prepare(5, 3); }},
      {"Erase(5, 3)", [&] { return isp.Erase(5, 3); }},
      {"Write count 0", [&] { return isp.Write(ram, 0, data); }},
      {"Write count 6", [&] { return isp.Write(ram, 6, data); }},
      {"Write no data", [&] { return isp.Write(ram, 4, nullptr); }},
      {"Read count 0", [&] { return isp.Read(ram, 0, reinterpret_cast<uint8_t*>(buffer)); }},
      {"Read count 6", [&] { return isp.Read(ram, 6, reinterpret_cast<uint8_t*>(buffer)); }},
      {"CopyToFlash at 0x180", [&] { return isp.CopyToFlash(0x180, ram, 256); }},
      {"CopyToFlash of 300", [&] { return isp.CopyToFlash(0x100, ram, 300); }},
  };
  for (const auto& [name, operation] : operations) {
    EXPECT_EQ(operation(), aErrParam) << name;
  }
  EXPECT_TRUE(pty.receiveFor(50).empty());
}

}  // namespace
