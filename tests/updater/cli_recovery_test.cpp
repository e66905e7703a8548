// The updater program's chip commands, run as a child process against the simulated LPC
// bootloader and i.MX boot ROM on pseudo-terminals: the fingerprint ("-N"), alone and before
// another command, and the recovery of a module's firmware ("-U -t RECOVER"). Once the i.MX ROM
// has jumped, its live loader appears as a simulated module on the fake USB bus of this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Quillfern-C.h"
#include "sim/lpcisp/simIspPort.h"
#include "sim/module/simEntities.h"
#include "sim/module/simUpgrade.h"
#include "sim/sdp/simSdpSerial.h"
#include "support/bird_generator.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/updater_program.h"
#include "support/usb_sim_module.h"

namespace {

using qfsim::IspDevice;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
namespace bird = qftest::bird;

// Nothing listens here: a run that asks the update server when it should not fails loudly.
const char kNoServer[] = "http://127.0.0.1:9/cgi/u";

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ChipCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(chip.start(&error)) << error;
  }
  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-i", folder / "store", "-u", kNoServer});
    return qftest::RunUpdater(args);
  }

  qftest::TempFolder folder;
  qfsim::SimIspPort chip;
};

TEST_F(ChipCommands, FingerprintAloneAndBeforeAnotherCommand) {
  struct Case {
    Args args;
    int status;
    std::vector<std::string> out;
    std::vector<std::string> err;
  };
  const std::string fingerprint = "[ 1A2B3C4D 55AA00FF 00000001 FEDCBA98 ]\n";
  const std::vector<Case> cases = {
      {{"-N", "-s", chip.path()}, 0, {fingerprint}, {}},
      {{"-N", "-s", chip.path(), "-L", "-d", "5"}, 0, {fingerprint, "No builds found for device [00000005]"}, {}},
      {{"-N", "-s", folder / "no-port"}, 1, {}, {"Got no response from chip"}},
      // The last command run decides the status.
      {{"-N", "-s", folder / "no-port", "-L", "-d", "5"}, 0, {"No builds found"}, {"Got no response from chip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const UpdaterResult result = run(c.args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    for (const std::string& part : c.out) EXPECT_TRUE(_has(result.out, part)) << result.out;
    for (const std::string& part : c.err) EXPECT_TRUE(_has(result.err, part)) << result.err;
  }
}

TEST_F(ChipCommands, RecoveryFlashesTheDescrambledImageFromAFile) {
  const qfsim::IspIdentity identity;
  const Bytes plain = bird::randomBytes(5000, 7);
  const std::string image = folder / "recovery.bird";
  bird::writeFile(image, bird::wrap(bird::compress(bird::encodeBody(
                             {bird::imageBlock(bird::FIRMWARE, 0x1000, bird::scramble(plain, identity.serial)),
                              bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-100")}))));

  const UpdaterResult result = run({"-U", "-t", "RECOVER", "-s", chip.path(), "-o", "57600", "-f", image});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(_has(result.out, "Update time: ")) << result.out;
  chip.withDevice([&](IspDevice& device) {
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), device.flash().begin() + 0x1000));
    EXPECT_TRUE(device.record().executed);
  });

  const UpdaterResult missing = run({"-U", "-t", "RECOVER", "-s", chip.path(), "-f", folder / "none.bird"});
  EXPECT_EQ(missing.status, 1) << missing.out << missing.err;
}

// A chip that refuses to start from the new image is no recovered chip.
TEST_F(ChipCommands, RefusedStartFailsTheRecovery) {
  const qfsim::IspIdentity identity;
  const std::string image = folder / "recovery.bird";
  bird::writeFile(image, bird::wrap(bird::compress(bird::encodeBody({bird::imageBlock(
                             bird::FIRMWARE, 0x0, bird::scramble(bird::randomBytes(600, 8), identity.serial))}))));
  chip.withDevice([](IspDevice& device) { device.faults().failCommands = {{'G', 15}}; });
  const UpdaterResult result = run({"-U", "-t", "RECOVER", "-s", chip.path(), "-f", image});
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_TRUE(_has(result.err, "CMD_LOCKED (15)")) << result.err;
  EXPECT_FALSE(_has(result.out, "Rebooting Device")) << result.out;
}

std::string _lpc_image(const std::string& path, const Bytes& plain, const qfsim::IspIdentity& identity) {
  bird::writeFile(path, bird::wrap(bird::compress(bird::encodeBody(
                            {bird::imageBlock(bird::FIRMWARE, 0x0, bird::scramble(plain, identity.serial))}))));
  return path;
}

bool _nothing_received(const IspDevice& device) {
  return device.record().received.empty() && device.record().syncRate == 0;
}

bool _erased(const IspDevice& device) {
  const std::vector<std::string>& commands = device.record().commands;
  return std::any_of(commands.begin(), commands.end(),
                     [](const std::string& line) { return line.rfind("E ", 0) == 0; });
}

// One run on a chip at a time. While a recovery of module 0012ABCD waits for the chip's erase,
// a run on the same port finds the port busy, and a run for the same module, by either road and
// on any port, finds its update taken. Each ends with status 1, having sent nothing, and the
// recovery flashes its image whole.
TEST_F(ChipCommands, RunsBesideARecoveryOfTheChipOrItsModuleSendNothing) {
  const qfsim::IspIdentity identity;
  const Bytes plain = bird::randomBytes(3000, 9);
  const std::string image = _lpc_image(folder / "recovery.bird", plain, identity);
  // Long enough for the runs beside it; the erase's own wait is longer.
  chip.withDevice([](IspDevice& device) { device.faults().replyDelayMs = {{'E', 4000}}; });
  qftest::UpdaterProgram recovery(
      {"-U", "-t", "RECOVER", "-s", chip.path(), "-d", "12ABCD", "-f", image, "-i", folder / "store", "-u", kNoServer});
  ASSERT_TRUE(chip.waitUntil(_erased, std::chrono::seconds(20))) << "the recovery never erased";

  qfsim::SimIspPort other;
  ASSERT_TRUE(other.start());
  const std::string portBusy = "Serial port " + chip.path() + " is busy";
  const std::string moduleTaken = "another update of module [0012ABCD] is running";
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"-U", "-t", "RECOVER", "-s", chip.path(), "-f", image}, portBusy},
      {{"-N", "-s", chip.path()}, portBusy},
      {{"-U", "-t", "RECOVER", "-s", other.path(), "-d", "12ABCD", "-f", image}, moduleTaken},
      {{"-U", "-d", "12ABCD", "-f", image}, moduleTaken},
  };
  for (const auto& [args, said] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const UpdaterResult refused = run(args);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_TRUE(_has(refused.err, said)) << refused.err;
  }
  other.withDevice([](IspDevice& device) { EXPECT_TRUE(_nothing_received(device)); });

  const UpdaterResult result = recovery.finish();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  chip.withDevice([&](IspDevice& device) {
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), device.flash().begin())) << "the flash differs";
    EXPECT_TRUE(device.record().executed);
  });
}

// Without a file the module is known once the update server names it for the chip's fingerprint:
// its update lock is taken then, before anything is erased. While an update of that module runs
// (its lock held here), the recovery stops with status 1 and the chip keeps its flash.
TEST_F(ChipCommands, ARecoveryOfAModuleUnderUpdateErasesNothing) {
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  const qfsim::IspIdentity identity;
  char fingerprint[64];
  snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", identity.serial[0], identity.serial[1],
           identity.serial[2], identity.serial[3]);
  server.addRecovery(fingerprint, "0012ABCD", "41");
  const Bytes plain = bird::randomBytes(2000, 10);
  server.addBuild(0x0012ABCD, "41", qftest::ReadWholeFile(_lpc_image(folder / "41.bird", plain, identity)));
  const Args recover{"-U", "-t", "RECOVER", "-s", chip.path(), "-i", folder / "store", "-u", server.baseUrl()};

  const std::string deviceFolder = folder / "store/updater/0012ABCD";
  std::filesystem::create_directories(deviceFolder);
  const int update = ::open((deviceFolder + "/.update.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(update, 0);
  ASSERT_EQ(::flock(update, LOCK_EX), 0);
  const UpdaterResult refused = qftest::RunUpdater(recover);
  ::close(update);
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_TRUE(_has(refused.err, "another update of module [0012ABCD] is running")) << refused.err;
  chip.withDevice([](IspDevice& device) { EXPECT_FALSE(_erased(device)); });

  const UpdaterResult result = qftest::RunUpdater(recover);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  chip.withDevice(
      [&](IspDevice& device) { EXPECT_TRUE(std::equal(plain.begin(), plain.end(), device.flash().begin())); });
}

// What stands at the port's path is said before anything is tried on it.
TEST(ChipPorts, APortThatIsNoTerminalIsNamedWithTheReason) {
  qftest::TempFolder folder;
  const std::string file = folder / "regular";
  qftest::WriteWholeFile(file, "not a port");
  const std::string missing = folder / "missing";
  const std::string directory = folder.path();
  struct Case {
    std::string port;
    std::string said;
  };
  const Case cases[] = {
      {missing, "Could not open serial port " + missing + ": No such file or directory"},
      {file, file + " is not a terminal: Inappropriate ioctl for device"},
      {"/dev/null", "/dev/null is not a terminal: Inappropriate ioctl for device"},
      {directory, "Could not open serial port " + directory + ": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    for (const Args& command : {Args{"-U", "-t", "RECOVER", "-f", file}, Args{"-N"}}) {
      Args args = command;
      args.insert(args.end(), {"-s", c.port, "-i", folder / "store", "-u", kNoServer});
      const UpdaterResult result = qftest::RunUpdater(args);
      EXPECT_EQ(result.status, 1) << result.out << result.err;
      const size_t said = result.err.find(c.said);
      EXPECT_NE(said, std::string::npos) << result.err;
      const char* partText = command[0] == "-N" ? "Got no response from chip" : "Could not get Device Identifier";
      EXPECT_GT(result.err.find(partText), said) << result.err;
    }
  }
}

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kJumpAddress = 0x20000400;
constexpr uint8_t kSystemUniqueIdentifier = 39;

// Run against both framings a ROM may have: commands counted from the association key, or from
// the first byte it received (the LPC probe's bytes included).
class ImxChipCommands : public ::testing::TestWithParam<qfsim::SimSdpFraming> {
 protected:
  void SetUp() override {
    if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<qftest::UsbFake>();
    std::string error;
    rom.setLineFaults({.framing = GetParam()});
    ASSERT_TRUE(rom.start(&error)) << error;
    bird::writeFile(
        image,
        bird::wrap(bird::compress(bird::encodeBody(
            {bird::imageBlock(bird::LOADER, kLoaderAddress, loader), bird::imageBlock(bird::FIRMWARE, 0x4000, firmware),
             bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-Core"), bird::jumpAddressBlock(kJumpAddress)}))));
  }
  void TearDown() override {
    module.reset();
    fake.reset();
  }

  // Runs the program; once the ROM has jumped, the live loader answers on USB under the
  // default serial number.
  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-s", rom.path(), "-i", folder / "store", "-u", kNoServer});
    qftest::UpdaterProgram program(args);
    if (rom.rom().waitUntilStopped(std::chrono::seconds(30))) {
      qftest::UsbSimModuleOptions options;
      options.serialNumber = 0xDEADDEAD;
      module = std::make_unique<qftest::UsbSimModule>(*fake, options);
      qfsim::SimOption identifier = qfsim::SimOption::u32(0);
      for (uint8_t i = 0; i < 4; ++i) identifier.subvalues[i] = bird::be32(0x11111111u * (i + 1));
      entities->define(qfsim::kSimClassSystem, 0, kSystemUniqueIdentifier, identifier);
      qfsim::SimEntities::attach(entities, *module);
      qfsim::SimUpgradeSettings settings;
      settings.loaderRunning = true;  // the live loader takes firmware at once
      upgrade->setSettings(settings);
      qfsim::SimUpgrade::attach(upgrade, entities, *module);
    }
    return program.finish(std::chrono::seconds(60));
  }

  qftest::TempFolder folder;
  const std::string image = folder / "recovery.bird";
  const Bytes loader = bird::randomBytes(3000, 21);
  const Bytes firmware = bird::randomBytes(1500, 22);
  std::unique_ptr<qftest::UsbFake> fake;
  qfsim::SimSdpSerial rom;
  std::unique_ptr<qftest::UsbSimModule> module;
  std::shared_ptr<qfsim::SimEntities> entities = std::make_shared<qfsim::SimEntities>();
  std::shared_ptr<qfsim::SimUpgrade> upgrade = std::make_shared<qfsim::SimUpgrade>();
};

// The loader comes from the default recovery image, the latest download of the store entry of
// the serial number that stands for none; subindex 0 of the identifier lands in the last word.
TEST_P(ImxChipCommands, FingerprintFromTheLiveLoader) {
  const std::string entry = folder / "store/updater/DEADDEAD";
  std::filesystem::create_directories(entry);
  std::filesystem::copy_file(image, entry + "/77.bird");
  qftest::WriteWholeFile(entry + "/.settings", "LATEST_DOWNLOAD=77.bird\n");
  const UpdaterResult result = run({"-N"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(_has(result.out, "[ 44444444 33333333 22222222 11111111 ]\n")) << result.out;
  EXPECT_EQ(rom.rom().memory(kLoaderAddress, loader.size()), loader);
}

TEST_P(ImxChipCommands, RecoveryLoadsTheLoaderThenTheFirmware) {
  const UpdaterResult result = run({"-U", "-t", "RECOVER", "-d", "12ABCD", "-f", image});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  ASSERT_EQ(rom.rom().jumps().size(), 1u);
  EXPECT_EQ(rom.rom().jumps()[0].address, kJumpAddress);
  const qfsim::SimUpgradeRecord record = upgrade->record();
  ASSERT_EQ(record.firmware.size(), 1u);
  EXPECT_EQ(record.firmware[0].bytes, firmware);
  EXPECT_EQ(rom.rom().memory(kLoaderAddress, loader.size()), loader);
}

INSTANTIATE_TEST_SUITE_P(Framings, ImxChipCommands,
                         ::testing::Values(qfsim::SimSdpFraming::afterKey, qfsim::SimSdpFraming::fromFirstByte),
                         [](const testing::TestParamInfo<qfsim::SimSdpFraming>& framing) {
                           return framing.param == qfsim::SimSdpFraming::afterKey ? "CountedFromTheKey"
                                                                                  : "CountedFromTheFirstByte";
                         });

}  // namespace
