// The updater program's update, run as a child process against a simulated Ethernet module with
// its loader and the test update server: from a file, a stored build and the newest stored
// build, after a download in the same run, with and without byte-array loading, and with the
// model check skipped. The module's discovery answer is multicast, so every test runs in a
// private network namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "firmware/BirdFile.h"
#include "sim/module/simEthernetDiscovery.h"
#include "sim/module/simUpgrade.h"
#include "support/bird_generator.h"
#include "support/entity_sim.h"
#include "support/ethernet_announce.h"
#include "support/private_network.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/updater_program.h"

namespace {

namespace bird = qftest::bird;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;

constexpr uint32_t kSerial = 0x0012ABCD;

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string _bird(uint32_t build, const std::string& model = "QF-Core") {
  bird::Build spec;
  spec.build = build;
  spec.serial = kSerial;
  spec.model = model;
  spec.firmwareSize = 3000;
  spec.seed = build;
  const bird::Bytes bytes = bird::makeBirdFile(spec);
  return std::string(bytes.begin(), bytes.end());
}

// One module with its loader, answering discovery, and the store and server of one run.
struct Bench {
  explicit Bench(bool offerByteArrays = false, const std::string& serverFault = "none") : server(serverFault) {
    qfsim::SimUpgradeSettings settings;
    settings.offerUEIData = offerByteArrays;
    upgrade->setSettings(settings);
    qfsim::SimUpgrade::attach(upgrade, sim.entities, sim.module);
    responder = qftest::AnnounceModules({qftest::EthernetReply(sim)});
    server.addBuild(kSerial, "180", _bird(180), "2.12.5");
    server.addBuild(kSerial, "250", _bird(250), "2.13.0");
  }
  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-i", store.path(), "-u", server.baseUrl()});
    return qftest::RunUpdater(args);
  }
  std::string settings() const { return qftest::ReadWholeFile(store / "updater/0012ABCD/.settings"); }
  // The firmware bytes the module committed, all images in order.
  std::string committed() const {
    std::string bytes;
    for (const qfsim::SimImage& image : upgrade->record().firmware)
      bytes.append(image.bytes.begin(), image.bytes.end());
    return bytes;
  }

  qftest::EntitySim sim{qftest::SimIdentity(kSerial, 2, 4)};
  std::shared_ptr<qfsim::SimUpgrade> upgrade = std::make_shared<qfsim::SimUpgrade>();
  std::unique_ptr<qfsim::SimEthernetDiscovery> responder;
  qftest::UpdateServerProcess server;
  qftest::TempFolder store;
  // The module's folder of the store, made as a download would make it.
  std::string deviceFolder() const {
    const std::string path = store / "updater/0012ABCD";
    std::filesystem::create_directories(path);
    return path;
  }
  qftest::TempFolder folder;
};

// The firmware the module must commit for a bird file: its firmware blocks' payloads with the
// module's serial number patched in, in order.
std::string _payload(const std::string& birdText, const qftest::TempFolder& folder) {
  const std::string path = folder / "expected.bird";
  qftest::WriteWholeFile(path, birdText);
  BirdFile file(path.c_str());
  if (file.hasSerialBlocks) file.ReplaceSerialNumber(kSerial);
  std::string bytes;
  for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE))
    bytes.append(block.data + 4, block.data + block.length);
  return bytes;
}

TEST(ProgramUpdate, InstallsTheBuildChosenByFileBuildOrStore) {
  QF_REQUIRE_PRIVATE_NETWORK();
  struct Case {
    const char* name;
    std::vector<Args> before;  // runs that prepare the store
    Args update;
    uint32_t installed;
    std::string transfer;  // LATEST_TRANSFER afterwards
  };
  const std::vector<Case> cases = {
      {"newest stored build",
       {{"-G", "-d", "12ABCD", "-b", "180"}, {"-G", "-d", "12ABCD"}},
       {"-U", "-d", "12ABCD"},
       250,
       "250.bird"},
      {"named build",
       {{"-G", "-d", "12ABCD", "-b", "180"}, {"-G", "-d", "12ABCD"}},
       {"-U", "-d", "12ABCD", "-b", "180"},
       180,
       "180.bird"},
      {"download then update", {}, {"-G", "-U", "-d", "12ABCD"}, 250, "250.bird"},
      {"named download then update", {}, {"-G", "-U", "-d", "12ABCD", "-b", "180"}, 180, "180.bird"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    ASSERT_TRUE(bench.sim.started && bench.server.running());
    for (const Args& args : c.before) ASSERT_EQ(bench.run(args).status, 0);
    const UpdaterResult result = bench.run(c.update);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(_has(result.out, "Update time: ")) << result.out;
    EXPECT_FALSE(_has(result.out, "\r")) << "no progress bar off a terminal";
    EXPECT_TRUE(bench.committed() == _payload(_bird(c.installed), bench.folder)) << "firmware differs";
    EXPECT_EQ(bench.upgrade->record().reboots, 1u);
    EXPECT_TRUE(_has(bench.settings(), "LATEST_TRANSFER=" + c.transfer + "\n")) << bench.settings();
  }
}

TEST(ProgramUpdate, FromAFileWithTheModelCheckAndByteArrayLoading) {
  QF_REQUIRE_PRIVATE_NETWORK();
  struct Case {
    const char* name;
    std::string model;  // in the file
    Args extra;
    int status;
    bool byteArrays;  // the firmware went as byte arrays, not data packets
  };
  const std::vector<Case> cases = {
      {"byte arrays by default", "QF-Core", {}, 0, true},
      {"data packets with -m 0", "QF-Core", {"-m", "0"}, 0, false},
      {"another model is refused", "QF-100", {}, 1, false},
      {"unless the check is overridden", "QF-100", {"-O", "-m", "false"}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(true);
    ASSERT_TRUE(bench.sim.started);
    const std::string file = bench.folder / "update.bird";
    qftest::WriteWholeFile(file, _bird(77, c.model));
    Args args{"-U", "-d", "12ABCD", "-f", file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const UpdaterResult result = bench.run(args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    const qfsim::SimUpgradeRecord record = bench.upgrade->record();
    if (c.status != 0) {
      EXPECT_TRUE(_has(result.err, "Birdfile failed validation")) << result.err;
      EXPECT_TRUE(record.firmware.empty());
      continue;
    }
    EXPECT_TRUE(bench.committed() == _payload(_bird(77, c.model), bench.folder)) << "firmware differs";
    EXPECT_TRUE(_has(bench.settings(), "LATEST_TRANSFER=" + file + "\n")) << bench.settings();
    const bool packets = record.dataPackets > record.loaders.size() * 20;  // the loader always goes in packets
    EXPECT_EQ(!packets, c.byteArrays) << record.dataPackets;
  }
}

// A download that fails ends "-G -U" with status 1: the older build the store holds is not
// installed in its place.
TEST(ProgramUpdate, AFailedDownloadInstallsNothing) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Bench bench(false, "resetbird");
  ASSERT_TRUE(bench.sim.started && bench.server.running());
  const std::string folder = bench.deviceFolder();
  qftest::WriteWholeFile(folder + "/180.bird", _bird(180));
  qftest::WriteWholeFile(folder + "/.settings", "LATEST_DOWNLOAD=180.bird\n");
  const UpdaterResult result = bench.run({"-G", "-U", "-d", "12ABCD"});
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_TRUE(_has(result.err, "Download failed")) << result.err;
  EXPECT_FALSE(_has(result.out, "Updating")) << result.out;
  EXPECT_TRUE(bench.upgrade->record().loaders.empty());
  EXPECT_TRUE(bench.upgrade->record().firmware.empty());
  EXPECT_FALSE(_has(bench.settings(), "LATEST_TRANSFER=")) << bench.settings();
}

// While another process updates the module (it holds the update lock), a second update says so
// and fails without touching the module; once the lock is free the update runs.
TEST(ProgramUpdate, OneUpdateOfAModuleAtATime) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Bench bench;
  ASSERT_TRUE(bench.sim.started);
  const std::string file = bench.folder / "update.bird";
  qftest::WriteWholeFile(file, _bird(77));
  const Args update{"-U", "-d", "12ABCD", "-f", file};
  {
    const int lock = ::open((bench.deviceFolder() + "/.update.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const UpdaterResult refused = bench.run(update);
    ::close(lock);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_TRUE(_has(refused.err, "another update of module [0012ABCD] is running")) << refused.err;
    EXPECT_EQ(bench.sim.module.record().connections, 0u) << "the module was contacted";
    EXPECT_TRUE(bench.upgrade->record().loaders.empty());
  }
  const UpdaterResult result = bench.run(update);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(bench.committed() == _payload(_bird(77), bench.folder)) << "firmware differs";
}

}  // namespace
