// The updater program's commands, run as a child process against the simulators: discovery of
// a module on the fake USB bus of the test process, and the build lists and downloads of the
// test update server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/simEntities.h"
#include "support/bird_generator.h"
#include "support/loopback_tcp.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/updater_program.h"
#include "support/usb_fake.h"
#include "support/usb_sim_module.h"

namespace {

using qftest::RunUpdater;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;

constexpr uint32_t kSerial = 0x0012ABCD;

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string _bird(uint32_t build, const std::string& version) {
  qftest::bird::Build spec;
  spec.build = build;
  spec.version = version;
  spec.serial = kSerial;
  const qftest::bird::Bytes bytes = qftest::bird::makeBirdFile(spec);
  return std::string(bytes.begin(), bytes.end());
}

class ServerCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    server.addBuild(kSerial, "100", _bird(100, "2.9.1"), "2.9.1");
    server.addBuild(kSerial, "250", _bird(250, "2.12.0"), "2.12.0");
    server.addBuild(kSerial, "180", _bird(180, "2.10.14"), "2.10.14");
    server.setFirmware(kSerial, "main");
  }

  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-i", store.path(), "-u", server.baseUrl()});
    return RunUpdater(args);
  }
  std::string stored(const std::string& name) const {
    return qftest::ReadWholeFile(store.path() + "/updater/0012ABCD/" + name);
  }

  qftest::UpdateServerProcess server;
  qftest::TempFolder store;
};

TEST_F(ServerCommands, ListsTheServersBuildsNewestVersionFirst) {
  const UpdaterResult result = run({"-B", "-d", "12ABCD"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(_has(result.out,
                   "Build List for device [0012ABCD]:\n\n"
                   "Build          \tVersion        \n"
                   "250            \t2.12.0         \n"
                   "180            \t2.10.14        \n"
                   "100            \t2.9.1          \n"))
      << result.out;
  const UpdaterResult none = run({"-B", "-d", "77"});
  EXPECT_EQ(none.status, 0);
  EXPECT_TRUE(_has(none.out, "No builds found for device [00000077]"));
}

// A build list request that failed is not reported as a server without builds.
TEST(ServerFaults, AFailedBuildListRequestSaysSoAndFails) {
  for (const char* fault : {"status404", "status500", "notok", "empty", "closed port"}) {
    SCOPED_TRACE(fault);
    std::unique_ptr<qftest::UpdateServerProcess> server;
    std::string url;
    if (std::string(fault) == "closed port") {
      qftest::LoopbackListener listener;
      url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/cgi/u";
    } else {
      server = std::make_unique<qftest::UpdateServerProcess>(fault);
      ASSERT_TRUE(server->running());
      url = server->baseUrl();
    }
    qftest::TempFolder store;
    const UpdaterResult result = RunUpdater({"-B", "-d", "12ABCD", "-i", store.path(), "-u", url});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_TRUE(_has(result.err, "Server request failed for " + url)) << result.err;
    EXPECT_FALSE(_has(result.out, "No builds found")) << result.out;
  }
}

TEST_F(ServerCommands, DownloadsTheNewestOrTheNamedBuildAndListsTheLocalOnes) {
  const UpdaterResult local = run({"-L", "-d", "12ABCD"});
  EXPECT_EQ(local.status, 0);
  EXPECT_TRUE(_has(local.out, "No builds found for device [0012ABCD]"));

  const UpdaterResult newest = run({"-G", "-d", "12ABCD"});
  EXPECT_EQ(newest.status, 0) << newest.out << newest.err;
  EXPECT_TRUE(_has(newest.out, "No build specified\nUsing Latest build\n"));
  EXPECT_EQ(stored("250.bird"), _bird(250, "2.12.0"));

  const UpdaterResult named = run({"-G", "-d", "12ABCD", "-b", "100"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_TRUE(_has(named.out, "Retrieving firmware build 100\n"));
  EXPECT_EQ(stored("100.bird"), _bird(100, "2.9.1"));
  EXPECT_TRUE(_has(stored(".settings"), "LATEST_DOWNLOAD=100.bird\n"));

  const UpdaterResult missing = run({"-G", "-d", "12ABCD", "-b", "999"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(_has(missing.err, "No valid build 999"));

  const UpdaterResult listed = run({"-L", "-d", "0x12abcd"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_TRUE(_has(listed.out,
                   "Build          \tVersion        \n"
                   "250            \t2.12.0         \n"
                   "100            \t2.9.1          \n"))
      << listed.out;
}

// Two downloads of different builds into one store at once: each stored file holds exactly what
// the server sent for its build, and the settings name one of them.
TEST(ConcurrentDownloads, EachBuildKeepsItsOwnBytes) {
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  std::map<std::string, std::string> sent;
  for (const uint32_t build : {5001u, 5002u}) {
    qftest::bird::Build spec;
    spec.build = build;
    spec.serial = kSerial;
    spec.firmwareSize = size_t{1} << 20;
    spec.pieces = 4;
    spec.seed = build;
    const qftest::bird::Bytes bytes = qftest::bird::makeBirdFile(spec);
    sent[std::to_string(build)] = std::string(bytes.begin(), bytes.end());
    server.addBuild(kSerial, std::to_string(build), sent[std::to_string(build)]);
  }
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    qftest::TempFolder store;
    std::vector<qftest::UpdaterProgram> runs;
    for (const auto& entry : sent)
      runs.emplace_back(Args{"-G", "-d", "12ABCD", "-b", entry.first, "-i", store.path(), "-u", server.baseUrl()});
    for (qftest::UpdaterProgram& run : runs) {
      const UpdaterResult result = run.finish();
      EXPECT_EQ(result.status, 0) << result.out << result.err;
    }
    const std::string folder = store.path() + "/updater/0012ABCD/";
    for (const auto& [build, bytes] : sent)
      EXPECT_TRUE(qftest::ReadWholeFile(folder + build + ".bird") == bytes)
          << build << ".bird differs from what was sent";
    const std::string settings = qftest::ReadWholeFile(folder + ".settings");
    EXPECT_TRUE(_has(settings, "LATEST_DOWNLOAD=5001.bird\n") != _has(settings, "LATEST_DOWNLOAD=5002.bird\n"))
        << settings;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      EXPECT_EQ(entry.path().filename().string().rfind(".download", 0), std::string::npos) << entry.path();
  }
}

// Staging files left by runs that never finished (killed) are cleared by the next download.
TEST_F(ServerCommands, ADownloadClearsStagingFilesLeftByEndedRuns) {
  const std::string folder = store.path() + "/updater/0012ABCD";
  std::filesystem::create_directories(folder);
  for (const char* name : {".download.bird", ".download-a1B2c3"})
    qftest::WriteWholeFile(folder + "/" + name, "left over");
  EXPECT_EQ(run({"-G", "-d", "12ABCD", "-b", "100"}).status, 0);
  EXPECT_EQ(stored("100.bird"), _bird(100, "2.9.1"));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", ".store.lock", "100.bird"}));
}

// Settings temporaries left by runs that ended in the middle of a save are cleared when the
// folder's settings are next saved. Kept: one that its writer still holds locked (a writer that
// is stopped), one made a moment ago (its writer may not have locked it yet), and anything that
// is no regular file.
TEST_F(ServerCommands, ASettingsSaveClearsTemporariesLeftByEndedRuns) {
  const std::string folder = store.path() + "/updater/0012ABCD";
  std::filesystem::create_directories(folder);
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
  const std::string outside = store.path() + "/outside";
  qftest::WriteWholeFile(outside, "not the store's");
  std::filesystem::last_write_time(outside, old);
  struct Case {
    const char* name;
    bool kept;
  };
  const Case cases[] = {{".tmp-4001-0", false}, {".tmp-4002-7", true}, {".tmp-4003-0", true}, {".tmp-4004-0", true}};
  for (const Case& c : cases) qftest::WriteWholeFile(folder + "/" + c.name, "KEY=left over\n");
  std::filesystem::last_write_time(folder + "/.tmp-4001-0", old);
  std::filesystem::last_write_time(folder + "/.tmp-4002-7", old);  // ... but held by a live writer
  std::filesystem::remove(folder + "/.tmp-4004-0");
  std::filesystem::create_symlink(outside, folder + "/.tmp-4004-0");
  const int writer = ::open((folder + "/.tmp-4002-7").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);

  const UpdaterResult result = run({"-G", "-d", "12ABCD", "-b", "100"});
  ::close(writer);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(_has(stored(".settings"), "LATEST_DOWNLOAD=100.bird\n"));
  for (const Case& c : cases)
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(folder + "/" + c.name)), c.kept) << c.name;
  EXPECT_EQ(qftest::ReadWholeFile(outside), "not the store's");
}

// A module on the fake USB bus, reached by the program through the bus of this process.
class UsbCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<qftest::UsbFake>();
    qftest::UsbSimModuleOptions options;
    options.serialNumber = kSerial;
    options.model = 4;
    module = std::make_unique<qftest::UsbSimModule>(*fake, options);
    qfsim::SimEntities::attach(entities, *module);
  }
  void TearDown() override {
    module.reset();
    fake.reset();
  }

  std::unique_ptr<qftest::UsbFake> fake;
  std::unique_ptr<qftest::UsbSimModule> module;
  std::shared_ptr<qfsim::SimEntities> entities = std::make_shared<qfsim::SimEntities>();
  qftest::TempFolder store;
};

TEST_F(UsbCommands, DiscoversTheModuleWithItsVersionBuildAndName) {
  // Model code 4 is the core module.
  const std::string expected =
      "Searching for Quillfern devices\nDiscovered Devices: (USB)\n"
      "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n"
      "    0012ABCD  02       00      QF-Core        2.12.5 (       100)         Simulated module\n";
  for (const Args& args : {Args{"-D"}, Args{"-D", "-t", "USB"}, Args{"-D", "-t", "RECOVER"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    Args full = args;
    full.insert(full.end(), {"-i", store.path()});
    const UpdaterResult result = RunUpdater(full);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(_has(result.out, expected)) << result.out << result.err;
  }
}

}  // namespace
