// The upgrade protocol and the update's transfer steps end to end over TCP against the simulated
// module's loader: the images the module keeps are compared byte for byte with the bird file's
// blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aDefs.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdateSteps.h"
#include "firmware/UpdaterEntity.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/entity_sim.h"
#include "support/log_capture.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"

using namespace UpdateSteps;

using namespace Tarnwick::Quillfern;
using qfsim::SimImage;
using qfsim::SimUpgrade;
using qfsim::SimUpgradeSettings;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kAddress = 2;
constexpr int kAttemptsPerBlock = 5;
const char kFailedLine[] = "NETWORK: Failed to transfer firmware\n";
const char kUnvalidatedLine[] = "NETWORK: Unable to validate transfer";

Bytes Payload(const BirdBlock& block) { return Bytes(block.data + 4, block.data + block.length); }
Bytes Block(uint32_t address, const Bytes& payload) {
  Bytes block = qftest::bird::be32(address);
  block.insert(block.end(), payload.begin(), payload.end());
  return block;
}

class UpgradeTest : public testing::Test {
 protected:
  void SetUp() override {
    qfsim::SimModuleOptions options;
    options.address = kAddress;
    sim = std::make_unique<qftest::EntitySim>(options);
    ASSERT_TRUE(sim->started);
    SimUpgrade::attach(upgrade, sim->entities, sim->module);
    module = std::make_unique<Module>(kAddress, false, 0);
    ASSERT_EQ(module->setConfig(qftest::DirectControl()), aErrNone);
    ASSERT_EQ(module->connectFromSpec(sim->spec(qfsim::SimTransport::tcp)), aErrNone);
  }

  void Configure(const std::function<void(SimUpgradeSettings&)>& change) {
    SimUpgradeSettings settings = upgrade->settings();
    change(settings);
    upgrade->setSettings(settings);
  }

  BirdFile LoadBird(const qftest::bird::Build& build = {}) {
    const std::string path = folder / "update.bird";
    qftest::bird::writeFile(path, qftest::bird::makeBirdFile(build));
    return BirdFile(path.c_str());
  }

  // The module dropped its connection (restarting into its loader, rebooting); a TCP link does
  // not notice until it writes, so the road's reconnect is made at once.
  void Reconnect() {
    module->disconnect();
    ASSERT_EQ(module->reconnect(), aErrNone);
  }

  // The firmware phase; the reboot waits only one pass (a TCP link does not see the module
  // drop it).
  aErr SendFirmware(const BirdFile& bird, bool viaUEI) {
    return _transfer_firmware(display, *module, bird, true, viaUEI);
  }

  static void ExpectImages(const std::vector<SimImage>& images, const std::vector<BirdBlock>& blocks) {
    ASSERT_EQ(images.size(), blocks.size());
    for (size_t at = 0; at < blocks.size(); ++at) {
      EXPECT_EQ(images[at].address, blocks[at].address) << at;
      EXPECT_EQ(images[at].flags, blocks[at].flags) << at;
      EXPECT_EQ(images[at].bytes, Payload(blocks[at])) << "image " << at << " differs";
    }
  }

  qftest::TempFolder folder;
  qftest::LogCapture log{Log::DEBUG_Network_FIRM | Log::DEBUG_Network};
  qftest::RecordingDisplay display;
  std::shared_ptr<SimUpgrade> upgrade = std::make_shared<SimUpgrade>();
  std::unique_ptr<qftest::EntitySim> sim;
  std::unique_ptr<Module> module;
};

struct PathCase {
  const char* name;
  bool offerUEIData;
  bool pooledFeature;
  uint16_t blockSize;
};

class UpgradePathTest : public UpgradeTest, public testing::WithParamInterface<PathCase> {};

TEST_P(UpgradePathTest, LoaderAndFirmwareArriveIntact) {
  const PathCase& path = GetParam();
  Configure([&](SimUpgradeSettings& settings) {
    settings.offerUEIData = path.offerUEIData;
    settings.protocolFeatures = path.pooledFeature ? 0x80000000u : 0;
    settings.blockSize = path.blockSize;
  });
  qftest::bird::Build build;
  build.loaderSize = 301;
  build.firmwareSize = 3001;
  build.pieces = 3;
  const BirdFile bird = LoadBird(build);

  ASSERT_EQ(_transfer_loader(display, *module, bird), aErrNone);
  Reconnect();
  const uint32_t loaderDataPackets = upgrade->record().dataPackets;
  ASSERT_EQ(SendFirmware(bird, true), aErrNone);

  const qfsim::SimUpgradeRecord record = upgrade->record();
  ExpectImages(record.loaders, bird.FindBlocks(BirdFile::BLOCK_LOADER));
  ExpectImages(record.firmware, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE));
  EXPECT_EQ(record.loads, 1u);
  EXPECT_EQ(record.reboots, 1u);
  EXPECT_EQ(record.dataPackets == loaderDataPackets, path.offerUEIData) << "byte arrays replace data packets";
  EXPECT_FALSE(log.contains(kUnvalidatedLine));
  // The first block's progress: after its first chunk (n + 4) / L, L counting the address.
  const std::vector<std::string> events = display.all();
  const BirdBlock first = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).front();
  const uint32_t chunk = std::min<uint32_t>(path.blockSize, first.length - 4);
  char expected[32];
  snprintf(expected, sizeof expected, "progress %.2f", static_cast<double>(chunk + 4) / first.length);
  auto firstBlock = std::find_if(events.begin(), events.end(), [](const std::string& event) {
    return event.rfind("info: Transferring firmware block 1 of 3", 0) == 0;
  });
  ASSERT_GE(events.end() - firstBlock, 3);
  EXPECT_EQ(firstBlock[1], "progress start");
  EXPECT_EQ(firstBlock[2], expected);
  EXPECT_NE(std::find(events.begin(), events.end(), "progress 1.00"), events.end());
  EXPECT_EQ(events.back(), "spin off");
}

INSTANTIATE_TEST_SUITE_P(Paths, UpgradePathTest,
                         testing::Values(PathCase{"DataPackets", false, false, 512},
                                         PathCase{"DataPacketsOddChunks", false, false, 100},
                                         PathCase{"ByteArrays", true, false, 512},
                                         PathCase{"ByteArraysPooled", true, true, 200}),
                         [](const testing::TestParamInfo<PathCase>& param) { return param.param.name; });

TEST_F(UpgradeTest, LoaderPayloadsGoInDataPacketsOfAtMost26Bytes) {
  struct Case {
    size_t payload;
    uint32_t packets;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 1}, Case{26, 1}, Case{27, 2}, Case{53, 3}}) {
    const Bytes payload = qftest::bird::randomBytes(c.payload, 7);
    const Bytes block = Block(0x10000000, payload);
    UpdaterEntity entity;
    entity.init(module.get(), 0, true, false);
    ASSERT_EQ(entity.LoaderInit(), aErrNone);
    uint16_t blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize), aErrNone);
    const qfsim::SimUpgradeRecord before = upgrade->record();
    EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone) << c.payload;
    const qfsim::SimUpgradeRecord after = upgrade->record();
    EXPECT_EQ(after.dataPackets - before.dataPackets, c.packets) << c.payload;
    EXPECT_EQ(after.sums - before.sums, 1u) << "the sum is checked also for " << c.payload;
    EXPECT_EQ(after.loaders.back().bytes, payload) << c.payload;
  }
}

TEST_F(UpgradeTest, RetriesRecoverFromWrongEchoesAndAWrongSum) {
  const BirdFile bird = LoadBird();
  ASSERT_EQ(_transfer_loader(display, *module, bird), aErrNone);
  Reconnect();
  Configure([](SimUpgradeSettings& settings) {
    settings.wrongEchoes = 3;  // each chunk sent again, its bytes counted once
    settings.wrongSums = 1;    // the block is prepared and sent again
  });
  ASSERT_EQ(SendFirmware(bird, false), aErrNone);
  ExpectImages(upgrade->record().firmware, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE));
  EXPECT_EQ(log.count(kUnvalidatedLine), 1u);
  EXPECT_EQ(log.count("Invalid upgrade transfer response"), 3u);
  EXPECT_EQ(log.count(kFailedLine), 1u);
  const std::vector<std::string> infos = display.infos();
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 1"), 1);
  EXPECT_EQ(std::count(infos.begin(), infos.end(), "  Retry 2"), 0);
}

TEST_F(UpgradeTest, ABlockThatAlwaysFailsEndsAfterFiveAttempts) {
  const BirdFile bird = LoadBird();
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(blocks.size(), 2u);
  ASSERT_EQ(_transfer_loader(display, *module, bird), aErrNone);
  Reconnect();
  Configure([&](SimUpgradeSettings& settings) { settings.failingAddress = blocks[1].address; });
  const auto started = Clock::now();
  EXPECT_EQ(SendFirmware(bird, false), aErrInvalidOption);
  EXPECT_LT(static_cast<double>(qftest::MillisecondsSince(started).count()) / 1000.0, 5.0);
  const qfsim::SimUpgradeRecord record = upgrade->record();
  EXPECT_EQ(record.reboots, 0u) << "no reboot after a failed block";
  EXPECT_EQ(record.prepares, 1u + 1u + kAttemptsPerBlock) << "loader, first block, five attempts";
  EXPECT_EQ(log.count(kFailedLine), static_cast<size_t>(kAttemptsPerBlock));
  EXPECT_EQ(log.count(kUnvalidatedLine), static_cast<size_t>(kAttemptsPerBlock));
  const std::vector<std::string> infos = display.infos();
  EXPECT_NE(std::find(infos.begin(), infos.end(), "  Retry 4"), infos.end());
  EXPECT_EQ(infos.back(), "Transferred 1 blocks, " + std::to_string(blocks[0].length) + " total bytes");
  ASSERT_FALSE(display.errors().empty());
  EXPECT_EQ(display.errors().back().rfind("Firmware block 2 failed [", 0), 0u) << display.errors().back();
}

TEST_F(UpgradeTest, ValidationComparesSerialNumberAndModelWithTheModule) {
  const uint32_t serial = sim->module.serialNumber();
  auto birdWith = [&](const std::string& model, uint32_t birdSerial, bool serialBlocks) {
    qftest::bird::Build build;
    build.model = model;
    build.serial = birdSerial;
    std::vector<qftest::bird::Block> blocks = qftest::bird::buildBlocks(build);
    if (!serialBlocks)
      std::erase_if(blocks, [](const auto& block) { return block.type == qftest::bird::SERIAL_OFFSETS; });
    const std::string path = folder / "check.bird";
    qftest::bird::writeFile(path, qftest::bird::wrap(qftest::bird::compress(qftest::bird::encodeBody(blocks))));
    return BirdFile(path.c_str());
  };
  char otherModel[96];
  snprintf(otherModel, sizeof otherModel, "Connected device model and Bird file model do not match [%s] (0)",
           aDefs_GetModelName(sim->module.model()));
  struct Case {
    const char* name;
    std::string birdModel;
    uint32_t birdSerial;
    bool serialBlocks;
    uint32_t expectedSerial;
    bool valid;
    std::string error;  // the one message shown, if any
  };
  const std::string model = aDefs_GetModelName(sim->module.model());
  const std::vector<Case> cases = {
      {"fits", model, serial, true, serial, true, ""},
      {"patched file of another serial number", model, 0x99, true, serial, true, ""},
      {"unpatched file of another serial number", model, 0x99, false, serial, false,
       "Bird file is not made for module [1A2B3C4D]"},
      {"another module answers", model, serial, true, serial + 1, false,
       "Connected module [1A2B3C4D] is not module [1A2B3C4E]"},
      {"another model", "QF-Display", serial, true, serial, false, otherModel},
  };
  for (const Case& c : cases) {
    BirdFile bird = birdWith(c.birdModel, c.birdSerial, c.serialBlocks);
    qftest::RecordingDisplay shown;
    EXPECT_EQ(_validate_birdfile(shown, bird, *module, c.expectedSerial), c.valid) << c.name;
    EXPECT_EQ(shown.errors(), c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
        << c.name;
  }
  BirdFile empty;
  EXPECT_FALSE(_validate_birdfile(display, empty, *module, serial));

  // A module that answers later than the wait is reported as silent, not as a wrong file.
  qfsim::SimFaults late;
  late.replyDelayMs = 1500;
  sim->module.setFaults(late);
  BirdFile fits = birdWith(model, serial, true);
  qftest::RecordingDisplay shown;
  EXPECT_FALSE(_validate_birdfile(shown, fits, *module, serial));
  sim->module.setFaults({});
  ASSERT_FALSE(shown.errors().empty());
  EXPECT_EQ(shown.errors().front().rfind("Module [1A2B3C4D] did not answer the serial number request [", 0), 0u)
      << shown.errors().front();
}

// Each way the loader phase fails is shown as an error, not only logged.
TEST_F(UpgradeTest, EveryLoaderPhaseFailureIsShown) {
  const BirdFile bird = LoadBird();
  const std::vector<BirdBlock> loaders = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_FALSE(loaders.empty());
  struct Case {
    const char* name;
    std::function<void()> fault;
    std::string shown;  // the start of the error
  };
  const std::vector<Case> cases = {
      {"a short INIT reply",
       [&] {
         sim->module.setHandler(
             qfsim::kSimCommandUpgrade, [u = upgrade](qfsim::SimContext& context, const qfsim::SimPacket& packet) {
               if (packet.data.size() >= 2 && packet.data[1] == 0)  // INIT, answered without its load base
                 return context.reply(qfsim::SimPacket{context.state().address, {qfsim::kSimCommandUpgrade, 0}});
               u->handle(context, packet);
             });
       },
       "Error starting loader ["},
      {"a refused loader PREPARE",
       [&] { Configure([&](SimUpgradeSettings& s) { s.refusedAddress = loaders[0].address; }); },
       "Error Preparing transfer ["},
      {"a loader block that fails its check",
       [&] { Configure([&](SimUpgradeSettings& s) { s.failingAddress = loaders[0].address; }); },
       "Error loader transfer ["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    upgrade->setSettings({});
    SimUpgrade::attach(upgrade, sim->entities, sim->module);
    c.fault();
    Reconnect();
    qftest::RecordingDisplay shown;
    EXPECT_NE(_transfer_loader(shown, *module, bird), aErrNone);
    ASSERT_FALSE(shown.errors().empty());
    EXPECT_EQ(shown.errors().front().rfind(c.shown, 0), 0u) << shown.errors().front();
  }
}

// A loader with a block missing must never run, even when the blocks after the failed one went
// through.
TEST_F(UpgradeTest, LoaderPhaseStartsTheLoaderOnlyWhenEveryBlockWent) {
  qftest::bird::Build build;
  build.loaderSize = 300;
  build.loaderPieces = 3;
  const BirdFile bird = LoadBird(build);
  const std::vector<BirdBlock> loaders = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  ASSERT_EQ(loaders.size(), 3u);
  struct Case {
    const char* name;
    std::function<void(SimUpgradeSettings&)> change;
    aErr expected;
    uint32_t loads;
    std::string transferred;
  };
  const std::string all = "Transferred 3 blocks, " + std::to_string(3 * loaders[0].length) + " total bytes";
  const std::vector<Case> cases = {
      {"the first loader block fails", [&](SimUpgradeSettings& s) { s.failingAddress = loaders[0].address; },
       aErrInvalidOption, 0, "Transferred 2 blocks, " + std::to_string(2 * loaders[0].length) + " total bytes"},
      {"the last loader block fails", [&](SimUpgradeSettings& s) { s.failingAddress = loaders[2].address; },
       aErrInvalidOption, 0, "Transferred 2 blocks, " + std::to_string(2 * loaders[0].length) + " total bytes"},
      {"loader taken without an answer", [](SimUpgradeSettings& s) { s.answerLoad = false; }, aErrNone, 1, all},
  };
  for (const Case& c : cases) {
    SimUpgradeSettings settings;
    c.change(settings);
    upgrade->setSettings(settings);
    Reconnect();
    const qfsim::SimUpgradeRecord before = upgrade->record();
    qftest::RecordingDisplay shown;
    EXPECT_EQ(_transfer_loader(shown, *module, bird), c.expected) << c.name;
    const qfsim::SimUpgradeRecord after = upgrade->record();
    EXPECT_EQ(after.loads - before.loads, c.loads) << c.name;
    EXPECT_EQ(after.loaders.size() - before.loaders.size(), 3u) << c.name << ": every block was sent";
    const std::vector<std::string> infos = shown.infos();
    EXPECT_NE(std::find(infos.begin(), infos.end(), c.transferred), infos.end()) << c.name;
  }
}

// A refused PREPARE ends that block's attempts at once: no retry, no reboot.
TEST_F(UpgradeTest, ARefusedFirmwarePrepareEndsTheBlocksAttempts) {
  const BirdFile bird = LoadBird();
  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  Configure([&](SimUpgradeSettings& settings) {
    settings.loaderRunning = true;
    settings.refusedAddress = blocks[1].address;
  });
  EXPECT_EQ(SendFirmware(bird, false), aErrInvalidOption);
  const qfsim::SimUpgradeRecord record = upgrade->record();
  EXPECT_EQ(record.prepares, 2u) << "the first block, then one PREPARE of the second";
  EXPECT_EQ(record.reboots, 0u);
  const std::vector<std::string> infos = display.infos();
  EXPECT_EQ(std::find(infos.begin(), infos.end(), "  Retry 1"), infos.end());
  EXPECT_EQ(infos.back(), "Transferred 1 blocks, " + std::to_string(blocks[0].length) + " total bytes");
}

// Failures that end an operation with the given result within bounded time.
TEST_F(UpgradeTest, FailuresGiveTheirResultsPromptly) {
  const Bytes block = Block(0x4000, qftest::bird::randomBytes(40, 3));
  struct Case {
    const char* name;
    std::function<void(SimUpgradeSettings&, qfsim::SimFaults&)> fault;
    std::function<aErr(UpdaterEntity&)> operation;
    aErr expected;
    double within;
  };
  auto prepare = [&](UpdaterEntity& entity) {
    uint16_t size = 0;
    return entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, size);
  };
  auto prepared = [&](std::function<aErr(UpdaterEntity&, uint16_t)> then) {
    return [&, then](UpdaterEntity& entity) {
      uint16_t size = 0;
      const aErr err = entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, size);
      return err != aErrNone ? err : then(entity, size);
    };
  };
  const std::vector<Case> cases = {
      {"silent init", [](auto&, auto& faults) { faults.silent = true; },
       [](UpdaterEntity& e) { return e.LoaderInit(); }, aErrTimeout, 2.0},
      {"silent prepare", [](auto&, auto& faults) { faults.silent = true; }, prepare, aErrTimeout, 2.0},
      {"prepare without block size", [](auto& s, auto&) { s.shortStatusReplies = true; }, prepare, aErrInvalidOption,
       2.0},
      {"data echo always wrong", [](auto& s, auto&) { s.wrongEchoes = 100; },
       [&](UpdaterEntity& e) { return e.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())); },
       aErrPacket, 2.0},
      {"write answered without status", [](auto& s, auto&) { s.shortStatusReplies = true; },
       [](UpdaterEntity& e) { return e.FirmwareWrite(10); }, aErrInvalidOption, 2.0},
      {"block size 0", [](auto& s, auto&) { s.blockSize = 0; }, prepared([&](UpdaterEntity& e, uint16_t size) {
         return e.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), size, display);
       }),
       aErrSize, 2.0},
      {"block without its address", [](auto&, auto&) {},
       [&](UpdaterEntity& e) { return e.FirmwareTransfer(block.data(), 3, 512, display); }, aErrParam, 0.5},
      {"load never answered", [](auto& s, auto&) { s.answerLoad = false; },
       [](UpdaterEntity& e) { return e.LoaderStart(); }, aErrTimeout, 3.5},
  };
  for (const Case& c : cases) {
    SimUpgradeSettings settings;
    qfsim::SimFaults faults;
    c.fault(settings, faults);
    upgrade->setSettings(settings);
    sim->module.setFaults(faults);
    Reconnect();
    UpdaterEntity entity;
    entity.init(module.get(), 0, true, false);
    const auto started = Clock::now();
    EXPECT_EQ(c.operation(entity), c.expected) << c.name;
    EXPECT_LT(static_cast<double>(qftest::MillisecondsSince(started).count()) / 1000.0, c.within) << c.name;
    sim->module.setFaults({});
  }
}

TEST_F(UpgradeTest, LoadAnsweredOnlyAfterTheRestartIsTakenAfterAReconnect) {
  Configure([](SimUpgradeSettings& settings) { settings.loadAnsweredAfterRestart = true; });
  UpdaterEntity entity;
  entity.init(module.get(), 0, true, false);
  const auto started = Clock::now();
  EXPECT_EQ(entity.LoaderStart(), aErrNone);
  EXPECT_LT(static_cast<double>(qftest::MillisecondsSince(started).count()) / 1000.0, 2.5);
  EXPECT_TRUE(log.contains("NETWORK: Loader validated start (Reconnect)\n"));
  EXPECT_TRUE(module->isConnected());
}

TEST_F(UpgradeTest, RebootWaitsBoundedForTheLinkToDrop) {
  Configure([](SimUpgradeSettings& settings) { settings.rebootRestarts = false; });
  struct Case {
    bool skipWait;
    double atLeast, within;
  };
  for (const Case& c : {Case{true, 0.2, 1.0}, Case{false, 2.9, 4.0}}) {
    UpdaterEntity entity;
    entity.init(module.get(), 0, true, c.skipWait);
    const uint32_t reboots = upgrade->record().reboots;
    const auto started = Clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_GT(static_cast<double>(qftest::MillisecondsSince(started).count()) / 1000.0, c.atLeast) << c.skipWait;
    EXPECT_LT(static_cast<double>(qftest::MillisecondsSince(started).count()) / 1000.0, c.within) << c.skipWait;
    EXPECT_EQ(upgrade->record().reboots, reboots + 1) << c.skipWait;
  }
  EXPECT_EQ(display.all().back(), "spin off");
}

}  // namespace
