// The serial-download client over a UART: a pseudo-terminal whose far end is the simulated ROM
// (sim/sdp), reading at the line's own pace where it matters. Line set-up and association,
// what goes over the line, what lands in the ROM's memory, and every way the ROM can fail the
// client, each ending in bounded time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "sim/sdp/simSdpSerial.h"
#include "support/descriptors.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/sdp_loader_cases.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qfsim::SimSdpSerial;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t kLineBytesPerSecond = 115200 / 10;
const Bytes kKey = {0x23, 0x45, 0x45, 0x23};

Bytes _pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 13 + i / 241);
  return bytes;
}

Bytes _joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A command as it goes over the line: no report id.
Bytes _command(std::initializer_list<uint8_t> head) {
  Bytes bytes(head);
  bytes.resize(16, 0);
  return bytes;
}

class SerialSdp : public ::testing::Test {
 protected:
  // A fresh ROM on a fresh line; `beforeInit` may change the ROM before the client opens it.
  void open(const std::function<void(SimSdpSerial&)>& beforeInit = nullptr) {
    startRom();
    if (beforeInit) beforeInit(*sim);
    openClient();
  }
  void startRom() {
    loader.reset();
    sim = std::make_unique<SimSdpSerial>();
    std::string error;
    ASSERT_TRUE(sim->start(&error)) << error;
  }
  void openClient(uint64_t strayBytes = 0) {
    log.reset();  // the old capture silences the log as it goes
    log = std::make_unique<qftest::LogCapture>(Log::DEBUG_iMXSerial);
    auto owned = std::make_unique<Serial_SDPLoader>(sim->path().c_str(), strayBytes);
    transport = owned.get();
    loader = std::make_unique<SDPLoader>();
    ASSERT_TRUE(loader->setLoader(std::move(owned)));
    ASSERT_EQ(loader->init(), SDPLoader::SUCCESS);
  }
  void TearDown() override { loader.reset(); }

  std::unique_ptr<SimSdpSerial> sim;
  std::unique_ptr<qftest::LogCapture> log;
  Serial_SDPLoader* transport = nullptr;  // owned by the loader
  std::unique_ptr<SDPLoader> loader;
};

TEST_F(SerialSdp, InitSetsTheLineUpAndAssociates) {
  open();
  termios line = sim->lineSettings();
  EXPECT_EQ(cfgetispeed(&line), speed_t(B115200));
  EXPECT_EQ(cfgetospeed(&line), speed_t(B115200));
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL), tcflag_t(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(line.c_iflag & ~tcflag_t(IGNBRK), 0u);
  EXPECT_EQ(line.c_oflag, 0u);
  EXPECT_EQ(line.c_lflag, 0u);
  EXPECT_EQ(sim->associations(), 1u);
  EXPECT_EQ(sim->received(), kKey);
}

TEST_F(SerialSdp, ReportsLoseTheirIdOnTheLine) {
  open();
  struct Case {
    Bytes report;
    int64_t result;
    Bytes onTheLine;
  };
  const Case cases[] = {
      {{}, -1, {}},
      {{0x01}, 0, {}},
      {{0x01, 0xAA, 0xBB}, 2, {0xAA, 0xBB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report.size());
    size_t before = sim->received().size();
    EXPECT_EQ(transport->writeData(c.report), c.result);
    Bytes reply;
    transport->readData(reply, 50);
    Bytes received = sim->received();
    EXPECT_EQ(Bytes(received.begin() + before, received.end()), c.onTheLine);
  }
}

// The ROM reads at the line's pace: the final status only comes after the last byte has
// crossed the line, long after the client handed it to the port.
TEST_F(SerialSdp, ImageCrossesThePacedLineAndLandsInMemory) {
  open([](SimSdpSerial& s) { s.setLineFaults({.bytesPerSecond = kLineBytesPerSecond}); });
  const Bytes image = _pattern(2500);
  EXPECT_EQ(loader->writeLoader(image, 0x20000000), SDPLoader::SUCCESS);
  EXPECT_TRUE(log->contains("Loader Transfer Successful\n")) << log->text();
  EXPECT_EQ(sim->rom().memory(0x20000000, image.size()), image);

  loader->startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  const Bytes expected = _joined({
      kKey,
      _command({0x05, 0x05}),
      _command({0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4}),
      image,
      _command({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}),
  });
  EXPECT_EQ(sim->received(), expected);
  ASSERT_EQ(sim->rom().jumps().size(), 1u);
  EXPECT_TRUE(sim->rom().jumps()[0].accepted);
}

TEST_F(SerialSdp, FingerprintIsTheTwoFuseWords) {
  open([](SimSdpSerial& s) {
    s.rom().setRegister(0x401F4410, 0x89ABCDEF);
    s.rom().setRegister(0x401F4420, 0x01234567);
  });
  uint64_t fingerprint = 0;
  EXPECT_EQ(loader->getFingerprint(fingerprint), SDPLoader::SUCCESS);
  EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
}

using Operation = qftest::SdpOperation;

struct FailureCase {
  const char* name;
  std::function<void(SimSdpSerial&)> beforeInit;
  std::function<void(SimSdpSerial&)> afterInit;
  Operation operation;
  int result;
  const char* logged;
  int withinMs;
  size_t bytesOnTheLine = 0;  // everything the ROM received (0: not checked)
};

TEST_F(SerialSdp, EveryFailureIsReportedInBoundedTime) {
  auto faults = [](auto change) { return qftest::RomFaults<SimSdpSerial>(change); };
  auto line = [](qfsim::SimSdpLineFaults f) { return [f](SimSdpSerial& s) { s.setLineFaults(f); }; };
  const FailureCase cases[] = {
      {"silent ROM", nullptr, faults([](auto& f) { f.silent = true; }), Operation::WriteImage, SDPLoader::NO_ANSWER,
       "Error: No ack from iMX device\n", 1500, 4 + 5 * 16},
      // The key goes once; the status requests follow it plainly.
      {"ROM not listening", line({.ignoreAssociation = true}), nullptr, Operation::WriteImage, SDPLoader::NO_ANSWER,
       "Error: No ack from iMX device\n", 2000, 4 + 5 * 16},
      {"status answered on the fifth request", nullptr, faults([](auto& f) { f.ignoreStatusRequests = 4; }),
       Operation::WriteImage, SDPLoader::SUCCESS, "Loader Transfer Successful\n", 1500},
      {"replies without the security word", nullptr, faults([](auto& f) { f.shortReply = true; }),
       Operation::WriteImage, SDPLoader::NO_ANSWER, "Error: No ack from iMX device\n", 1500},
      {"wrong final status", nullptr, faults([](auto& f) { f.completionStatus = 0x12345678; }), Operation::WriteImage,
       SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 1000},
      // A missing status is waited for in proportion to the image: a slow ROM may still be reading.
      {"no final status", nullptr, faults([](auto& f) { f.completionStatus.reset(); }), Operation::WriteImage,
       SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 2000},
      {"early error after the first report", nullptr, faults([](auto& f) { f.abortAfterDataBytes = 1024; }),
       Operation::WriteImage, SDPLoader::TRANSFER_ABORTED, "Error while transfering loader. Aborting\n", 1000,
       4 + 16 + 16 + 1024},
      {"line drops during the image", nullptr, line({.hangUpAfterDataBytes = 1000}), Operation::WriteImage,
       SDPLoader::NOT_COMPLETED, "Loader Transfer Unsuccessful\n", 1000},
      {"ROM that never stops sending", nullptr, line({.flood = true}), Operation::WriteImage,
       SDPLoader::TRANSFER_ABORTED, "Error while transfering loader. Aborting\n", 2000},
      {"first fuse word unanswered", nullptr, faults([](auto& f) { f.answeredCommands = 1; }),
       Operation::ReadFingerprint, SDPLoader::NO_VALUE, "Read Data: 0\n", 1000},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    open(c.beforeInit);
    if (c.afterInit) c.afterInit(*sim);
    auto start = steady_clock::now();
    uint64_t fingerprint = 0;
    const int result = qftest::RunSdpOperation(*loader, c.operation, _pattern(2500), fingerprint);
    EXPECT_EQ(result, c.result);
    EXPECT_LT(steady_clock::now() - start, milliseconds(c.withinMs));
    EXPECT_TRUE(log->contains(c.logged)) << log->text();
    if (c.bytesOnTheLine) {
      EXPECT_EQ(sim->received().size(), c.bytesOnTheLine);
    }
  }
}

TEST_F(SerialSdp, InitAgainReopensThePort) {
  open();
  size_t before = qftest::OpenDescriptorCount();
  EXPECT_EQ(loader->init(), SDPLoader::SUCCESS);
  EXPECT_EQ(qftest::OpenDescriptorCount(), before);
  EXPECT_EQ(sim->associations(), 2u);
  EXPECT_EQ(sim->received(), _joined({kKey, kKey}));
}

// Descriptor 0 is a port like any other: the transport closes it when it goes.
TEST_F(SerialSdp, PortOnDescriptorZeroIsClosed) {
  int savedInput = dup(0);
  ASSERT_GE(savedInput, 0);
  startRom();
  close(0);
  openClient();
  EXPECT_GE(fcntl(0, F_GETFD), 0);  // the port took descriptor 0
  loader.reset();
  errno = 0;
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  dup2(savedInput, 0);
  close(savedInput);
}

}  // namespace

namespace {

// A ROM that takes commands without echoing the key is still reached: the key goes once, the
// commands plainly after it.
TEST_F(SerialSdp, RomThatDoesNotEchoTheKeyTakesPlainCommands) {
  open([](SimSdpSerial& s) {
    s.setLineFaults({.framing = qfsim::SimSdpFraming::fromFirstByte, .ignoreAssociation = true});
  });
  EXPECT_FALSE(transport->associated());
  const Bytes image = _pattern(3000);
  EXPECT_EQ(loader->writeLoader(image, 0x20000000), SDPLoader::SUCCESS) << log->text();
  EXPECT_EQ(sim->rom().memory(0x20000000, image.size()), image);
  const Bytes received = sim->received();
  ASSERT_GE(received.size(), 4u + 16u);
  EXPECT_EQ(Bytes(received.begin(), received.begin() + 4), kKey);
  EXPECT_EQ(Bytes(received.begin() + 4, received.begin() + 20), _command({0x05, 0x05})) << "no second key";
}

// A ROM that reads more slowly than the port takes bytes gets a large image all the same: the
// final status is waited for in proportion to what is still on its way.
TEST_F(SerialSdp, SlowReadingRomGetsALargeImage) {
  struct Case {
    uint32_t bytesPerSecond;
    size_t size;
  };
  // 20 ms for each 1024-byte report, and a ROM that reads at less than half the line's pace.
  for (const Case& c : {Case{1024 * 1000 / 20, 70000}, Case{kLineBytesPerSecond / 3, 8000}}) {
    SCOPED_TRACE(c.bytesPerSecond);
    open([&](SimSdpSerial& s) { s.setLineFaults({.bytesPerSecond = c.bytesPerSecond}); });
    const Bytes image = _pattern(c.size);
    EXPECT_EQ(loader->writeLoader(image, 0x20000000), SDPLoader::SUCCESS) << log->text();
    EXPECT_EQ(sim->rom().memory(0x20000000, image.size()), image);
  }
}

// A jump the ROM refuses (nothing was written there) is reported; an accepted one is not.
TEST_F(SerialSdp, RefusedJumpIsReported) {
  open();
  EXPECT_EQ(loader->startLoader(0x20000400), SDPLoader::JUMP_REFUSED);
  EXPECT_EQ(loader->writeLoader(_pattern(64), 0x20000400), SDPLoader::SUCCESS);
  EXPECT_EQ(loader->startLoader(0x20000400), SDPLoader::SUCCESS);
}

// Bytes another client sent before (a probe for another bootloader) began a command in a ROM that
// counts commands from its first byte: the client completes that command before the key, so the
// key and the commands stand in frame. A ROM that drops everything before the key drops the
// completion too.
TEST_F(SerialSdp, StrayBytesBeforeTheKeyAreFramed) {
  for (qfsim::SimSdpFraming framing : {qfsim::SimSdpFraming::afterKey, qfsim::SimSdpFraming::fromFirstByte}) {
    for (size_t stray : {0u, 3u, 19u}) {
      SCOPED_TRACE(testing::Message() << "framing " << int(framing) << ", " << stray << " stray bytes");
      startRom();
      sim->setLineFaults({.framing = framing});
      const int line = ::open(sim->path().c_str(), O_RDWR | O_NOCTTY);
      ASSERT_GE(line, 0);
      const std::string probe(stray, '?');
      EXPECT_EQ(::write(line, probe.data(), probe.size()), ssize_t(probe.size()));
      ::close(line);
      ASSERT_TRUE(qftest::Eventually([&] { return sim->received().size() == stray; }));
      openClient(stray);
      EXPECT_TRUE(transport->associated());
      const Bytes image = _pattern(2000);
      EXPECT_EQ(loader->writeLoader(image, 0x20000000), SDPLoader::SUCCESS) << log->text();
      EXPECT_EQ(sim->rom().memory(0x20000000, image.size()), image);
    }
  }
}

}  // namespace
