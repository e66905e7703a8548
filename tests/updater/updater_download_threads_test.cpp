// Downloads and server build lists against the test update server over loopback HTTP, into a
// store in a temporary folder. The download's server request runs on a worker thread while the
// calling thread turns the spinner.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/HTTPRequest.h"
#include "firmware/KeyValueStore.h"
#include "support/bird_generator.h"
#include "support/loopback_tcp.h"
#include "support/recording_display.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "updater/Updater.h"

using namespace UpdaterRoutines;

namespace {

using qftest::RecordingDisplay;
using qftest::TempFolder;
using qftest::UpdateServerProcess;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x0012ABCD;
const std::string kDevice = "0012ABCD";

// A real bird file of the build, as the server hands it out.
std::string _birdText(uint32_t build) {
  qftest::bird::Build made;
  made.build = build;
  made.seed = build;
  const qftest::bird::Bytes bytes = qftest::bird::makeBirdFile(made);
  return std::string(bytes.begin(), bytes.end());
}
const std::string kFive = _birdText(5);
const std::string kTwelve = _birdText(12);

// Stalled transfers end after about a second instead of half a minute.
struct QuickGiveUp {
  QuickGiveUp() {
    HTTPLimits limits;
    limits.connectTimeoutMs = 2000;
    limits.lowSpeedSeconds = 1;
    HTTPRequest::SetLimits(limits);
  }
  ~QuickGiveUp() { HTTPRequest::SetLimits(HTTPLimits{}); }
};

// A server offering builds 5 and 12 for kSerial, a fresh store and an Updater on both.
class Download : public ::testing::Test {
 protected:
  explicit Download(const std::string& fault = "none") : server(fault) {}
  void SetUp() override {
    ASSERT_TRUE(server.running());
    server.addBuild(kSerial, "5", kFive, "1.0.5");
    server.addBuild(kSerial, "12", payload, "2.10.4");
  }
  std::string stored(const std::string& name) const {
    return qftest::ReadWholeFile(store + "/" + kDevice + "/" + name);
  }
  KeyValueStore settings() const { return KeyValueStore((store + "/" + kDevice + "/.settings").c_str()); }
  bool asked(const std::string& piece) const {
    auto all = server.requests();
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& r) { return r.find(piece) != std::string::npos; });
  }

  const std::string payload = kTwelve;
  QuickGiveUp quick;
  UpdateServerProcess server;
  TempFolder folder;
  std::string store = folder / "store";
  RecordingDisplay display;
  Updater updater{server.baseUrl(), store, display};
};

TEST_F(Download, NewestBuildLandsInTheNewDeviceFolderAndIsNoted) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 12u);

  EXPECT_EQ(stored("12.bird"), payload);
  KeyValueStore noted = settings();
  EXPECT_EQ(noted.GetString(KEY_LATEST_DOWNLOAD, ""), "12.bird");
  const std::string date = noted.GetString(KEY_LAST_DOWNLOAD_DATE, "");
  EXPECT_FALSE(date.empty());
  EXPECT_EQ(date.find('\n'), std::string::npos);
  EXPECT_EQ(display.infos(),
            (std::vector<std::string>{"Retrieving build 12", "Validating build 12 with server", "Build 12 is valid"}));
  EXPECT_TRUE(display.errors().empty());
  std::vector<std::string> events = display.all();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[3], "spin [Downloading]");
  EXPECT_EQ(events.back(), "spin off");
  EXPECT_TRUE(asked("bld=12&") && asked("no_cal=false&"));
}

TEST_F(Download, GivenBuildAndNoCalibrationChoiceReachTheRequest) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "5", false, true), 5u);
  EXPECT_EQ(stored("5.bird"), kFive);
  EXPECT_EQ(settings().GetString(KEY_LATEST_DOWNLOAD, ""), "5.bird");
  EXPECT_TRUE(asked("bld=5&") && asked("no_cal=true&"));
}

TEST_F(Download, OverrideRequestsABuildTheListLacks) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "7", true, false), 0u);
  EXPECT_TRUE(asked("bld=7&"));
  EXPECT_EQ(display.infos(),
            (std::vector<std::string>{"Retrieving build 7", "Override specified, skipping validation of build 7"}));
  EXPECT_EQ(display.errors(), (std::vector<std::string>{"Download failed", "Failed to retrieve a valid BIRD file"}));
}

// Each refusal ends the download with its message before the build file is asked for.
TEST_F(Download, RefusalsNameTheirReason) {
  struct Case {
    uint32_t serial;
    const char* build;
    const char* error;
    bool serverAsked;
  } cases[] = {
      {kSerial, "abc", "Build number 'abc' must be an number", false},
      {kSerial, "12abc", "Build number '12abc' must be an number", false},
      {kSerial, "4294967296", "Build number '4294967296' must be an number", false},
      {0, "", "Serial Number must be non-zero", false},
      {0x0BADBAD0, "", "No build information for device", true},
      {kSerial, "7", "No valid build 7", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    RecordingDisplay seen;
    Updater fresh(server.baseUrl(), store, seen);
    const size_t before = server.requests().size();
    EXPECT_EQ(fresh.Download_Firmware(c.serial, c.build, false, false), 0u);
    EXPECT_EQ(seen.errors(), std::vector<std::string>{c.error});
    EXPECT_EQ(server.requests().size() > before, c.serverAsked);
    EXPECT_FALSE(asked("op=bird"));
  }
}

TEST_F(Download, StoreThatCannotBeMadeStopsTheDownload) {
  qftest::WriteWholeFile(store, "a file where the store should be");
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0].rfind("Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0), 0u);
  EXPECT_FALSE(asked("op=qu"));
}

// A file in place of the device's folder: the download cannot be written and fails.
TEST_F(Download, FileInPlaceOfTheDeviceFolderFailsTheWrite) {
  ASSERT_NE(_createUpdaterStore(display, store, "test"), nullptr);
  qftest::WriteWholeFile(store + "/" + kDevice, "not a folder");
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to write file with 3"});
  EXPECT_EQ(qftest::ReadWholeFile(store + "/" + kDevice), "not a folder");
}

// A build that cannot be written leaves the settings naming the build stored before it.
TEST_F(Download, FailedWriteKeepsTheLastStoredBuildNoted) {
  ASSERT_EQ(updater.Download_Firmware(kSerial, "5", false, false), 5u);
  const std::string date = settings().GetString(KEY_LAST_DOWNLOAD_DATE, "");
  std::filesystem::create_directory(store + "/" + kDevice + "/12.bird");  // where the file should go

  EXPECT_EQ(updater.Download_Firmware(kSerial, "12", false, false), 0u);
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0].rfind("Failed to write file with ", 0), 0u);
  EXPECT_EQ(settings().GetString(KEY_LATEST_DOWNLOAD, ""), "5.bird");
  EXPECT_EQ(settings().GetString(KEY_LAST_DOWNLOAD_DATE, ""), date);
  EXPECT_EQ(stored("5.bird"), kFive);
}

TEST_F(Download, ServerListsItsBuildsWithVersions) {
  EXPECT_EQ(updater.Get_BuildList(kSerial), (Updater::BuildList{{"12", "2.10.4"}, {"5", "1.0.5"}}));
  EXPECT_TRUE(display.errors().empty());
}

TEST(ValidBuild, KeysCompareAsNumbers) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  server.addBuild(kSerial, "12", "x");
  server.addBuild(kSerial, "120", "x");
  for (auto [build, valid] : {std::pair{12u, true}, {120u, true}, {1u, false}, {0u, false}}) {
    EXPECT_EQ(_valid_build(kSerial, build, server.baseUrl()), valid) << build;
  }
  EXPECT_FALSE(_valid_build(0x0BADBAD0, 0, server.baseUrl()));
}

class DownloadBadBase64 : public Download {
 protected:
  DownloadBadBase64() : Download("badbase64") {}
};

TEST_F(DownloadBadBase64, NothingIsStoredOrNoted) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to retrieve a valid BIRD file"});
  EXPECT_EQ(stored("12.bird"), "");
  EXPECT_EQ(settings().GetString(KEY_LATEST_DOWNLOAD, "none"), "none");
}

// Bytes that are no bird file never reach the store: the earlier build and its key stay.
TEST_F(Download, ABuildThatDoesNotLoadIsNeitherStoredNorNoted) {
  ASSERT_EQ(updater.Download_Firmware(kSerial, "5", false, false), 5u);
  const qftest::bird::Bytes truncated = qftest::bird::makeBroken(qftest::bird::Broken::TruncatedStream);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"ASCII text", "this is no firmware at all\n"},
      {"a truncated zlib stream", std::string(truncated.begin(), truncated.end())},
      {"45 MiB of zero bytes", std::string(size_t{45} << 20, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.addBuild(kSerial, "12", c.bytes, "2.10.4");
    RecordingDisplay shown;
    Updater fetcher(server.baseUrl(), store, shown);
    EXPECT_EQ(fetcher.Download_Firmware(kSerial, "12", false, false), 0u);
    // A loaded machine may also fail the large transfer itself ("Download failed" comes first
    // then); either way the reply is refused and nothing reaches the store.
    ASSERT_FALSE(shown.errors().empty());
    EXPECT_EQ(shown.errors().back(), "Failed to retrieve a valid BIRD file");
    EXPECT_FALSE(std::filesystem::exists(store + "/" + kDevice + "/12.bird"));
    EXPECT_EQ(stored("5.bird"), kFive);
    EXPECT_EQ(settings().GetString(KEY_LATEST_DOWNLOAD, ""), "5.bird");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(store + "/" + kDevice))
      left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".settings", ".store.lock", "5.bird"})) << "no leftover of the check";
  }
}

class DownloadWrapped : public Download {
 protected:
  DownloadWrapped() : Download("wrapped") {}
};

TEST_F(DownloadWrapped, ABuildWrappedIntoLinesIsStoredWhole) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "12", false, false), 12u);
  EXPECT_EQ(stored("12.bird"), kTwelve);
  EXPECT_TRUE(display.errors().empty());
}

class DownloadStalled : public Download {
 protected:
  DownloadStalled() : Download("stallbird") {}
};

// The build request never gets an answer: the transfer gives up, the spinner turned every
// 100 ms meanwhile, and the download fails with both messages.
TEST_F(DownloadStalled, GivesUpInBoundedTimeWithTheSpinnerTurning) {
  const auto start = Clock::now();
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_EQ(display.errors(), (std::vector<std::string>{"Download failed", "Failed to retrieve a valid BIRD file"}));
  const std::vector<std::string> events = display.all();
  const auto turns = std::count(events.begin(), events.end(), "spin [Downloading]");
  EXPECT_GE(turns, elapsed.count() / 100 / 2);  // generous for a loaded machine
  EXPECT_EQ(std::count(events.begin(), events.end(), "spin off"), 1);
}

// Servers that refuse the connection or never answer: the ping fails in bounded time.
TEST(DownloadServerGone, PingFailureIsShownForEveryOperation) {
  QuickGiveUp quick;
  qftest::LoopbackListener closed;
  closed.close();
  const std::string refused = "http://127.0.0.1:" + std::to_string(closed.port()) + "/cgi/u";
  UpdateServerProcess stalled("stall");
  ASSERT_TRUE(stalled.running());
  TempFolder folder;
  for (const std::string& url : {refused, stalled.baseUrl()}) {
    SCOPED_TRACE(url);
    RecordingDisplay display;
    Updater updater(url, folder.path(), display);
    const auto start = Clock::now();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_TRUE(updater.Get_BuildList(kSerial).empty());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    const std::string error = "Server request failed for " + url;
    EXPECT_EQ(display.errors(), (std::vector<std::string>{error, error}));
  }
}

TEST(DownloadByFingerprint, ServerNamesTheDeviceAndBuild) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  server.addBuild(kSerial, "5", kFive, "1.0.5");
  server.addBuild(kSerial, "12", kTwelve, "2.10.4");
  TempFolder folder;
  RecordingDisplay display;
  Updater updater(server.baseUrl(), folder.path(), display);
  const Fingerprint known{{1, 2, 3, 4}};
  server.addRecovery("00000001%2000000002%2000000003%2000000004", "0012ABCD", "5");

  struct Case {
    const char* build;
    uint32_t expected;
  } cases[] = {{"", 5}, {"x", 5}, {"12", 12}};
  for (const Case& c : cases) {
    EXPECT_EQ(updater.Download_Firmware(known, c.build, false), c.expected) << c.build;
  }
  EXPECT_EQ(qftest::ReadWholeFile(folder.path() + "/0012ABCD/12.bird"), kTwelve);

  RecordingDisplay unknownDisplay;
  Updater other(server.baseUrl(), folder.path(), unknownDisplay);
  EXPECT_EQ(other.Download_Firmware(Fingerprint{{9, 9, 9, 9}}, "", false), 0u);
  EXPECT_EQ(unknownDisplay.errors(),
            std::vector<std::string>{"Failed to retrieve recovery information from Tarnwick update server"});
}

}  // namespace
