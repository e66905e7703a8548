// The LPC recovery road end to end against the simulated LPC bootloader on a pseudo-terminal:
// the fingerprint, the whole flash of a scrambled recovery image compared byte for byte, the
// rate the chip locked on to, a chip already synchronised by an earlier run, and every failure
// shown to the user with what failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/Updater_recovery.h"
#include "sim/lpcisp/simIspPort.h"
#include "support/bird_generator.h"
#include "support/log_capture.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "updater/Updater.h"

namespace {

using qfsim::IspDevice;
using qfsim::IspIdentity;
using qfsim::SimIspPort;
using qftest::RecordingDisplay;
using Bytes = std::vector<uint8_t>;
namespace bird = qftest::bird;

// Nothing listens here: a road that asks the update server when it should not fails loudly.
const char kNoServer[] = "http://127.0.0.1:9/cgi/u";
constexpr uint32_t kSerial = 0x0012ABCD;

struct Piece {
  uint32_t address;
  Bytes plain;
};

IspIdentity Chip() { return IspIdentity{}; }

bool HasLine(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class LpcRecovery : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(chip.start(&error)) << error;
    // Leftovers in the chip's RAM: nothing of them may reach the flash.
    chip.withDevice([](IspDevice& d) { d.fillRam(0xA5); });
  }

  // A recovery image: each piece's payload scrambled with the chip's fingerprint.
  std::string WriteImage(const std::vector<Piece>& pieces) {
    const IspIdentity identity = Chip();
    std::vector<bird::Block> blocks;
    for (const Piece& piece : pieces) {
      blocks.push_back(bird::imageBlock(bird::FIRMWARE, piece.address, bird::scramble(piece.plain, identity.serial)));
    }
    blocks.push_back(bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-100"));
    const std::string path = folder / "recovery.bird";
    bird::writeFile(path, bird::wrap(bird::compress(bird::encodeBody(blocks))));
    return path;
  }

  bool Recover(const std::string& file, uint32_t baud = 115200, uint32_t serial = kSerial,
               const std::string& url = kNoServer, uint32_t build = 0) {
    Updater updater(url, folder / "store", display);
    return updater.Recover_Firmware(chip.path(), build, baud, serial, file, false);
  }

  Bytes Flash(uint32_t address, size_t length) {
    Bytes bytes;
    chip.withDevice(
        [&](IspDevice& d) { bytes.assign(d.flash().begin() + address, d.flash().begin() + address + length); });
    return bytes;
  }

  // The flash holds the pieces and erased bytes everywhere else.
  void ExpectFlashHolds(const std::vector<Piece>& pieces) {
    Bytes expected(IspDevice::kFlashSize, 0xFF);
    for (const Piece& piece : pieces)
      std::copy(piece.plain.begin(), piece.plain.end(), expected.begin() + piece.address);
    const Bytes flash = Flash(0, IspDevice::kFlashSize);
    ASSERT_EQ(flash.size(), expected.size());
    for (size_t i = 0; i < flash.size(); ++i) {
      if (flash[i] != expected[i]) {
        ADD_FAILURE() << "flash differs first at 0x" << std::hex << i << ": 0x" << int(flash[i]) << " != 0x"
                      << int(expected[i]);
        return;
      }
    }
  }

  qftest::TempFolder folder;
  SimIspPort chip{Chip()};
  RecordingDisplay display;
};

TEST_F(LpcRecovery, FingerprintIsTheFourIdentificationNumbers) {
  Updater updater(kNoServer, folder / "store", display);
  Fingerprint fingerprint;
  ASSERT_TRUE(updater.Get_Fingerprint(fingerprint, chip.path(), Updater::DEFAULT_SERIAL_NUMBER, "", 115200, true));
  const IspIdentity identity = Chip();
  EXPECT_TRUE(std::equal(std::begin(identity.serial), std::end(identity.serial), fingerprint.words));
  EXPECT_TRUE(display.all().empty());
}

// A payload of 10000 bytes goes as 4096, 4096 and 1808 bytes; at 0x800 the short last chunk's
// copy of 4096 bytes reaches into a sector of its own, and RAM beyond its 1808 bytes holds stale
// bytes that must not be burnt.
TEST_F(LpcRecovery, FlashHoldsTheDescrambledImageAndErasedBytesBeyond) {
  const std::vector<Piece> pieces = {{0x800, bird::randomBytes(10000, 3)}, {0x10000, bird::randomBytes(300, 4)}};
  ASSERT_TRUE(Recover(WriteImage(pieces))) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
  chip.withDevice([](IspDevice& d) {
    EXPECT_TRUE(d.record().executed);
    EXPECT_EQ(d.record().executeAddress, 0u);
    EXPECT_TRUE(d.echo()) << "echo is back on for the next session";
    EXPECT_EQ(d.record().garbledBytes, 0u);
  });
  const std::vector<std::string> infos = display.infos();
  EXPECT_TRUE(HasLine(infos, "Transferring firmware block 1 of 2, 10000 bytes"));
  EXPECT_TRUE(HasLine(infos, "Transferring firmware block 2 of 2, 300 bytes"));
  EXPECT_TRUE(HasLine(infos, "Transferred 2 blocks, 10300 total bytes"));
  EXPECT_TRUE(HasLine(infos, "Rebooting Device"));
  EXPECT_TRUE(HasLine(infos, "Update time: "));
  EXPECT_TRUE(display.errors().empty()) << testing::PrintToString(display.errors());
}

// The chip locks on to the rate of its synchronisation: the whole road runs at the one rate
// asked for, and a rate of 0 (what a non-number after "-o" gives) is refused before the chip
// hears anything.
TEST_F(LpcRecovery, WholeRoadRunsAtTheRateAskedFor) {
  const std::vector<Piece> pieces = {{0x0, bird::randomBytes(1000, 5)}};
  const std::string file = WriteImage(pieces);
  ASSERT_TRUE(Recover(file, 9600)) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
  chip.withDevice([](IspDevice& d) {
    EXPECT_EQ(d.record().syncRate, 9600u);
    EXPECT_EQ(d.record().garbledBytes, 0u);
  });

  SimIspPort fresh{Chip()};
  ASSERT_TRUE(fresh.start());
  for (const uint32_t rate : {0u, 100000u}) {  // none, and one outside the rate table
    RecordingDisplay refused;
    Updater updater(kNoServer, folder / "store", refused);
    EXPECT_FALSE(updater.Recover_Firmware(fresh.path(), 0, rate, kSerial, file, false)) << rate;
    EXPECT_TRUE(HasLine(refused.errors(),
                        "Invalid baud rate: use one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400"))
        << rate;
  }
  fresh.withDevice([](IspDevice& d) { EXPECT_TRUE(d.record().received.empty()); });
}

// "-N" and then "-U -t RECOVER": the chip is still in command mode from the first run and only
// echoes the second run's "?".
TEST_F(LpcRecovery, ChipSynchronisedByAnEarlierRunIsRecoveredAgain) {
  const std::vector<Piece> pieces = {{0x2000, bird::randomBytes(5000, 6)}};
  const std::string file = WriteImage(pieces);
  {
    Updater first(kNoServer, folder / "store", display);
    Fingerprint fingerprint;
    ASSERT_TRUE(first.Get_Fingerprint(fingerprint, chip.path(), Updater::DEFAULT_SERIAL_NUMBER, "", 115200, true));
  }
  ASSERT_TRUE(Recover(file)) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
  chip.withDevice([](IspDevice& d) {
    EXPECT_EQ(std::count(d.record().commands.begin(), d.record().commands.end(), "U 23130"), 1);
  });
}

// The chip asks for blocks again: they are sent again and land whole.
TEST_F(LpcRecovery, ResentBlocksLandWhole) {
  chip.withDevice([](IspDevice& d) { d.faults().resendWriteChecksums = 2; });
  const std::vector<Piece> pieces = {{0x4000, bird::randomBytes(6000, 7)}};
  ASSERT_TRUE(Recover(WriteImage(pieces))) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
  chip.withDevice([](IspDevice& d) { EXPECT_EQ(d.record().resendsSent, 2u); });
}

// Only a closing 4-byte block is an end marker: a 4-byte block in the middle is flashed, and so
// is everything after it; the count shown is the number of blocks flashed.
TEST_F(LpcRecovery, OnlyAClosingFourByteBlockEndsTheImage) {
  const std::vector<Piece> written = {
      {0x0, bird::randomBytes(256, 8)}, {0x1000, {1, 2, 3, 4}}, {0x2000, bird::randomBytes(512, 9)}};
  std::vector<Piece> pieces = written;
  pieces.push_back({0x3000, {9, 9, 9, 9}});
  ASSERT_TRUE(Recover(WriteImage(pieces))) << testing::PrintToString(display.all());
  ExpectFlashHolds(written);
  EXPECT_TRUE(HasLine(display.infos(), "Transferring firmware block 3 of 3, 512 bytes"));
  EXPECT_TRUE(HasLine(display.infos(), "Transferred 3 blocks, 772 total bytes"));
}

// Every refusal on the flash road is shown with what failed and the chip's answer by name; the
// chip is not started (or refused to start), is left with echo on, and the next run recovers it.
TEST_F(LpcRecovery, EveryRefusalIsShownWithWhatFailed) {
  struct Case {
    char letter;
    uint32_t code;
    const char* shown;
  };
  const Case cases[] = {
      {'U', 15, "Recovery Error: Unlock ==> [2, aErrParam], the chip answered CMD_LOCKED (15)"},
      {'E', 8, "Recovery Error: Erase ==> [2, aErrParam], the chip answered SECTOR_NOT_BLANK (8)"},
      {'W', 6,
       "Recovery Error: Write to RAM failed for firmware block 1 of 1 at address 0x00001000 ==> "
       "[2, aErrParam], the chip answered COUNT_ERROR (6)"},
      {'C', 9,
       "Recovery Error: Copy to flash failed for firmware block 1 of 1 at address 0x00001000 ==> "
       "[2, aErrParam], the chip answered SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION (9)"},
      {'G', 15, "Recovery Error: Start from address 0x00000000 ==> [2, aErrParam], the chip answered CMD_LOCKED (15)"},
      {'A', 25, "Recovery Error transfering data to device ==> [2, aErrParam], the chip answered Unknown error (25)"},
  };
  const std::vector<Piece> pieces = {{0x1000, bird::randomBytes(600, 10)}};
  const std::string file = WriteImage(pieces);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letter);
    SimIspPort refusing{Chip()};
    ASSERT_TRUE(refusing.start());
    refusing.withDevice([&](IspDevice& d) { d.faults().failCommands = {{c.letter, c.code}}; });
    RecordingDisplay shown;
    Updater updater(kNoServer, folder / "store", shown);
    EXPECT_FALSE(updater.Recover_Firmware(refusing.path(), 0, 115200, kSerial, file, false));
    EXPECT_TRUE(HasLine(shown.errors(), c.shown)) << testing::PrintToString(shown.errors());
    EXPECT_TRUE(HasLine(shown.infos(), "Update time: "));
    EXPECT_FALSE(HasLine(shown.infos(), "Rebooting Device"));
    refusing.withDevice([](IspDevice& d) {
      EXPECT_FALSE(d.record().executed);
      d.faults() = qfsim::IspFaults{};
    });
    if (c.letter == 'A') continue;  // echo could not be switched on: the chip needs a reset
    refusing.withDevice([](IspDevice& d) { EXPECT_TRUE(d.echo()); });
    RecordingDisplay again;
    Updater next(kNoServer, folder / "store", again);
    EXPECT_TRUE(next.Recover_Firmware(refusing.path(), 0, 115200, kSerial, file, false))
        << testing::PrintToString(again.all());
    refusing.withDevice([&](IspDevice& d) {
      EXPECT_TRUE(std::equal(pieces[0].plain.begin(), pieces[0].plain.end(), d.flash().begin() + 0x1000));
    });
  }
}

// An earlier run that was cut short left the chip in command mode with echo off: the next run
// takes it up from there.
TEST_F(LpcRecovery, ChipLeftWithEchoOffIsRecoveredAgain) {
  chip.withDevice([](IspDevice& d) { d.leaveInCommandMode(false); });
  const std::vector<Piece> pieces = {{0x3000, bird::randomBytes(2000, 15)}};
  ASSERT_TRUE(Recover(WriteImage(pieces))) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
  chip.withDevice([](IspDevice& d) { EXPECT_TRUE(d.echo()); });
}

// Nothing is erased for an image that cannot be written: no firmware to write, or a block
// outside the flash, off a page boundary, or over another.
TEST_F(LpcRecovery, ImagesThatCannotBeWrittenAreRefusedBeforeTheErase) {
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    const char* shown;
  };
  const Case cases[] = {
      {"end marker alone", {{0x0, {1, 2, 3, 4}}}, "Recovery Error: the recovery image holds no firmware to write"},
      {"empty payload", {{0x0, {}}}, "Recovery Error: the recovery image holds no firmware to write"},
      {"outside the flash",
       {{0x7FF00, bird::randomBytes(512, 16)}},
       "Recovery Error: firmware block 1 (0x0007FF00 to 0x000800FF) lies outside the flash (0x00000000 to 0x0007FFFF)"},
      {"off a page",
       {{0x1080, bird::randomBytes(512, 17)}},
       "Recovery Error: firmware block 1 at 0x00001080 does not start on a 256-byte boundary"},
      {"overlapping",
       {{0x2000, bird::randomBytes(600, 18)},
        {0x1000, bird::randomBytes(256, 19)},
        {0x2200, bird::randomBytes(256, 20)}},
       "Recovery Error: firmware blocks 1 and 3 overlap at 0x00002200"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimIspPort fresh{Chip()};
    ASSERT_TRUE(fresh.start());
    fresh.withDevice([](IspDevice& d) { d.loadFlash(0, Bytes(0x4000, 0x5A)); });
    RecordingDisplay shown;
    Updater updater(kNoServer, folder / "store", shown);
    EXPECT_FALSE(updater.Recover_Firmware(fresh.path(), 0, 115200, kSerial, WriteImage(c.pieces), false));
    EXPECT_EQ(shown.errors(), std::vector<std::string>{c.shown});
    fresh.withDevice([](IspDevice& d) {
      EXPECT_EQ(d.record().commands, std::vector<std::string>{"N"}) << "only the fingerprint was asked for";
      EXPECT_EQ(d.flash()[0x10], 0x5A);
    });
  }
}

// A chip busy erasing answers late; the road waits for it.
TEST_F(LpcRecovery, LateEraseAnswerIsAwaited) {
  const std::vector<Piece> pieces = {{0x0, bird::randomBytes(700, 21)}};
  const std::string file = WriteImage(pieces);
  for (uint32_t delay : {500u, 2000u}) {
    SCOPED_TRACE(delay);
    SimIspPort slow{Chip()};
    ASSERT_TRUE(slow.start());
    slow.withDevice([&](IspDevice& d) { d.faults().replyDelayMs = {{'E', delay}}; });
    RecordingDisplay shown;
    Updater updater(kNoServer, folder / "store", shown);
    EXPECT_TRUE(updater.Recover_Firmware(slow.path(), 0, 115200, kSerial, file, false))
        << testing::PrintToString(shown.all());
    slow.withDevice([&](IspDevice& d) {
      EXPECT_TRUE(std::equal(pieces[0].plain.begin(), pieces[0].plain.end(), d.flash().begin()));
    });
  }
}

// The chip's echo of the identification command comes doubled: the key is read right all the
// same, and the image descrambles to what was meant.
TEST_F(LpcRecovery, DoubledEchoOfTheIdentificationKeepsTheKey) {
  chip.withDevice([](IspDevice& d) { d.faults().doubledEcho = {'N'}; });
  const std::vector<Piece> pieces = {{0x0, bird::randomBytes(3000, 22)}};
  ASSERT_TRUE(Recover(WriteImage(pieces))) << testing::PrintToString(display.all());
  ExpectFlashHolds(pieces);
}

// A chip that never answers is no LPC chip: the road turns to the i.MX bootloader, which then
// needs a serial number for a given file.
TEST_F(LpcRecovery, SilentChipIsNoLpcChip) {
  chip.withDevice([](IspDevice& d) { d.faults().silent = true; });
  const std::string file = WriteImage({{0x0, bird::randomBytes(256, 11)}});
  EXPECT_FALSE(Recover(file, 115200, 0));
  EXPECT_EQ(display.errors(),
            (std::vector<std::string>{"Add serial number or remove the bird filename to use a default recovery image.",
                                      "Could not get Device Identifier"}));
}

// Without a file the update server names the serial number and build for the fingerprint; the
// build is downloaded into the store and flashed. A given build replaces the server's.
TEST_F(LpcRecovery, ServerNamesTheRecoveryBuild) {
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  const IspIdentity identity = Chip();
  char fingerprint[64];
  snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", identity.serial[0], identity.serial[1],
           identity.serial[2], identity.serial[3]);
  server.addRecovery(fingerprint, "00ABCDEF", "41");
  const std::vector<Piece> served = {{0x0, bird::randomBytes(700, 12)}};
  const std::vector<Piece> asked = {{0x0, bird::randomBytes(900, 13)}};
  for (auto [build, pieces] : {std::pair{"41", served}, std::pair{"42", asked}}) {
    const std::string path = WriteImage(pieces);
    server.addBuild(0x00ABCDEF, build, qftest::ReadWholeFile(path));
  }

  ASSERT_TRUE(Recover("", 115200, kSerial, server.baseUrl())) << testing::PrintToString(display.all());
  ExpectFlashHolds(served);

  SimIspPort second{Chip()};
  ASSERT_TRUE(second.start());
  Updater updater(server.baseUrl(), folder / "store", display);
  ASSERT_TRUE(updater.Recover_Firmware(second.path(), 42, 115200, kSerial, "", false));
  Bytes flashed;
  second.withDevice([&](IspDevice& d) { flashed.assign(d.flash().begin(), d.flash().begin() + 900); });
  EXPECT_EQ(flashed, asked[0].plain);
  const std::vector<std::string> requests = server.requests();
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [&](const std::string& r) {
    return r.find(fingerprint) != std::string::npos;
  })) << testing::PrintToString(requests);
}

// With a file no request is made, and the given build is not used.
TEST_F(LpcRecovery, FileMakesNoServerRequest) {
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  const std::vector<Piece> pieces = {{0x0, bird::randomBytes(400, 14)}};
  ASSERT_TRUE(Recover(WriteImage(pieces), 115200, kSerial, server.baseUrl(), 99));
  ExpectFlashHolds(pieces);
  EXPECT_TRUE(server.requests().empty()) << testing::PrintToString(server.requests());
}

}  // namespace
