// The whole update road over USB behind the real libusb: the simulated module leaves the bus
// when it restarts into its loader and comes back as a new device with the same serial number,
// as a module re-enumerating does; the road finds it again and sends the firmware.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "firmware/KeyValueStore.h"
#include "firmware/UpdateSteps.h"
#include "platform/Quillfern-C.h"
#include "sim/module/simEntities.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/eventually.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "support/usb_fake.h"
#include "support/usb_sim_module.h"
#include "updater/Updater.h"

namespace {

namespace bird = qftest::bird;

constexpr uint32_t kSerial = 0x0012ABCD;
constexpr auto kBound = std::chrono::seconds(20);

std::vector<bird::Bytes> _payloads(const BirdFile& file, BirdFile::BLOCK_TYPE type) {
  std::vector<bird::Bytes> payloads;
  for (const BirdBlock& block : file.FindBlocks(type)) payloads.emplace_back(block.data + 4, block.data + block.length);
  return payloads;
}

std::vector<bird::Bytes> _committed(const std::vector<qfsim::SimImage>& images) {
  std::vector<bird::Bytes> payloads;
  for (const qfsim::SimImage& image : images) payloads.push_back(image.bytes);
  return payloads;
}

TEST(UpdateRoadOverUsb, FindsTheReEnumeratedModuleAndSendsItTheFirmware) {
  if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
  const UpdateRoadPauses pauses = update_road_pauses();
  update_road_pauses().reconnectPauseMs = 100;
  auto fake = std::make_unique<qftest::UsbFake>();
  auto upgrade = std::make_shared<qfsim::SimUpgrade>();
  qftest::UsbSimModuleOptions options;
  options.serialNumber = kSerial;
  options.model = 4;  // "QF-Core"
  auto plug = [&] {
    auto module = std::make_unique<qftest::UsbSimModule>(*fake, options);
    auto entities = std::make_shared<qfsim::SimEntities>();
    qfsim::SimEntities::attach(entities, *module);
    qfsim::SimUpgrade::attach(upgrade, entities, *module);
    return module;
  };
  std::unique_ptr<qftest::UsbSimModule> before = plug();
  std::unique_ptr<qftest::UsbSimModule> after;
  // Once the loader was started the first device leaves the bus; the loader's device comes.
  std::thread replug([&] {
    if (qftest::Eventually([&] { return upgrade->record().loads != 0; }, kBound)) after = plug();
  });

  qftest::TempFolder folder;
  bird::Build build;
  build.serial = 0x99;
  build.model = "QF-Core";
  const std::string path = folder / "update.bird";
  bird::writeFile(path, bird::makeBirdFile(build));
  qftest::RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", folder / "store", display);
  const bool updated = updater.Update_Firmware(kSerial, 0, path, 0, 0, false);
  replug.join();

  EXPECT_TRUE(updated);
  ASSERT_TRUE(after) << "the loader was never started";
  BirdFile expected(path.c_str());
  expected.ReplaceSerialNumber(kSerial);
  const qfsim::SimUpgradeRecord record = upgrade->record();
  EXPECT_EQ(_committed(record.loaders), _payloads(expected, BirdFile::BLOCK_LOADER));
  EXPECT_EQ(_committed(record.firmware), _payloads(expected, BirdFile::BLOCK_FIRMWARE));
  EXPECT_EQ(record.reboots, 1u);
  EXPECT_GT(after->record().packets.size(), 0u) << "the firmware went to the device that came back";
  EXPECT_EQ(KeyValueStore((folder / "store/0012ABCD/.settings").c_str()).GetString(KEY_LATEST_TRANSFER, ""), path);

  // The order the fake bus needs: libusb context, modules, bus.
  update_road_pauses() = pauses;
  Quillfern_libusb_exit();
  after.reset();
  before.reset();
  fake.reset();
}

}  // namespace
