// The serial-download client over USB HID: the real hidapi against the simulated ROM on a fake
// hidraw device (umockdev). What goes out report by report, what lands in the ROM's memory,
// and every way the ROM can fail the client, each ending in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "support/log_capture.h"
#include "support/sdp_hid_rom.h"
#include "support/sdp_loader_cases.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qftest::SdpHidRom;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

Bytes _pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + i / 251);
  return bytes;
}

Bytes _command(std::initializer_list<uint8_t> head) {
  Bytes report(head);
  report.resize(17, 0);
  return report;
}

std::vector<Bytes> _reportsWithId(const std::vector<Bytes>& reports, uint8_t id, size_t from = 0) {
  std::vector<Bytes> found;
  for (size_t i = from; i < reports.size(); ++i) {
    if (!reports[i].empty() && reports[i][0] == id) found.push_back(reports[i]);
  }
  return found;
}

class HidSdp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qftest::HidFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    open();
  }
  void TearDown() override { close(); }

  void open() {
    logMark = log.text().size();
    device = std::make_unique<SdpHidRom>();
    loader = std::make_unique<SDPLoader>();
    ASSERT_TRUE(loader->setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID)));
    ASSERT_EQ(loader->init(), SDPLoader::SUCCESS);
  }
  // The loader (and hidapi) goes before the device.
  void close() {
    loader.reset();
    device.reset();
  }

  // What was logged since the device was last opened.
  bool logged(const std::string& text) { return log.text().find(text, logMark) != std::string::npos; }

  // One capture for the whole process: the umockdev preload closes files behind
  // ThreadSanitizer's back, which then mistakes a later capture's stream for an earlier one.
  static qftest::LogCapture& _capture() {
    static qftest::LogCapture capture{Log::DEBUG_iMXSerial};
    return capture;
  }
  qftest::LogCapture& log = _capture();
  size_t logMark = 0;
  std::unique_ptr<SdpHidRom> device;
  std::unique_ptr<SDPLoader> loader;
};

const Bytes kErrorStatus = _command({0x01, 0x05, 0x05});

TEST_F(HidSdp, CommandReportsCarryTheProtocolsBytes) {
  struct Case {
    const char* name;
    std::function<void(SDPLoader&)> action;
    std::vector<Bytes> commands;
  };
  const Case cases[] = {
      {"write 0x1234 bytes to 0x20000000",
       [](SDPLoader& l) { EXPECT_EQ(l.writeLoader(_pattern(0x1234), 0x20000000), SDPLoader::SUCCESS); },
       {kErrorStatus, _command({0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x12, 0x34})}},
      {"read the fingerprint",
       [](SDPLoader& l) {
         uint64_t fingerprint = 0;
         EXPECT_EQ(l.getFingerprint(fingerprint), SDPLoader::SUCCESS);
       },
       {kErrorStatus, _command({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04}),
        _command({0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0x00, 0x00, 0x00, 0x04})}},
      {"jump to 0x20000400",
       [](SDPLoader& l) { l.startLoader(0x20000400); },
       {_command({0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = device->hid().outReports().size();
    c.action(*loader);
    EXPECT_EQ(_reportsWithId(device->hid().outReports(), 1, before), c.commands);
  }
  ASSERT_EQ(device->rom().jumps().size(), 1u);
  EXPECT_TRUE(device->rom().jumps()[0].accepted);
}

TEST_F(HidSdp, ImageGoesOutInDataReportsAndLandsInMemory) {
  const Bytes image = _pattern(2500);
  EXPECT_EQ(loader->writeLoader(image, 0x20000000), SDPLoader::SUCCESS);
  EXPECT_TRUE(logged("Loader Transfer Successful\n"));

  std::vector<Bytes> data = _reportsWithId(device->hid().outReports(), 2);
  ASSERT_EQ(data.size(), 3u);
  const size_t sizes[] = {1025, 1025, 453};
  Bytes carried;
  for (size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(data[i].size(), sizes[i]);
    carried.insert(carried.end(), data[i].begin() + 1, data[i].end());
  }
  EXPECT_EQ(carried, image);
  EXPECT_EQ(device->rom().memory(0x20000000, image.size()), image);
  EXPECT_EQ(device->rom().memory(0x20000000 + 2500, 4), Bytes(4, 0));  // nothing past the image

  loader->startLoader(0x20000000);
  ASSERT_EQ(device->rom().jumps().size(), 1u);
  EXPECT_EQ(device->rom().jumps()[0].address, 0x20000000u);
  EXPECT_FALSE(device->rom().running());
}

TEST_F(HidSdp, FingerprintIsTheTwoFuseWords) {
  device->rom().setRegister(0x401F4410, 0x89ABCDEF);
  device->rom().setRegister(0x401F4420, 0x01234567);
  uint64_t fingerprint = ~uint64_t(0);  // whatever the caller held is replaced
  EXPECT_EQ(loader->getFingerprint(fingerprint), SDPLoader::SUCCESS);
  EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
}

TEST_F(HidSdp, OnlyTheRomsIdsOpen) {
  SDPLoader other;
  other.setLoader(std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID + 1));
  EXPECT_EQ(other.init(), SDPLoader::OPEN_FAILED);
  EXPECT_TRUE(logged("handle: (nil)\n"));
}

using Operation = qftest::SdpOperation;

struct FailureCase {
  const char* name;
  std::function<void(SdpHidRom&)> arrange;
  Operation operation;
  int result;
  const char* logged;
  int withinMs;
  // Output reports the device saw attempted in all (0: not checked).
  size_t writeAttempts = 0;
};

TEST_F(HidSdp, EveryFailureIsReportedInBoundedTime) {
  auto faults = [](auto change) { return qftest::RomFaults<SdpHidRom>(change); };
  const FailureCase cases[] = {
      {"silent ROM", faults([](auto& f) { f.silent = true; }), Operation::WriteImage, SDPLoader::NO_ANSWER,
       "Error: No ack from iMX device\n", 1500, 5},
      {"status answered on the fifth request", faults([](auto& f) { f.ignoreStatusRequests = 4; }),
       Operation::WriteImage, SDPLoader::SUCCESS, "Loader Transfer Successful\n", 1500},
      {"status requests ignored five times", faults([](auto& f) { f.ignoreStatusRequests = 5; }), Operation::WriteImage,
       SDPLoader::NO_ANSWER, "Error: No ack from iMX device\n", 1500},
      {"replies without the security report", faults([](auto& f) { f.shortReply = true; }), Operation::WriteImage,
       SDPLoader::NO_ANSWER, "Error: No ack from iMX device\n", 1500},
      {"wrong final status", faults([](auto& f) { f.completionStatus = 0x12345678; }), Operation::WriteImage,
       SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 1000},
      {"no final status", faults([](auto& f) { f.completionStatus.reset(); }), Operation::WriteImage,
       SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 1000},
      {"early error after the first report", faults([](auto& f) { f.abortAfterDataBytes = 1024; }),
       Operation::WriteImage, SDPLoader::TRANSFER_ABORTED, "Error while transfering loader. Aborting\n", 1000, 3},
      {"device gone at the first data report", [](SdpHidRom& d) { d.hid().unplugAfterWrites(2); },
       Operation::WriteImage, SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 1000, 3},
      {"device that never stops sending", [](SdpHidRom& d) { d.hid().setFlood(Bytes(65, 4)); }, Operation::WriteImage,
       SDPLoader::NO_ANSWER, "Error: No ack from iMX device\n", 3000},
      {"silent ROM asked for the fingerprint", faults([](auto& f) { f.silent = true; }), Operation::ReadFingerprint,
       SDPLoader::NO_ANSWER, "Error: No ack from iMX device\n", 1500},
      {"first fuse word unanswered", faults([](auto& f) { f.answeredCommands = 1; }), Operation::ReadFingerprint,
       SDPLoader::NO_VALUE, "Read Data: 0\n", 1000},
      {"second fuse word unanswered", faults([](auto& f) { f.answeredCommands = 2; }), Operation::ReadFingerprint,
       SDPLoader::NO_VALUE, "Read Data: 0\n", 1000},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    close();
    open();
    c.arrange(*device);
    auto start = steady_clock::now();
    uint64_t fingerprint = 0;
    const int result = qftest::RunSdpOperation(*loader, c.operation, _pattern(2500), fingerprint);
    EXPECT_EQ(result, c.result);
    EXPECT_LT(steady_clock::now() - start, milliseconds(c.withinMs));
    EXPECT_TRUE(logged(c.logged)) << log.text().substr(logMark);
    if (c.writeAttempts) {
      EXPECT_EQ(device->hid().writeAttempts(), c.writeAttempts);
    }
    if (c.operation == Operation::ReadFingerprint) {
      EXPECT_EQ(fingerprint, 0u);
    }
  }
}

}  // namespace
