// The i.MX recovery road end to end: the simulated boot ROM takes the live loader over its serial
// download protocol (on a pseudo-terminal, or as a fake USB HID device), and once it has jumped,
// the live loader appears as a simulated module on a fake USB bus (the real libusb over
// umockdev), answering under the default serial number. The road runs on a thread of its own so
// that the test can plug the module in when the ROM lets go.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Quillfern-C.h"
#include "recovery/Updater_recovery.h"
#include "sim/lpcisp/simIspPort.h"
#include "sim/module/simEntities.h"
#include "sim/module/simUpgrade.h"
#include "sim/sdp/simSdpSerial.h"
#include "support/bird_generator.h"
#include "support/log_capture.h"
#include "support/recording_display.h"
#include "support/sdp_hid_rom.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/usb_sim_module.h"
#include "updater/Updater.h"

namespace {

using qftest::RecordingDisplay;
using Bytes = std::vector<uint8_t>;
namespace bird = qftest::bird;
using std::chrono::milliseconds;

const char kNoServer[] = "http://127.0.0.1:9/cgi/u";
constexpr uint32_t kSerial = 0x0012ABCD;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kJumpAddress = 0x20000400;
constexpr uint8_t kSystemUniqueIdentifier = 39;
constexpr uint8_t kModuleAddress = 2;
// The identifier read at subindex 0, 1, 2, 3.
constexpr uint32_t kIdentifier[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
constexpr milliseconds kJumpWait{30000};

struct Road {
  Bytes loader = bird::randomBytes(3000, 21);
  std::vector<std::pair<uint32_t, Bytes>> firmware = {{0x00004000, bird::randomBytes(1500, 22)},
                                                      {0x00008000, bird::randomBytes(700, 23)}};
  uint32_t jump = kJumpAddress;
};

Bytes BirdFileOf(const Road& road) {
  std::vector<bird::Block> blocks = {bird::imageBlock(bird::LOADER, kLoaderAddress, road.loader)};
  for (const auto& [address, payload] : road.firmware)
    blocks.push_back(bird::imageBlock(bird::FIRMWARE, address, payload));
  blocks.push_back(bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-100"));
  blocks.push_back(bird::jumpAddressBlock(road.jump));
  return bird::wrap(bird::compress(bird::encodeBody(blocks)));
}

class ImxRecovery : public testing::Test {
 protected:
  void SetUp() override {
    if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<qftest::UsbFake>();
  }
  // Released in the order the fake bus needs: the road's links, the libusb context, the module,
  // the bus.
  void TearDown() override {
    if (road.joinable()) road.join();
    Quillfern_libusb_exit();
    module.reset();
    hidRom.reset();
    fake.reset();
  }

  void StartSerialRom() {
    serialRom = std::make_unique<qfsim::SimSdpSerial>();
    std::string error;
    ASSERT_TRUE(serialRom->start(&error)) << error;
  }
  qfsim::SimSdpRom& Rom() { return hidRom ? hidRom->rom() : serialRom->rom(); }
  std::string Port() const { return hidRom ? "USB" : serialRom->path(); }

  std::string WriteBird(const Road& plan, const std::string& name = "recovery.bird") {
    const std::string path = folder / name;
    bird::writeFile(path, BirdFileOf(plan));
    return path;
  }

  // Runs the road on its own thread; once the ROM has jumped, the live loader appears on USB.
  void RunRoad(std::function<bool()> work) {
    road = std::thread([this, work] { result = work(); });
    if (Rom().waitUntilStopped(kJumpWait)) PlugInLiveLoader();
  }
  void PlugInLiveLoader() {
    qftest::UsbSimModuleOptions options;
    options.address = kModuleAddress;
    options.serialNumber = Updater::DEFAULT_SERIAL_NUMBER;
    module = std::make_unique<qftest::UsbSimModule>(*fake, options);
    qfsim::SimOption identifier = qfsim::SimOption::u32(0);
    for (uint8_t i = 0; i < 4; ++i) identifier.subvalues[i] = bird::be32(kIdentifier[i]);
    entities->define(qfsim::kSimClassSystem, 0, kSystemUniqueIdentifier, identifier);
    qfsim::SimEntities::attach(entities, *module);
    qfsim::SimUpgradeSettings settings = upgrade->settings();
    settings.loaderRunning = true;  // the live loader: it takes firmware at once
    upgrade->setSettings(settings);
    qfsim::SimUpgrade::attach(upgrade, entities, *module);
  }
  bool Finish() {
    road.join();
    return result;
  }

  void ExpectLoaderRan(const Road& plan) {
    EXPECT_EQ(Rom().memory(kLoaderAddress, plan.loader.size()), plan.loader);
    ASSERT_EQ(Rom().jumps().size(), 1u);
    EXPECT_EQ(Rom().jumps()[0].address, plan.jump);
  }

  // The firmware reached the live loader, byte for byte.
  void ExpectFirmwareLanded(const Road& plan) {
    const std::vector<qfsim::SimImage> images = upgrade->record().firmware;
    ASSERT_EQ(images.size(), plan.firmware.size());
    for (size_t i = 0; i < images.size(); ++i) {
      EXPECT_EQ(images[i].address, plan.firmware[i].first);
      EXPECT_EQ(images[i].bytes, plan.firmware[i].second);
    }
  }

  Fingerprint Expected() const {
    Fingerprint expected;
    for (int i = 0; i < 4; ++i) expected.words[3 - i] = kIdentifier[i];
    return expected;
  }

  qftest::TempFolder folder;
  std::unique_ptr<qftest::UsbFake> fake;
  std::unique_ptr<qfsim::SimSdpSerial> serialRom;
  std::unique_ptr<qftest::SdpHidRom> hidRom;
  std::unique_ptr<qftest::UsbSimModule> module;
  std::shared_ptr<qfsim::SimEntities> entities = std::make_shared<qfsim::SimEntities>();
  std::shared_ptr<qfsim::SimUpgrade> upgrade = std::make_shared<qfsim::SimUpgrade>();
  RecordingDisplay display;
  std::thread road;
  bool result = false;
};

// "-d" given: the live loader answers under the default serial number and is found all the same;
// subindex 0 lands in the last word.
TEST_F(ImxRecovery, FingerprintFromTheLiveLoaderOverTheSerialPort) {
  StartSerialRom();
  const Road plan;
  const std::string file = WriteBird(plan);
  Fingerprint fingerprint;
  Updater updater(kNoServer, folder / "store", display);
  RunRoad([&] { return updater.Get_Fingerprint(fingerprint, Port(), kSerial, file, 115200, true); });
  ASSERT_TRUE(Finish()) << testing::PrintToString(display.all());
  ExpectLoaderRan(plan);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fingerprint.words[i], Expected().words[i]) << i;
}

// No file and a store entry for the default serial number that names no download: the newest
// build is downloaded (with the display muted) and its loader goes to the ROM.
TEST_F(ImxRecovery, StoreEntryWithoutDownloadFallsBackToTheDownload) {
  StartSerialRom();
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  const Road plan;
  server.addBuild(Updater::DEFAULT_SERIAL_NUMBER, "31", qftest::ReadWholeFile(WriteBird(plan)));
  std::filesystem::create_directories(folder / "store/DEADDEAD");
  Fingerprint fingerprint;
  Updater updater(server.baseUrl(), folder / "store", display);
  RunRoad([&] { return updater.Get_Fingerprint(fingerprint, Port(), 0, "", 115200, false); });
  ASSERT_TRUE(Finish()) << testing::PrintToString(display.all());
  ExpectLoaderRan(plan);
  EXPECT_TRUE(display.infos().empty()) << "muted while downloading: " << testing::PrintToString(display.infos());
  EXPECT_TRUE(std::filesystem::exists(folder / "store/DEADDEAD/31.bird"));
}

// A jump the ROM refuses ends the road with a message; nothing is looked for on USB.
TEST_F(ImxRecovery, RefusedJumpFailsTheRoad) {
  StartSerialRom();
  qftest::LogCapture log(Log::DEBUG_APP);
  Road plan;
  plan.jump = 0x30000000;  // nothing was written there
  Fingerprint fingerprint;
  Updater updater(kNoServer, folder / "store", display);
  EXPECT_FALSE(updater.Get_Fingerprint(fingerprint, Port(), kSerial, WriteBird(plan), 115200, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{
                                  "The boot ROM refused to start the loader at address 0x30000000: status 0x0BAD1234"});
  EXPECT_TRUE(log.contains("Error loading liveloader.\n")) << log.text();
}

// The whole recovery over the ROM's USB HID device: loader, fingerprint, then the firmware
// through the live loader, compared byte for byte.
TEST_F(ImxRecovery, WholeRecoveryOverUsbHid) {
  hidRom = std::make_unique<qftest::SdpHidRom>(fake->testbed());
  const Road plan;
  const std::string file = WriteBird(plan);
  Updater updater(kNoServer, folder / "store", display);
  RunRoad([&] { return updater.Recover_Firmware("USB", 0, 115200, kSerial, file, false); });
  ASSERT_TRUE(Finish()) << testing::PrintToString(display.all());
  ExpectLoaderRan(plan);
  ExpectFirmwareLanded(plan);
}

// One run on the ROM's USB HID device at a time. While a recovery over it waits for its live
// loader, a fingerprint and a recovery of another module on "USB" beside it find the device busy
// and send the ROM nothing; the recovery then finishes whole.
TEST_F(ImxRecovery, RunsBesideAUsbRecoverySendTheRomNothing) {
  hidRom = std::make_unique<qftest::SdpHidRom>(fake->testbed());
  const Road plan;
  const std::string file = WriteBird(plan);
  Updater updater(kNoServer, folder / "store", display);
  road = std::thread([&] { result = updater.Recover_Firmware("USB", 0, 115200, kSerial, file, false); });
  ASSERT_TRUE(Rom().waitUntilStopped(kJumpWait)) << "the recovery never started its loader";

  const size_t writes = hidRom->hid().writeAttempts();
  const struct {
    const char* what;
    std::function<bool(Updater&)> run;
  } beside[] = {
      {"a fingerprint",
       [](Updater& other) {
         Fingerprint fingerprint;
         return other.Get_Fingerprint(fingerprint, "USB", 0, "", 115200, false);
       }},
      {"a recovery of another module",
       [&](Updater& other) { return other.Recover_Firmware("USB", 0, 115200, 0x00777777, file, false); }},
  };
  for (const auto& c : beside) {
    SCOPED_TRACE(c.what);
    RecordingDisplay shown;
    Updater other(kNoServer, folder / "store", shown);
    EXPECT_FALSE(c.run(other));
    EXPECT_EQ(shown.errors(),
              std::vector<std::string>{"USB device 1FC9:0130 is busy: another run of the updater is using it"});
  }
  EXPECT_EQ(hidRom->hid().writeAttempts(), writes) << "a run beside the recovery wrote to the ROM";

  PlugInLiveLoader();
  ASSERT_TRUE(Finish()) << testing::PrintToString(display.all());
  ExpectLoaderRan(plan);
  ExpectFirmwareLanded(plan);
}

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every way the ROM can fail to take a loader block is shown with the block and the ROM's
// status. Which of a refusal and an early end the client sees first depends on when the ROM's
// words arrive, so the block and the status are what is checked.
TEST_F(ImxRecovery, LoaderFailuresSayWhatFailed) {
  struct Case {
    const char* what;
    std::function<void(qfsim::SimSdpFaults&)> faults;
    const char* status;
  };
  const Case cases[] = {
      {"write refused", [](qfsim::SimSdpFaults& f) { f.refuseWrite = 0x12345678; }, "status 0x12345678"},
      {"early end", [](qfsim::SimSdpFaults& f) { f.abortAfterDataBytes = 1500; }, "status 0x0BAD0BAD"},
      {"bad final status", [](qfsim::SimSdpFaults& f) { f.completionStatus = 0x0BADBEEF; }, "status 0x0BADBEEF"},
      {"no final status", [](qfsim::SimSdpFaults& f) { f.completionStatus.reset(); }, "no status"},
  };
  const Road plan;
  const std::string file = WriteBird(plan);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartSerialRom();
    qfsim::SimSdpFaults faults;
    c.faults(faults);
    Rom().setFaults(faults);
    RecordingDisplay shown;
    Fingerprint fingerprint;
    Updater updater(kNoServer, folder / "store", shown);
    EXPECT_FALSE(updater.Get_Fingerprint(fingerprint, Port(), kSerial, file, 115200, false));
    ASSERT_EQ(shown.errors().size(), 1u) << testing::PrintToString(shown.errors());
    const std::string error = shown.errors()[0];
    EXPECT_TRUE(_has(error, "loader block 1 (3000 bytes to 0x20000000)")) << error;
    EXPECT_TRUE(_has(error, c.status)) << error;
    EXPECT_TRUE(Rom().jumps().empty());
  }
}

// A recovery image without a loader is refused before the ROM hears anything.
TEST_F(ImxRecovery, ImageWithoutLoaderIsRefusedBeforeAnythingIsSent) {
  StartSerialRom();
  const std::string file = folder / "firmware-only.bird";
  bird::writeFile(
      file,
      bird::wrap(bird::compress(bird::encodeBody({bird::imageBlock(bird::FIRMWARE, 0x4000, bird::randomBytes(500, 24)),
                                                  bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-100")}))));
  Fingerprint fingerprint;
  Updater updater(kNoServer, folder / "store", display);
  EXPECT_FALSE(updater.Get_Fingerprint(fingerprint, Port(), kSerial, file, 115200, false));
  EXPECT_EQ(display.errors(), std::vector<std::string>{"The recovery image holds no loader for the i.MX boot ROM"});
  EXPECT_EQ(serialRom->associations(), 0u);
  EXPECT_TRUE(Rom().commands().empty());
}

// An LPC bootloader in command mode echoes every byte: its echo is no answer of an i.MX ROM, and
// nothing says that a ROM refused anything.
TEST(ImxRecoveryOnAnLpcChip, TheChipsEchoIsNoRom) {
  qfsim::SimIspPort chip;
  ASSERT_TRUE(chip.start());
  chip.withDevice([](qfsim::IspDevice& d) { d.leaveInCommandMode(true); });
  qftest::TempFolder folder;
  const std::string file = folder / "recovery.bird";
  bird::writeFile(file, BirdFileOf(Road{}));
  BirdFile recovery(file.c_str());
  RecordingDisplay display;
  EXPECT_EQ(RecoverySteps::_transfer_recovery_loader(display, recovery, chip.path()), aErrConnection);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"The device on " + chip.path() +
                                                       " sends back what it is sent: it is no i.MX boot ROM"});
}

}  // namespace
