// The firmware phase of an update in blocks of 64 KiB sent as UEI byte arrays through a slow
// link (a TCP path of 20 KB/s, a serial line at 115200 baud): every block goes on the first
// attempt and the image the module keeps is the bird file's, byte for byte.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "firmware/BirdFile.h"
#include "firmware/UpdateSteps.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/entity_sim.h"
#include "support/log_capture.h"
#include "support/recording_display.h"
#include "support/slow_link.h"
#include "support/temp_folder.h"

using namespace Tarnwick::Quillfern;

namespace {

constexpr uint8_t kAddress = 2;
constexpr uint16_t kLargestBlock = 65535;

using qftest::SlowLink;

class SlowLinkUpdateTest : public testing::TestWithParam<SlowLink> {
 protected:
  void SetUp() override {
    const SlowLink& slow = GetParam();
    qfsim::SimModuleOptions options;
    options.address = kAddress;
    options.transport = slow.transport;
    sim = std::make_unique<qftest::EntitySim>(options);
    ASSERT_TRUE(sim->started);
    qfsim::SimUpgradeSettings settings;
    settings.offerUEIData = true;
    settings.blockSize = kLargestBlock;
    settings.loaderRunning = true;  // the firmware phase on its own
    qfsim::SimUpgrade::attach(upgrade, sim->entities, sim->module);
    upgrade->setSettings(settings);
    linkSpec spec = sim->spec(slow.transport);
    relay = qftest::RelayInFront(*sim, slow, spec);
    ASSERT_TRUE(relay->started());
    module = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(module->setConfig(qftest::DirectControl()), aErrNone);
    ASSERT_EQ(module->connectFromSpec(spec), aErrNone);
  }

  qftest::TempFolder folder;
  qftest::LogCapture log{Log::DEBUG_Network_FIRM};
  qftest::RecordingDisplay display;
  std::unique_ptr<qftest::EntitySim> sim;
  std::shared_ptr<qfsim::SimUpgrade> upgrade = std::make_shared<qfsim::SimUpgrade>();
  std::unique_ptr<qftest::ThrottledRelay> relay;
  std::unique_ptr<Module> module;
};

TEST_P(SlowLinkUpdateTest, LargeBlocksGoOnTheFirstAttemptAndArriveExact) {
  qftest::bird::Build build;
  build.loaderSize = 0;
  build.firmwareSize = kLargestBlock + 4000;  // one full byte array and a short one
  build.pieces = 1;
  const std::string path = folder / "update.bird";
  qftest::bird::writeFile(path, qftest::bird::makeBirdFile(build));
  const BirdFile bird(path.c_str());
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(blocks.size(), 1u);

  ASSERT_EQ(UpdateSteps::_transfer_firmware(display, *module, bird, true, true), aErrNone) << log.text();
  const qfsim::SimUpgradeRecord record = upgrade->record();
  ASSERT_EQ(record.firmware.size(), 1u);
  EXPECT_EQ(record.firmware[0].bytes, std::vector<uint8_t>(blocks[0].data + 4, blocks[0].data + blocks[0].length));
  EXPECT_EQ(record.prepares, 1u) << "no block was tried again";
  EXPECT_EQ(record.dataPackets, 0u) << "the data went as byte arrays";
  EXPECT_GE(relay->bytesToModule(), blocks[0].length) << "it went through the slow link";
}

INSTANTIATE_TEST_SUITE_P(Links, SlowLinkUpdateTest, qftest::SlowLinks(), qftest::SlowLinkName);

}  // namespace
