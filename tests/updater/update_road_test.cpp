// The whole update road against the simulated module: Update_Firmware from the bird file (or the
// store) to the rebooted module, reached over TCP/IP by discovery and through a router module.
// The module's discovery answer is multicast, so every test runs in a private network namespace.
// What the module committed is compared byte for byte with the bird file's patched payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware/KeyValueStore.h"
#include "firmware/UpdateSteps.h"
#include "platform/qfusb_driver.h"
#include "sim/module/simEntities.h"
#include "sim/module/simEthernetDiscovery.h"
#include "sim/module/simModule.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/entity_sim.h"
#include "support/log_capture.h"
#include "support/private_network.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "updater/Updater.h"

using namespace UpdateSteps;

namespace {

namespace bird = qftest::bird;
using qfsim::SimUpgrade;
using qfsim::SimUpgradeSettings;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSerial = 0x0012ABCD;
constexpr uint8_t kModel = 4;  // "QF-Core"
constexpr const char* kModelName = "QF-Core";

// The module answers discovery on the private interface; it listens on loopback.
std::unique_ptr<qfsim::SimEthernetDiscovery> _announce(const qftest::EntitySim& sim) {
  qfsim::SimEthernetDiscoveryOptions options;
  options.interfaceAddress = qftest::kPrivateHostAddress;
  options.replyFrom = "127.0.0.1";
  options.replies = {
      qfsim::simEthernetReply(sim.module.address(), sim.module.port(), sim.module.serialNumber(), sim.module.model())};
  auto responder = std::make_unique<qfsim::SimEthernetDiscovery>(options);
  std::string error;
  EXPECT_TRUE(responder->start(&error)) << error;
  return responder;
}

// The payloads a module must end up with: the file's blocks of the type, serial number patched.
std::vector<Bytes> _expected_payloads(const std::string& path, BirdFile::BLOCK_TYPE type, uint32_t serial) {
  BirdFile bird(path.c_str());
  if (bird.hasSerialBlocks) bird.ReplaceSerialNumber(serial);
  std::vector<Bytes> payloads;
  for (const BirdBlock& block : bird.FindBlocks(type)) payloads.emplace_back(block.data + 4, block.data + block.length);
  return payloads;
}

std::vector<Bytes> _committed(const std::vector<qfsim::SimImage>& images) {
  std::vector<Bytes> payloads;
  for (const qfsim::SimImage& image : images) payloads.push_back(image.bytes);
  return payloads;
}

bool _shown(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class UpdateRoad : public testing::Test {
 protected:
  // Called first in each test, inside the private network.
  void Start(const std::function<void(SimUpgradeSettings&)>& change = {}) {
    sim = std::make_unique<qftest::EntitySim>(qftest::SimIdentity(kSerial, 2, kModel));
    ASSERT_TRUE(sim->started);
    SimUpgrade::attach(upgrade, sim->entities, sim->module);
    SimUpgradeSettings settings;
    if (change) change(settings);
    upgrade->setSettings(settings);
    responder.reset();  // one responder at a time on the discovery ports
    responder = _announce(*sim);
    pauses = update_road_pauses();
    update_road_pauses().reconnectPauseMs = 20;
  }
  void TearDown() override { update_road_pauses() = pauses; }

  std::string WriteBird(const bird::Build& build, const std::string& name = "update.bird") {
    const std::string path = folder / name;
    bird::writeFile(path, bird::makeBirdFile(build));
    return path;
  }
  static bird::Build Firmware() {
    bird::Build build;
    build.serial = 0x99;  // a generic file: the road patches the module's serial number in
    build.model = kModelName;
    build.firmwareSize = 3000;
    build.pieces = 3;
    return build;
  }
  KeyValueStore Settings() const { return KeyValueStore((store / "0012ABCD/.settings").c_str()); }
  void ExpectIntactImages(const std::string& path) const {
    const qfsim::SimUpgradeRecord record = upgrade->record();
    EXPECT_EQ(_committed(record.loaders), _expected_payloads(path, BirdFile::BLOCK_LOADER, kSerial));
    EXPECT_EQ(_committed(record.firmware), _expected_payloads(path, BirdFile::BLOCK_FIRMWARE, kSerial));
    EXPECT_EQ(record.reboots, 1u);
  }
  void ExpectNothingRecorded() const {
    KeyValueStore settings = Settings();
    EXPECT_EQ(settings.GetString(KEY_LATEST_TRANSFER, "none"), "none");
    EXPECT_EQ(settings.GetString(KEY_LAST_TRANSFER_DATE, "none"), "none");
  }

  qftest::TempFolder folder;
  qftest::TempFolder store;
  qftest::RecordingDisplay display;
  Updater updater{"http://127.0.0.1:1/cgi/update", store.path(), display};
  std::shared_ptr<SimUpgrade> upgrade = std::make_shared<SimUpgrade>();
  std::unique_ptr<qftest::EntitySim> sim;
  std::unique_ptr<qfsim::SimEthernetDiscovery> responder;
  UpdateRoadPauses pauses;
};

TEST_F(UpdateRoad, UpdatesOverTcpFromTheFileToTheRebootedModuleAndRecordsIt) {
  QF_REQUIRE_PRIVATE_NETWORK();
  for (const bool byteArrays : {false, true}) {
    SCOPED_TRACE(byteArrays ? "byte arrays" : "data packets");
    Start([&](SimUpgradeSettings& s) {
      s.offerUEIData = byteArrays;
      s.protocolFeatures = byteArrays ? 0x80000000u : 0;
    });
    updater.Set_UEIBytes_Load(byteArrays);
    const std::string path = WriteBird(Firmware());

    ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, path, 0, 0, false));
    ExpectIntactImages(path);
    EXPECT_GE(sim->module.record().connections, 2u) << "reconnected after the loader restart";
    KeyValueStore settings = Settings();
    EXPECT_EQ(settings.GetString(KEY_LATEST_TRANSFER, ""), path) << "the very path text";
    EXPECT_FALSE(settings.GetString(KEY_LAST_TRANSFER_DATE, "").empty());
    const std::vector<std::string> infos = display.infos();
    EXPECT_TRUE(_shown(infos, "Updating from Birdfile: " + path));
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back().rfind("Update time: ", 0), 0u) << infos.back();
    EXPECT_TRUE(display.errors().empty());
    upgrade = std::make_shared<SimUpgrade>();
  }
}

// One transient fault in a firmware block costs one retry, not the update.
TEST_F(UpdateRoad, ATransientFaultInABlockCostsOneRetry) {
  QF_REQUIRE_PRIVATE_NETWORK();
  struct Case {
    const char* name;
    std::function<void(SimUpgradeSettings&)> fault;
  };
  const std::vector<Case> cases = {
      {"connection dropped mid-block", [](SimUpgradeSettings& s) { s.dataFaultImage = 1; }},
      {"reply lost mid-block",
       [](SimUpgradeSettings& s) {
         s.dataFaultImage = 1;
         s.dataFault = qfsim::SimDataFault::loseReply;
       }},
      {"bad sum", [](SimUpgradeSettings& s) { s.wrongSums = 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    const std::string path = WriteBird(Firmware());
    // The fault is armed once the loader runs, so that it strikes the firmware.
    sim->module.setGreeting([u = upgrade, fault = c.fault](qfsim::SimContext& context) {
      SimUpgradeSettings settings = u->settings();
      if (u->record().loads == 1 && !settings.dataFaultImage && settings.wrongSums == 0) {
        fault(settings);
        u->setSettings(settings);
      }
      u->greet(context);
    });
    qftest::RecordingDisplay shown;
    Updater road("http://127.0.0.1:1/cgi/update", store.path(), shown);
    ASSERT_TRUE(road.Update_Firmware(kSerial, 0, path, 0, 0, false));
    ExpectIntactImages(path);
    const std::vector<std::string> infos = shown.infos();
    EXPECT_TRUE(_shown(infos, "  Retry 1"));
    EXPECT_FALSE(_shown(infos, "  Retry 2"));
    upgrade = std::make_shared<SimUpgrade>();
  }
}

// A module that does not come back after the loader start ends the update with a message that
// says so, after real tries (each one a new connection), and nothing is recorded.
TEST_F(UpdateRoad, AModuleThatDoesNotComeBackFailsTheUpdateAfterRealTries) {
  QF_REQUIRE_PRIVATE_NETWORK();
  struct Case {
    const char* name;
    std::function<void(SimUpgradeSettings&)> fault;
  };
  const std::vector<Case> cases = {
      {"silent after the restart", [](SimUpgradeSettings& s) { s.silentAfterRestart = true; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.fault);
    const std::string path = WriteBird(Firmware());
    qftest::LogCapture log(Log::DEBUG_Updater);
    EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, path, 0, 0, false));
    char message[96];
    snprintf(message, sizeof message, "Module [%08X] did not come back after starting its loader", kSerial);
    EXPECT_TRUE(_shown(display.errors(), message));
    EXPECT_TRUE(log.contains("Failed _transfer_firmware(): "));
    EXPECT_GT(sim->module.record().connections, 3u) << "each try is a connection of its own";
    EXPECT_TRUE(upgrade->record().firmware.empty());
    ExpectNothingRecorded();
  }
}

// Files the road must refuse before anything is sent, whatever -OVERRIDE says.
TEST_F(UpdateRoad, RefusedFilesSendNothingAndRecordNothing) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Start();
  bird::Build longerModel = Firmware();
  longerModel.model = "QF-Core-E";
  const std::string noBlocks = folder / "empty.bird";
  bird::writeFile(noBlocks, bird::wrap(bird::compress(bird::encodeBody({}))));
  struct Case {
    const char* name;
    std::string path;
    bool override;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"a file of a longer model name", WriteBird(longerModel, "longer.bird"), false, "Birdfile failed validation"},
      {"a file without blocks", noBlocks, false, "Failed to load bird file"},
      {"a file without blocks, overridden", noBlocks, true, "Failed to load bird file"},
      {"a missing file", folder / "missing.bird", true, "Failed to load bird file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qftest::RecordingDisplay shown;
    Updater road("http://127.0.0.1:1/cgi/update", store.path(), shown);
    EXPECT_FALSE(road.Update_Firmware(kSerial, 0, c.path, 0, 0, c.override));
    EXPECT_TRUE(_shown(shown.errors(), c.error));
  }
  EXPECT_EQ(upgrade->record().inits, 0u);
  ExpectNothingRecorded();
}

// Without a file or build the road takes the newest download kept for the device's own folder
// (the server cannot be reached); a look-alike folder is not the device's.
TEST_F(UpdateRoad, TakesTheLatestDownloadOfTheDevicesOwnFolder) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Start();
  for (const char* name : {"0012ABCD.old", "0012ABCD"}) std::filesystem::create_directories(store / name);
  KeyValueStore old;
  old.Add(KEY_LATEST_DOWNLOAD, "999.bird");
  old.Save((store / "0012ABCD.old/.settings").c_str());
  KeyValueStore own;
  own.Add(KEY_LATEST_DOWNLOAD, "12345.bird");
  own.Save((store / "0012ABCD/.settings").c_str());
  const std::string stored = WriteBird(Firmware(), "stored.bird");
  std::filesystem::copy_file(stored, store / "0012ABCD/12345.bird");

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false));
  ExpectIntactImages(stored);
  EXPECT_EQ(Settings().GetString(KEY_LATEST_TRANSFER, ""), "12345.bird");
  EXPECT_TRUE(_shown(display.infos(), "Updating with the Latest Download"));
  EXPECT_TRUE(_shown(display.infos(), "Updating firmware with build: 12345"));
}

// A file without firmware blocks starts the loader, sends nothing more, reboots and succeeds.
TEST_F(UpdateRoad, AFileWithoutFirmwareBlocksRebootsAndSucceeds) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Start();
  bird::Build build = Firmware();
  build.firmwareSize = 0;
  build.serial = kSerial;  // nothing to patch: the file must name the module itself
  std::vector<bird::Block> blocks = bird::buildBlocks(build);
  std::erase_if(blocks, [](const bird::Block& block) { return block.type == bird::SERIAL_OFFSETS; });
  const std::string path = folder / "loader-only.bird";
  bird::writeFile(path, bird::wrap(bird::compress(bird::encodeBody(blocks))));

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, path, 0, 0, false));
  const qfsim::SimUpgradeRecord record = upgrade->record();
  EXPECT_TRUE(record.firmware.empty());
  EXPECT_EQ(record.reboots, 1u);
  EXPECT_TRUE(_shown(display.infos(), "Transferred 0 blocks, 0 total bytes"));
}

// Through a router module: the module is looked up on the router's bus, reached over the
// router's link, and updated while the router keeps its link up; a drop of the router's link in
// the middle of a block costs one retry, which connects the router again.
TEST_F(UpdateRoad, UpdatesAModuleBehindARouter) {
  QF_REQUIRE_PRIVATE_NETWORK();
  constexpr uint32_t kRouter = 0x22220001;
  constexpr uint8_t kBehind = 0x40;
  constexpr uint8_t kSystem = 3, kRouterOption = 2, kRouteToMeOption = 20;
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "router's link dropped mid-block" : "no fault");
    qftest::EntitySim router(qftest::SimIdentity(kRouter, 2, kModel));
    ASSERT_TRUE(router.started);
    router.entities->define(kSystem, 0, kRouteToMeOption, qfsim::SimOption::u8(0, true));
    router.entities->updateBus(0, [](qfsim::SimI2CBus& bus) { bus.devices[kBehind >> 1] = {}; });
    auto behind = std::make_shared<qfsim::SimRoutedModule>();
    behind->state.address = kBehind;
    behind->state.serialNumber = kSerial;
    behind->state.model = kModel;
    auto behindEntities = std::make_shared<qfsim::SimEntities>();
    qfsim::SimEntities::attach(behindEntities, behind->protocol);
    behindEntities->define(kSystem, 0, kRouterOption, qfsim::SimOption::u8(2, true));
    upgrade = std::make_shared<SimUpgrade>();
    SimUpgrade::attach(upgrade, behindEntities, behind->protocol);
    SimUpgradeSettings settings;
    settings.loaderRestarts = false;  // the router's link stays up through the loader start
    settings.rebootRestarts = false;
    if (drop) settings.dataFaultImage = 1;
    upgrade->setSettings(settings);
    router.module.addRoutedModule(behind);
    responder.reset();
    auto routerAnnouncement = _announce(router);
    const std::string path = WriteBird(Firmware());

    qftest::RecordingDisplay shown;
    Updater road("http://127.0.0.1:1/cgi/update", store.path(), shown);
    road.Set_UEIBytes_Load(false);
    ASSERT_TRUE(road.Update_Firmware(kSerial, 0, path, 0, kRouter, false)) << testing::PrintToString(shown.errors());
    ExpectIntactImages(path);
    EXPECT_EQ(Settings().GetString(KEY_LATEST_TRANSFER, ""), path);
    EXPECT_TRUE(shown.errors().empty()) << testing::PrintToString(shown.errors());
    EXPECT_EQ(_shown(shown.infos(), "  Retry 1"), drop);
    if (drop) {
      EXPECT_GE(router.module.record().connections, 2u) << "the router was connected again";
    }
  }
}

// The road's steps from the loader start on over a pseudo-terminal: COBS framing on a serial
// port, and raw frames on the kernel driver's node (a USB module). The module restarts into its
// loader and comes back under the same path, where the road finds it again.
class RoadOverATerminal : public testing::TestWithParam<qfsim::SimTransport> {
 protected:
  void TearDown() override {
    qfusb_set_kernel_node_format(nullptr);
    update_road_pauses() = pauses;
  }

  qftest::TempFolder folder;
  UpdateRoadPauses pauses = update_road_pauses();
};

TEST_P(RoadOverATerminal, LoaderReconnectAndFirmwareArriveIntact) {
  const bool node = GetParam() == qfsim::SimTransport::node;
  update_road_pauses().reconnectPauseMs = 20;
  qfsim::SimModuleOptions options = qftest::SimIdentity(kSerial, 2, kModel);
  options.transport = GetParam();
  char name[32];
  std::snprintf(name, sizeof name, node ? "quillfern.%08X" : "port.%08X", kSerial);
  options.linkPath = folder / name;
  if (node) {
    ASSERT_EQ(qfusb_set_kernel_node_format((folder / "quillfern.%08X").c_str()), aErrNone);
  }
  qfsim::SimModule sim(options);
  auto entities = std::make_shared<qfsim::SimEntities>();
  qfsim::SimEntities::attach(entities, sim);
  auto upgrade = std::make_shared<SimUpgrade>();
  SimUpgrade::attach(upgrade, entities, sim);
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;

  linkSpec spec{};
  spec.serialNumber = kSerial;
  spec.type = node ? USB : SERIAL;
  spec.baudRate = 115200;
  std::snprintf(spec.serialPort, sizeof spec.serialPort, "%s", options.linkPath.c_str());
  Tarnwick::Quillfern::Module target(0, kModel);
  ASSERT_EQ(target.setConfig(qftest::DirectControl()), aErrNone);
  ASSERT_EQ(target.connectFromSpec(spec), aErrNone);
  bird::Build build;
  build.serial = kSerial;
  build.model = kModelName;
  const std::string path = folder / "update.bird";
  bird::writeFile(path, bird::makeBirdFile(build));
  BirdFile file(path.c_str());
  ASSERT_TRUE(file.ReplaceSerialNumber(kSerial));  // as the road patches it
  qftest::RecordingDisplay display;

  ASSERT_TRUE(_validate_birdfile(display, file, target, kSerial));
  ASSERT_EQ(_transfer_loader(display, target, file), aErrNone);
  UpdateRoute route{kSerial, 0, spec.type};
  ASSERT_EQ(reconnect_after_loader(display, target, route), aErrNone);
  ASSERT_EQ(_transfer_firmware(display, target, file, false, false), aErrNone);
  const qfsim::SimUpgradeRecord record = upgrade->record();
  EXPECT_EQ(_committed(record.loaders), _expected_payloads(path, BirdFile::BLOCK_LOADER, kSerial));
  EXPECT_EQ(_committed(record.firmware), _expected_payloads(path, BirdFile::BLOCK_FIRMWARE, kSerial));
  EXPECT_EQ(record.reboots, 1u);
  EXPECT_GE(sim.record().connections, 2u) << "the module was found again after its restart";
}

INSTANTIATE_TEST_SUITE_P(Terminals, RoadOverATerminal,
                         testing::Values(qfsim::SimTransport::serial, qfsim::SimTransport::node),
                         [](const testing::TestParamInfo<qfsim::SimTransport>& param) {
                           return param.param == qfsim::SimTransport::node ? "KernelNode" : "CobsSerialPort";
                         });

}  // namespace
