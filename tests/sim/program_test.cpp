// The simmodule program as other processes see it: its first output line, its command line,
// its control commands and how it ends.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/program_process.h"
#include "support/raw_peer.h"
#include "support/temp_folder.h"

using namespace std::chrono_literals;
using qftest::Bytes;
using qftest::hex;
using qftest::ProgramProcess;
using qftest::RawPeer;
using qftest::wordValue;

namespace {

constexpr auto _kWait = 5000ms;
const std::string _kProgram = QF_BINARY_DIR "/sim/simmodule";

// Starts the program and reads its first line.
struct Running {
  explicit Running(const std::vector<std::string>& arguments) : child(_kProgram, arguments) {
    EXPECT_TRUE(child.started()) << _kProgram;
    first = child.readLine(_kWait).value_or("");
    EXPECT_FALSE(first.empty()) << child.errorOutput(100ms);
  }
  RawPeer peer() {
    if (wordValue(first, "transport") == "tcp")
      return RawPeer::tcp(static_cast<std::uint16_t>(std::stoul(wordValue(first, "port"))));
    return RawPeer::terminal(wordValue(first, "path"));
  }
  std::string command(const std::string& line) {
    EXPECT_TRUE(child.writeLine(line));
    return child.readLine(_kWait).value_or("(no answer)");
  }
  ProgramProcess child;
  std::string first;
};

TEST(SimProgramTest, TcpModuleIsDrivenThroughItsControlCommands) {
  Running sim({"--address", "6", "--model", "11", "--serial", "cafe0001", "--control"});
  EXPECT_EQ(wordValue(sim.first, "address"), "6");
  EXPECT_EQ(wordValue(sim.first, "model"), "11");
  EXPECT_EQ(wordValue(sim.first, "serial"), "CAFE0001");
  RawPeer peer = sim.peer();
  ASSERT_TRUE(peer.valid()) << sim.first;

  ASSERT_TRUE(peer.send({0xAD, 0x00, 0x06, 0x03, 0x03, 0x48, 0x20, 0xAF, 0x01, 0x01}));
  EXPECT_EQ(hex(peer.receive(8, _kWait)), "06 00 06 04 03 08 00 0B");
  std::string report = sim.command("report");
  EXPECT_EQ(wordValue(report, "packets"), "3") << report;
  EXPECT_EQ(wordValue(report, "syncs"), "1") << report;
  EXPECT_EQ(wordValue(report, "routes"), "1") << report;

  EXPECT_EQ(sim.command("heartbeat down"), "ok");
  EXPECT_EQ(hex(peer.receive(4, _kWait)), "06 02 00 01");
  ASSERT_TRUE(peer.send({0x06, 0x02, 0x00, 0x03}));
  EXPECT_EQ(sim.command("fault first-byte odd"), "ok");
  ASSERT_TRUE(peer.send({0xAD, 0x00}));
  EXPECT_EQ(hex(peer.receive(2, _kWait)), "07 00");
  report = sim.command("report");
  EXPECT_EQ(wordValue(report, "answers-ok"), "1") << report;
  EXPECT_EQ(wordValue(report, "answers-bad"), "0") << report;

  EXPECT_EQ(sim.command("fault bogus on"), "error: unknown fault: bogus");
  EXPECT_EQ(sim.command("fault close-after many"), "error: bad value for close-after: many");
  EXPECT_EQ(sim.command("close"), "ok");
  EXPECT_TRUE(peer.closedWithin(_kWait));

  sim.child.closeInput();  // the end of its input ends it
  EXPECT_EQ(sim.child.waitExit(_kWait), 0);
}

TEST(SimProgramTest, StreamsUnaskedAndStreamsOnAfterAStopWhenToldTo) {
  Running sim({"--address", "4", "--stream-source", "0x14:3:1:1", "--streaming", "--stream-interval", "1",
               "--stream-burst", "2", "--stream-ignore-stop", "--stream-answer-delay", "50"});
  RawPeer peer = sim.peer();
  ASSERT_TRUE(peer.valid()) << sim.first;
  // Nobody asked: [4][14][14 03 41][kind 1][timestamp 8][value][00], counting up from 0.
  const Bytes first = peer.receive(32, _kWait);
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(hex(Bytes(first.begin(), first.begin() + 6)), "04 0E 14 03 41 01");
  EXPECT_EQ(first[14], 0);
  EXPECT_EQ(first[16 + 14], 1) << "two samples a period, each counted";
  // A stop is acknowledged late, and the stream goes on.
  ASSERT_TRUE(peer.send({0x04, 0x07, 0x5D, 0x82, 0x20, 0x04, 0x14, 0x03, 0x01}));
  bool acknowledged = false;
  for (int frames = 0; frames < 500 && !acknowledged; ++frames) {
    const Bytes head = peer.receive(2, _kWait);
    ASSERT_EQ(head.size(), 2u);
    const Bytes body = peer.receive(head[1], _kWait);
    acknowledged = hex(body) == "5D C2 00";
  }
  EXPECT_TRUE(acknowledged);
  const Bytes after = peer.receive(16, _kWait);
  ASSERT_EQ(after.size(), 16u);
  EXPECT_EQ(hex(Bytes(after.begin(), after.begin() + 6)), "04 0E 14 03 41 01") << "still streaming";
  EXPECT_FALSE(sim.child.waitExit(0ms).has_value()) << "still running";
}

TEST(SimProgramTest, RefusesABadStreamSource) {
  ProgramProcess child(_kProgram, {"--stream-source", "0x14:3"});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.waitExit(_kWait), 1);
}

TEST(SimProgramTest, AnswersEntityRequestsWithTheIdentityItWasGiven) {
  Running sim({"--address", "4", "--serial", "00C0FFEE", "--name", "Rig", "--build", "4660", "--version", "2C000005"});
  RawPeer peer = sim.peer();
  ASSERT_TRUE(peer.valid()) << sim.first;
  const struct {
    Bytes request;
    const char* answer;
  } cases[] = {
      {{0x04, 0x03, 0x03, 0x49, 0x20}, "04 07 03 09 00 00 C0 FF EE"},
      {{0x04, 0x03, 0x03, 0x60, 0x20}, "04 07 03 20 00 52 69 67 00"},
      {{0x04, 0x03, 0x03, 0x6B, 0x20}, "04 07 03 2B 00 00 00 12 34"},
      {{0x04, 0x03, 0x03, 0x47, 0x20}, "04 07 03 07 00 2C 00 00 05"},
      {{0x04, 0x02, 0x49, 0xFF}, "04 06 49 FF 00 00 12 34"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(peer.send(c.request));
    EXPECT_EQ(hex(peer.receive(std::string(c.answer).size() / 3 + 1, _kWait)), c.answer);
  }
}

TEST(SimProgramTest, NodeModuleBehindALinkEndsOnSignal) {
  qftest::TempFolder folder;
  const std::string link = folder / "node";
  Running sim({"--transport", "node", "--link", link});
  EXPECT_EQ(wordValue(sim.first, "link"), link);
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), wordValue(sim.first, "path"));
  RawPeer peer = RawPeer::terminal(link);
  ASSERT_TRUE(peer.send({0xAD, 0x00}));
  EXPECT_EQ(hex(peer.receive(2, _kWait)), "02 00");
  sim.child.signal(SIGTERM);
  EXPECT_EQ(sim.child.waitExit(_kWait), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimProgramTest, FaultOptions) {
  struct Case {
    std::vector<std::string> arguments;
    Bytes request;
    Bytes reply;
    bool closes;
  };
  const Case cases[] = {
      {{"--silent"}, {0xAD, 0x00}, {}, false},
      {{"--first-byte", "zero"}, {0xAD, 0x00}, {0x00, 0x00}, false},
      {{"--wrong-sync-address"}, {0xAD, 0x00, 0xAD, 0x00}, {0x02, 0x00, 0x04, 0x00}, false},
      {{"--transport", "serial", "--bad-crc"}, {0x02, 0xAD, 0x02, 0x67, 0x00}, {0x02, 0x02, 0x02, 0x6E, 0x00}, false},
      {{"--close-after", "1"}, {0xAD, 0x00}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0]);
    Running sim(c.arguments);
    RawPeer peer = sim.peer();
    ASSERT_TRUE(peer.valid()) << sim.first;
    ASSERT_TRUE(peer.send(c.request));
    Bytes got = c.reply.empty() ? peer.receiveFor(200ms) : peer.receive(c.reply.size(), _kWait);
    EXPECT_EQ(hex(got), hex(c.reply));
    if (c.closes) {
      EXPECT_TRUE(peer.closedWithin(_kWait));
    }
  }
}

TEST(SimProgramTest, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--address", "3"},  {"--transport", "usb"},   {"--port", "70000"}, {"--model"},
      {"--serial", "xyz"}, {"--first-byte", "even"}, {"--bogus"},         {"--port", "-1"},
  };
  for (const auto& arguments : cases) {
    ProgramProcess child(_kProgram, arguments);
    EXPECT_EQ(child.waitExit(_kWait), 1) << arguments[0];
    EXPECT_NE(child.errorOutput(_kWait).find("simmodule"), std::string::npos) << arguments[0];
  }
  ProgramProcess help(_kProgram, {"--help"});
  EXPECT_EQ(help.readLine(_kWait).value_or("").rfind("usage: simmodule", 0), 0u);
  EXPECT_EQ(help.waitExit(_kWait), 0);
}

}  // namespace
