// The simulated LPC bootloader on its own, byte dialogue by byte dialogue, so that a misreading
// of the protocol cannot hide behind the client that is tested against it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/lpcisp/simIspDevice.h"

namespace {

using qfsim::IspDevice;
using Bytes = std::vector<uint8_t>;

std::string Say(IspDevice& chip, const std::string& bytes) {
  std::string out;
  chip.receive(bytes, out);
  return out;
}

// A chip past the autobaud with echo off, so that each answer is the answer alone.
IspDevice QuietChip() {
  IspDevice chip;
  Say(chip, "?");
  Say(chip, "Synchronized\r\n");
  Say(chip, "12000\r\n");
  Say(chip, "A 0\r\n");
  return chip;
}

TEST(LpcIspDevice, AutobaudThenEchoedLines) {
  IspDevice chip;
  EXPECT_EQ(Say(chip, "x"), "") << "nothing but ? before the autobaud";
  EXPECT_EQ(Say(chip, "?"), "Synchronized\r\n");
  EXPECT_EQ(Say(chip, "Synchronized\r\n"), "Synchronized\r\nOK\r\n");
  EXPECT_EQ(Say(chip, "14746\r\n"), "14746\r\nOK\r\n");
  EXPECT_EQ(chip.record().crystalKHz, 14746u);
  EXPECT_EQ(Say(chip, "J\r\n"), "J\r\n0\r\n638664503\r\n");
  EXPECT_EQ(Say(chip, "A 0\r\n"), "A 0\r\n0\r\n") << "the switch comes after the answer";
  EXPECT_EQ(Say(chip, "N\r\n"), "0\r\n439041101\r\n1437204735\r\n1\r\n4275878552\r\n");
  EXPECT_EQ(Say(chip, "A 1\n"), "0\r\n");
  EXPECT_EQ(Say(chip, "K\r\n"), "K\r\n0\r\n4\r\n1\r\n");
}

TEST(LpcIspDevice, ReturnCodesFollowTheFlashRules) {
  struct Step {
    const char* command;
    const char* answer;
  };
  const Step steps[] = {
      {"X 1", "1"},      // unknown command
      {"P 1", "12"},     // too few arguments
      {"P 5 3", "7"},    // sectors backwards
      {"P 0 30", "7"},   // no sector 30
      {"E 0 1", "15"},   // locked
      {"U 1234", "16"},  // wrong unlock code
      {"U 23130", "0"},
      {"E 0 1", "9"},  // not prepared
      {"P 0 1", "0"},
      {"E 0 1", "0"},
      {"E 0 1", "9"},          // the prepare is used up
      {"W 268439553 4", "3"},  // RAM address not word aligned
      {"W 268439552 6", "6"},  // count not a multiple of 4
      {"W 268435456 4", "5"},  // the bootloader's own RAM
      {"C 128 268439552 256", "3"},
      {"C 0 268439552 300", "6"},
      {"C 0 268439552 256", "9"},
      {"P 0 0", "0"},
      {"C 0 268439554 256", "2"},
      {"C 0 268439552 256", "0"},
      {"R 524288 4", "4"},  // beyond the flash
      {"B 1000 1", "17"},
      {"B 9600 3", "18"},
      {"G 0 Q", "12"},
  };
  IspDevice chip = QuietChip();
  for (const Step& step : steps) {
    EXPECT_EQ(Say(chip, std::string(step.command) + "\r\n"), std::string(step.answer) + "\r\n") << step.command;
  }
}

TEST(LpcIspDevice, WriteCopyAndReadBackAKnownLine) {
  IspDevice chip = QuietChip();
  // "Cats" is one line of 4 bytes: '$' then two groups; its checksum 67 + 97 + 116 + 115.
  EXPECT_EQ(Say(chip, "W 268439552 4\r\n"), "0\r\n");
  EXPECT_EQ(Say(chip, "$0V%T<P``\r\n"), "");
  EXPECT_EQ(Say(chip, "394\r\n"), "RESEND\r\n") << "a wrong checksum";
  Say(chip, "$0V%T<P``\r\n");
  EXPECT_EQ(Say(chip, "395\r\n"), "OK\r\n");
  EXPECT_EQ(Say(chip, "U 23130\r\nP 1 1\r\nC 4096 268439552 256\r\n"), "0\r\n0\r\n0\r\n");
  EXPECT_EQ(Bytes(chip.flash().begin() + 4096, chip.flash().begin() + 4100), (Bytes{'C', 'a', 't', 's'}));
  EXPECT_EQ(Say(chip, "R 4096 4\r\n"), "0\r\n$0V%T<P``\r\n395\r\n");
  EXPECT_EQ(Say(chip, "RESEND\r\n"), "$0V%T<P``\r\n395\r\n");
  EXPECT_EQ(Say(chip, "OK\r\n"), "");
  EXPECT_EQ(chip.record().resendsSent, 1u);
  EXPECT_EQ(chip.record().resendsReceived, 1u);
}

TEST(LpcIspDevice, ATransferChecksEveryTwentyLines) {
  IspDevice chip = QuietChip();
  const Bytes data(21 * 45 + 3, 0x01);  // 948 bytes: one block of 20 lines, one of 2
  Say(chip, "W 268439552 948\r\n");
  std::string answers;
  for (size_t at = 0; at < data.size(); at += 45) {
    const size_t n = std::min<size_t>(45, data.size() - at);
    answers += Say(chip, qfsim::simUuEncodeLine(data.data() + at, n) + "\r\n");
    if (at == 19 * 45) answers += Say(chip, "900\r\n");
  }
  answers += Say(chip, "48\r\n");
  EXPECT_EQ(answers, "OK\r\nOK\r\n");
  EXPECT_EQ(Bytes(chip.ram().begin() + 0x1000, chip.ram().begin() + 0x1000 + 948), data);
}

TEST(LpcIspDevice, FaultsMisleadTheHost) {
  IspDevice chip;
  chip.faults().silent = true;
  EXPECT_EQ(Say(chip, "?"), "");
  chip.faults().silent = false;
  chip.faults().crystalAnswer = "NO\r\n";
  Say(chip, "?");
  Say(chip, "Synchronized\r\n");
  EXPECT_EQ(Say(chip, "1\r\n"), "1\r\nNO\r\n");
  chip.faults().failCommands = {{'U', 19}};
  EXPECT_EQ(Say(chip, "U 23130\r\n"), "U 23130\r\n19\r\n");
  EXPECT_EQ(Say(chip, "G 0 T\r\n"), "G 0 T\r\n0\r\n");
  EXPECT_EQ(Say(chip, "J\r\n"), "") << "a running chip no longer listens";
  EXPECT_TRUE(chip.record().executed);
}

}  // namespace
