// The Updater object, its shared routines and the list of stored builds, on real folders and
// against the simulated module over TCP.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/Module.h"
#include "firmware/UpdateSteps.h"
#include "support/bird_generator.h"
#include "support/entity_sim.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "updater/Updater.h"

using namespace UpdaterRoutines;

namespace {

using qftest::RecordingDisplay;
using qftest::TempFolder;
using Tarnwick::Quillfern::Module;
using Tarnwick::Quillfern::OrvaneConfig;

constexpr uint32_t kSerial = 0x0012ABCD;

std::string _text(const qftest::bird::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(UpdaterObject, StartsWithoutTheByteArrayPath) {
  RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", "/nowhere", display);
  EXPECT_FALSE(updater.UEIBytesLoad());
  updater.Set_UEIBytes_Load(true);
  EXPECT_TRUE(updater.UEIBytesLoad());
  EXPECT_EQ(updater.ServerUrl(), "http://127.0.0.1:1/cgi/u");
  EXPECT_EQ(updater.StoreDir(), "/nowhere");
  EXPECT_TRUE(display.all().empty());
}

TEST(CreateUpdaterStore, NamesTheCallerAndTheReasonWhenTheRootIsAFile) {
  TempFolder folder;
  RecordingDisplay display;
  EXPECT_NE(_createUpdaterStore(display, folder / "new/store", "load_bird"), nullptr);
  EXPECT_TRUE(display.all().empty());

  qftest::WriteWholeFile(folder / "file", "x");
  EXPECT_EQ(_createUpdaterStore(display, folder / "file", "load_bird"), nullptr);
  ASSERT_EQ(display.errors().size(), 1u);
  const std::string shown = display.errors()[0];
  const std::string prefix = "Failed to Create UpdaterStore in: load_bird - Exception: ";
  EXPECT_EQ(shown.rfind(prefix, 0), 0u) << shown;
  EXPECT_GT(shown.size(), prefix.size()) << "the store's reason is missing";
}

TEST(DisableEther, SetsDirectControlAndIsRefusedOnceConnected) {
  qftest::EntitySim sim;
  ASSERT_TRUE(sim.started);
  RecordingDisplay display;
  Module module(2, 0);
  EXPECT_EQ(_disableEther(module, display), aErrNone);
  OrvaneConfig config;
  ASSERT_EQ(module.getConfig(&config), aErrNone);
  EXPECT_EQ(config.enabled, 0);
  EXPECT_EQ(config.fallback, 0);
  EXPECT_EQ(config.localOnly, 1);
  EXPECT_TRUE(display.all().empty());

  ASSERT_EQ(module.connectFromSpec(sim.spec(qfsim::SimTransport::tcp)), aErrNone);
  EXPECT_EQ(_disableEther(module, display), aErrMode);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to SET network configuration"});
  module.disconnect();
}

class LocalBuilds : public ::testing::Test {
 protected:
  void put(const std::string& name, const std::string& content) {
    qftest::WriteWholeFile(folder / ("store/0012ABCD/" + name), content);
  }
  std::string birdOf(const std::string& version) {
    qftest::bird::Build build;
    build.version = version;
    return _text(qftest::bird::makeBirdFile(build));
  }

  TempFolder folder;
  RecordingDisplay display;
  Updater updater{"http://127.0.0.1:1/cgi/u", folder / "store", display};
};

TEST_F(LocalBuilds, ListsEachEntryByNameWithItsVersion) {
  ASSERT_NE(_createUpdaterStore(display, folder / "store", "test"), nullptr);
  std::filesystem::create_directories(folder / "store/0012ABCD");
  put("123.bird", birdOf("2.10.4"));
  put("5.bird", birdOf("1.0.0"));
  put("5.bird.old", birdOf("1.0.0"));
  put("notes.txt", "some notes");
  put("broken.bird", _text(qftest::bird::makeBroken(qftest::bird::Broken::BadStream)));
  put(".settings", "LATEST_DOWNLOAD=123.bird\n");
  put(".hidden.bird", birdOf("9.9.9"));

  EXPECT_EQ(updater.Get_BuildListLocal(kSerial),
            (Updater::BuildList{{"123", "2.10.4"}, {"5", "1.0.0"}, {"broken", ""}, {"notes.txt", ""}}));
  EXPECT_TRUE(display.errors().empty());
}

TEST_F(LocalBuilds, MissingDeviceOrStoreGivesAnEmptyList) {
  EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
  EXPECT_TRUE(display.errors().empty());

  qftest::WriteWholeFile(folder / "file", "x");
  Updater blocked("http://127.0.0.1:1/cgi/u", folder / "file", display);
  EXPECT_TRUE(blocked.Get_BuildListLocal(kSerial).empty());
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0), 0u);
}

}  // namespace
