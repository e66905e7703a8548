// The serial-download client without a device: which transport it holds, what its results say
// when there is nothing to talk to, and how each transport reads a value out of a reply. The
// protocol itself is tested against the simulated ROM (hid_ and serial_sdploader tests).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "support/descriptors.h"
#include "support/temp_folder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Only counts what is done to it.
struct CountingTransport : SDPLoader_Interface {
  struct Counts {
    int inits = 0;
    int destroyed = 0;
  };
  CountingTransport(bool willOpen, Counts* tally) : opens(willOpen), counts(tally) {}
  ~CountingTransport() override { ++counts->destroyed; }
  bool init() override {
    ++counts->inits;
    return opens;
  }
  int64_t writeData(const Bytes&) override { return -1; }
  int64_t readData(Bytes&, unsigned) override { return 0; }
  bool getDataFromBuffer(const Bytes&, unsigned, uint32_t&) override { return false; }

  bool opens;
  Counts* counts;
};

TEST(SDPLoaderTransport, OneTransportForTheLoadersLife) {
  CountingTransport::Counts first, second;
  auto refused = std::make_unique<CountingTransport>(false, &second);
  {
    SDPLoader loader;
    EXPECT_FALSE(loader.setLoader(std::unique_ptr<SDPLoader_Interface>()));
    EXPECT_TRUE(loader.setLoader(std::make_unique<CountingTransport>(true, &first)));
    EXPECT_FALSE(loader.setLoader(std::move(refused)));
    EXPECT_NE(refused, nullptr);                   // only a taken transport is moved from
    EXPECT_EQ(loader.init(), SDPLoader::SUCCESS);  // the first transport, still in place
    EXPECT_EQ(first.inits, 1);
    EXPECT_EQ(second.inits, 0);
  }
  EXPECT_EQ(first.destroyed, 1);
  EXPECT_EQ(second.destroyed, 0);  // a refused transport stays the caller's
}

TEST(SDPLoaderTransport, InitSaysWhatFailed) {
  CountingTransport::Counts counts;
  SDPLoader none;
  EXPECT_EQ(none.init(), SDPLoader::NO_TRANSPORT);
  SDPLoader failing;
  failing.setLoader(std::make_unique<CountingTransport>(false, &counts));
  EXPECT_EQ(failing.init(), SDPLoader::OPEN_FAILED);
}

// Without a transport, or with one that was never opened, every call ends at once and nothing
// reports success.
TEST(SDPLoaderTransport, NothingToTalkToIsNoAnswer) {
  struct Case {
    const char* name;
    std::unique_ptr<SDPLoader_Interface> transport;
  };
  Case cases[] = {
      {"no transport", nullptr},
      {"HID never opened", std::make_unique<HID_SDPLoader>(IMX1050::VID, IMX1050::PID)},
      {"serial never opened", std::make_unique<Serial_SDPLoader>("/dev/null")},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    SDPLoader loader;
    if (SDPLoader_Interface* transport = c.transport.get()) {
      ASSERT_TRUE(loader.setLoader(std::move(c.transport)));
      Bytes reply;
      EXPECT_EQ(transport->writeData({1, 5, 5}), -1);
      EXPECT_EQ(transport->readData(reply, 0), 0);
    }
    auto start = steady_clock::now();
    uint64_t fingerprint = 0x1234;
    EXPECT_EQ(loader.writeLoader(Bytes(100, 0xAA), 0x20000000), SDPLoader::NO_ANSWER);
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::NO_ANSWER);
    EXPECT_EQ(fingerprint, 0x1234u);
    EXPECT_NE(loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS), SDPLoader::SUCCESS);
    EXPECT_LT(steady_clock::now() - start, milliseconds(200));
  }
}

// A ROM that acknowledges every request and confirms the write, over a line that cuts one kind
// of report (by its command byte, or the data report) to half its length.
struct HalvingTransport : SDPLoader_Interface {
  explicit HalvingTransport(int command) : halved(command) {}
  bool init() override { return true; }
  int64_t writeData(const Bytes& report) override {
    const int kind = report[0] == 2 ? 2 : report[1];
    return int64_t(kind == halved ? report.size() / 2 : report.size());
  }
  int64_t readData(Bytes& out, unsigned timeoutMs) override {
    if (timeoutMs == 0) return 0;  // it never speaks unasked
    out = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
    return int64_t(out.size());
  }
  bool getDataFromBuffer(const Bytes& reply, unsigned, uint32_t& value) override {
    value |= SDPLoader_WordAt(reply, 4);
    return true;
  }
  int halved;
};

// The ROM waits for every byte a report promised: a write whose command or data went out only
// in part is not done, whatever the final status says.
TEST(SDPLoaderTransport, WriteIsDoneOnlyWhenEveryReportWentOutWhole) {
  struct Case {
    const char* name;
    int halved;
    int result;
  };
  const Case cases[] = {
      {"every report whole", 0, SDPLoader::SUCCESS},
      {"write command halved", 0x04, SDPLoader::NOT_COMPLETED},
      {"data report halved", 2, SDPLoader::NOT_COMPLETED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<HalvingTransport>(c.halved)));
    EXPECT_EQ(loader.writeLoader(Bytes(100, 0xAA), 0x20000000), c.result);
  }
}

// A ROM that takes the jump answers its security word alone, as silent about the status as a
// ROM that never heard it: the jump's report must have gone out whole for a start.
TEST(SDPLoaderTransport, StartIsDoneOnlyWhenTheJumpWentOutWhole) {
  struct LettingGo : SDPLoader_Interface {
    explicit LettingGo(int64_t (*sent)(const Bytes&)) : written(sent) {}
    bool init() override { return true; }
    int64_t writeData(const Bytes& report) override { return written(report); }
    int64_t readData(Bytes& out, unsigned) override {
      out = {0x56, 0x78, 0x78, 0x56};
      return 4;
    }
    bool getDataFromBuffer(const Bytes&, unsigned, uint32_t&) override { return false; }
    int64_t (*written)(const Bytes&);
  };
  struct Case {
    const char* name;
    int64_t (*sent)(const Bytes&);
    int result;
  };
  const Case cases[] = {
      {"with its report id", [](const Bytes& r) { return int64_t(r.size()); }, SDPLoader::SUCCESS},
      {"without (a UART)", [](const Bytes& r) { return int64_t(r.size() - 1); }, SDPLoader::SUCCESS},
      {"halved", [](const Bytes& r) { return int64_t(r.size() / 2); }, SDPLoader::NOT_COMPLETED},
      {"not sent", [](const Bytes&) { return int64_t(-1); }, SDPLoader::NOT_COMPLETED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(std::make_unique<LettingGo>(c.sent)));
    EXPECT_EQ(loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS), c.result);
  }
}

// A port that cannot be had fails at once, before the line would settle, and keeps no descriptor.
TEST(SerialSDPLoader, UnusablePortsFailInit) {
  qftest::TempFolder folder;
  qftest::WriteWholeFile(folder / "plain", "not a terminal");
  const std::string paths[] = {folder / "missing", "/dev/null", folder / "plain", folder.path()};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    size_t before = qftest::OpenDescriptorCount();
    auto start = steady_clock::now();
    SDPLoader loader;
    loader.setLoader(std::make_unique<Serial_SDPLoader>(path.c_str()));
    EXPECT_EQ(loader.init(), SDPLoader::OPEN_FAILED);
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(qftest::OpenDescriptorCount(), before);
  }
}

Bytes _hidReply(uint32_t word, uint8_t firstId = 3, uint8_t secondId = 4) {
  Bytes reply(70, 0);
  reply[0] = firstId;
  reply[1] = 0x56;
  reply[5] = secondId;
  for (int i = 0; i < 4; ++i) reply[6 + i] = uint8_t(word >> (8 * i));
  return reply;
}

struct ValueCase {
  const char* name;
  Bytes reply;
  unsigned offset;
  uint32_t start;
  bool found;
  uint32_t value;
};

void _expectValues(SDPLoader_Interface& transport, const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t value = c.start;
    EXPECT_EQ(transport.getDataFromBuffer(c.reply, c.offset, value), c.found);
    EXPECT_EQ(value, c.value);
  }
}

TEST(HIDSDPLoader, ValueStandsAfterBothReports) {
  Bytes atOffset15 = _hidReply(0);
  for (int i = 0; i < 4; ++i) atOffset15[21 + i] = uint8_t(0x11 * (i + 1));
  Bytes reportFourAlone(65, 0);
  reportFourAlone[0] = 4;
  std::fill(reportFourAlone.begin() + 1, reportFourAlone.begin() + 5, 0x88);
  Bytes longer = _hidReply(0x88888888);
  longer.push_back(0);
  HID_SDPLoader transport(IMX1050::VID, IMX1050::PID);
  _expectValues(transport, {
                               {"complete", _hidReply(0x88888888), 0, 0, true, 0x88888888},
                               {"ored into the value", _hidReply(0x12345670), 0, 0x0000000F, true, 0x1234567F},
                               {"last offset", atOffset15, 15, 0, true, 0x44332211},
                               {"offset past the last", _hidReply(0x88888888), 16, 0, false, 0},
                               {"report 4 alone", reportFourAlone, 0, 0, false, 0},
                               {"one byte more", longer, 0, 0, false, 0},
                               {"reports swapped", _hidReply(0x88888888, 4, 3), 0, 0, false, 0},
                               {"empty", {}, 0, 0, false, 0},
                           });
}

TEST(SerialSDPLoader, ValueIsTheSecondWord) {
  const Bytes complete = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
  const Bytes twelve = {0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0};
  Serial_SDPLoader transport("/dev/null");
  _expectValues(transport, {
                               {"complete", complete, 0, 0, true, 0x88888888},
                               {"seven bytes", Bytes(complete.begin(), complete.begin() + 7), 0, 0, false, 0},
                               {"ored into the value", complete, 0, 0x77, true, 0x888888FF},
                               {"offset 1 in twelve bytes", twelve, 1, 0, true, 0x04030201},
                               {"offset 1 in eleven bytes", Bytes(twelve.begin(), twelve.end() - 1), 1, 0, false, 0},
                               {"offset past the last", Bytes(72, 0), 16, 0, false, 0},
                               {"empty", {}, 0, 0, false, 0},
                           });
}

}  // namespace
