// The ISP client against the simulated LPC bootloader on a pseudo-terminal: synchronisation,
// identification, return codes, RAM transfers and a whole flash image, each failure with its
// result and in bounded time. Also the reads' bounds against a line that never stops talking.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "recovery/NXPSerial.h"
#include "sim/lpcisp/simIspPort.h"
#include "support/log_capture.h"
#include "support/pty.h"

namespace {

using qfsim::IspDevice;
using qfsim::IspFaults;
using qfsim::IspIdentity;
using qfsim::SimIspPort;
using qftest::LogCapture;
using qftest::TestPty;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds TimeOf(const std::function<void()>& action) {
  const auto start = Clock::now();
  action();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// Numbers at the edges of signed and unsigned 32-bit text.
IspIdentity TestIdentity() {
  IspIdentity identity;
  identity.partId = 0x26113F37;
  identity.bootVersion[0] = 4;
  identity.bootVersion[1] = 13;
  const uint32_t serial[4] = {0x00000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  std::memcpy(identity.serial, serial, sizeof serial);
  return identity;
}

// A command's answer is awaited for NXPSerialClass::REPLY_MS.
constexpr milliseconds kCommandFailureBound{3 * NXPSerialClass::REPLY_MS};
constexpr milliseconds kChecksumWaitBound{6000};  // the checksum answer has 2000 empty reads

// A simulated chip with a client connected to it.
class IspBench {
 public:
  explicit IspBench(const IspFaults& faults = {}) {
    sim.withDevice([&](IspDevice& device) { device.faults() = faults; });
    std::string error;
    EXPECT_TRUE(sim.start(&error)) << error;
    EXPECT_EQ(isp.Connect(sim.path().c_str(), 115200), aErrNone);
  }
  void SyncUp() { ASSERT_EQ(isp.Sync(), aErrNone); }
  void SyncWithEcho(bool on) {
    SyncUp();
    if (!on) {
      ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
  }
  void ChangeFaults(const std::function<void(IspFaults&)>& change) {
    sim.withDevice([&](IspDevice& device) { change(device.faults()); });
  }
  Bytes Memory(bool flash, uint32_t offset, size_t count) {
    Bytes bytes;
    sim.withDevice([&](IspDevice& device) {
      const auto& memory = flash ? device.flash() : device.ram();
      bytes.assign(memory.begin() + offset, memory.begin() + offset + count);
    });
    return bytes;
  }
  qfsim::IspRecord Record() {
    qfsim::IspRecord record;
    sim.withDevice([&](IspDevice& device) { record = device.record(); });
    return record;
  }

  SimIspPort sim{TestIdentity()};
  NXPSerialClass isp;
};

class IspSession : public ::testing::Test, protected IspBench {};

TEST_F(IspSession, SyncAnnouncesTheCrystalAndLeavesEchoOn) {
  SyncUp();
  const qfsim::IspRecord record = Record();
  EXPECT_EQ(record.crystalKHz, 14746u);
  ASSERT_EQ(record.received.size(), 2u);
  EXPECT_EQ(record.received[0], "Synchronized");
  EXPECT_TRUE(isp.echo);
  sim.withDevice([](IspDevice& device) { EXPECT_TRUE(device.synchronized()); });
}

TEST_F(IspSession, SyncFailsWhenTheChipDoesNotFollow) {
  struct Case {
    const char* what;
    IspFaults faults;
    aErr expected;
  };
  IspFaults silent;
  silent.silent = true;
  IspFaults refused;
  refused.crystalAnswer = "NO\r\n";
  const Case cases[] = {{"no answer to ?", silent, aErrNotReady}, {"crystal frequency not confirmed", refused, aErrIO}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IspBench chip(c.faults);
    LogCapture log;
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] { err = chip.isp.Sync(); }), kCommandFailureBound);
    EXPECT_EQ(err, c.expected);
    EXPECT_TRUE(log.contains("Did not receive correct response")) << log.text();
  }
}

class IspEcho : public IspSession, public ::testing::WithParamInterface<bool> {};

TEST_P(IspEcho, IdentificationReadsTheFourDeviceNumbersInOrder) {
  SyncWithEcho(GetParam());
  LogCapture log;
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  const uint32_t expected[4] = {0x00000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(isp.deviceId[i], expected[i]) << i;
  long part = 0;
  ASSERT_EQ(isp.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26113F37);
  uint8_t first = 0, second = 0;
  ASSERT_EQ(isp.GetBootLoaderVersion(&first, &second), aErrNone);
  EXPECT_EQ(first, 4);
  EXPECT_EQ(second, 13);
  EXPECT_TRUE(log.contains("Device responded with version: 4.13\n"));
  EXPECT_TRUE(log.contains("Device responded with part number: 638664503\n"));
}

TEST_P(IspEcho, ACommandSucceedsOnlyOnReturnCodeZero) {
  SyncWithEcho(GetParam());
  const uint8_t data[4] = {1, 2, 3, 4};
  uint8_t out[4] = {};
  struct Operation {
    char letter;
    std::function<aErr()> run;
    bool transfers;  // a code 0 would start a data transfer
  };
  const Operation operations[] = {
      {'U', [&] { return isp.Unlock(); }, false},
      {'P', [&] { return isp.Prepare(0, 29); }, false},
      {'E', [&] { return isp.Erase(0, 29); }, false},
      {'C', [&] { return isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256); }, false},
      {'B', [&] { return isp.SetBaudRate(57600); }, false},
      {'W', [&] { return isp.Write(NXPSerialClass::WRITE_ADDRESS, 4, data); }, true},
      {'R', [&] { return isp.Read(0, 4, out); }, true},
  };
  for (const Operation& operation : operations) {
    for (uint32_t code : {10u, 19u, 1u, 0u}) {
      if (code == 0 && operation.transfers) continue;
      SCOPED_TRACE(std::string(1, operation.letter) + " answered " + std::to_string(code));
      ChangeFaults([&](IspFaults& faults) { faults.failCommands = {{operation.letter, code}}; });
      EXPECT_EQ(operation.run(), code == 0 ? aErrNone : aErrParam);
    }
  }
  EXPECT_EQ(isp.baudRate, 115200u) << "the host keeps its rate";
}

INSTANTIATE_TEST_SUITE_P(EchoOnAndOff, IspEcho, ::testing::Bool());

// The identification is the return code 0 and exactly four lines of decimal digits; an echo that
// comes doubled leaves bare line ends before the code, which are no part of the answer. Any
// other answer is an error and leaves the last numbers in place.
TEST_F(IspSession, IdentificationIsCodeZeroAndFourDecimalLines) {
  SyncUp();
  struct Case {
    const char* what;
    std::function<void(IspFaults&)> faults;
    aErr expected;
  };
  const Case cases[] = {
      {"echo doubled", [](IspFaults& f) { f.doubledEcho = {'N'}; }, aErrNone},
      {"read protected",
       [](IspFaults& f) {
         f.answers = {{'N', "19\r\n"}};
       },
       aErrParam},
      {"empty value line",
       [](IspFaults& f) {
         f.answers = {{'N', "0\r\n\r\n1\r\n2\r\n3\r\n"}};
       },
       aErrIO},
      {"hexadecimal",
       [](IspFaults& f) {
         f.answers = {{'N', "0\r\n1\r\n2\r\n3\r\n0x10\r\n"}};
       },
       aErrIO},
      {"signed",
       [](IspFaults& f) {
         f.answers = {{'N', "0\r\n1\r\n-2\r\n3\r\n4\r\n"}};
       },
       aErrIO},
      {"above 32 bits",
       [](IspFaults& f) {
         f.answers = {{'N', "0\r\n1\r\n2\r\n3\r\n4294967296\r\n"}};
       },
       aErrIO},
      {"no return code",
       [](IspFaults& f) {
         f.answers = {{'N', "N\r\n1\r\n2\r\n3\r\n4\r\n"}};
       },
       aErrIO},
      {"three lines",
       [](IspFaults& f) {
         f.answers = {{'N', "0\r\n1\r\n2\r\n3\r\n"}};
       },
       aErrNotReady},
  };
  const uint32_t expected[4] = {0x00000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChangeFaults([&](IspFaults& faults) {
      faults = IspFaults{};
      c.faults(faults);
    });
    std::fill(std::begin(isp.deviceId), std::end(isp.deviceId), 0xABCDu);
    EXPECT_EQ(isp.GetDeviceID(), c.expected);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(isp.deviceId[i], c.expected == aErrNone ? expected[i] : 0xABCDu) << i;
  }
}

// A chip busy with a command answers late: an erase is awaited for every sector it names, any
// other command for NXPSerialClass::REPLY_MS, and an answer later than that is no answer.
TEST_F(IspSession, AnswersAreAwaitedForWhatTheCommandAsks) {
  SyncUp();
  ASSERT_EQ(isp.Unlock(), aErrNone);
  for (uint32_t delay : {500u, 2000u}) {
    SCOPED_TRACE(delay);
    ChangeFaults([&](IspFaults& faults) { faults.replyDelayMs = {{'E', delay}}; });
    ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
    EXPECT_EQ(isp.Erase(0, 29), aErrNone);
  }
  ChangeFaults([&](IspFaults& faults) { faults.replyDelayMs = {{'P', 500}}; });
  EXPECT_EQ(isp.Prepare(0, 1), aErrNone);
  ChangeFaults([&](IspFaults& faults) { faults.replyDelayMs = {{'P', NXPSerialClass::REPLY_MS + 2000}}; });
  EXPECT_EQ(isp.Prepare(0, 1), aErrNotReady);
}

// A chip that an earlier session left in command mode, with echo on or off, is resumed without
// a handshake and answers with echo on.
TEST_P(IspEcho, SyncResumesAChipLeftInCommandMode) {
  sim.withDevice([](IspDevice& device) { device.leaveInCommandMode(GetParam()); });
  ASSERT_EQ(isp.Sync(), aErrNone);
  EXPECT_TRUE(isp.echo);
  sim.withDevice([](IspDevice& device) { EXPECT_TRUE(device.echo()); });
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  EXPECT_EQ(isp.deviceId[3], 0xFFFFFFFFu);
  EXPECT_EQ(Record().crystalKHz, 0u) << "no handshake";
}

// The start is refused with a return code, or taken without a word.
TEST_F(IspSession, StartFailsOnlyWhenRefused) {
  SyncUp();
  ChangeFaults([](IspFaults& faults) { faults.failCommands = {{'G', 15}}; });
  EXPECT_EQ(isp.ExecuteFrom(0), aErrParam);
  EXPECT_EQ(isp.lastReturnCode, 15);
  ChangeFaults([](IspFaults& faults) { faults.answers = {{'G', ""}}; });
  EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
  ChangeFaults([](IspFaults& faults) { faults = IspFaults{}; });
  EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
  EXPECT_TRUE(Record().executed);
}

TEST_F(IspSession, SetEchoChangesTheFlagOnlyWhenTheChipAgrees) {
  SyncUp();
  ChangeFaults([](IspFaults& faults) { faults.failCommands = {{'A', 12}}; });
  EXPECT_EQ(isp.SetEcho(false), aErrParam);
  EXPECT_TRUE(isp.echo);
  ChangeFaults([](IspFaults& faults) { faults.failCommands.clear(); });
  EXPECT_EQ(isp.SetEcho(false), aErrNone);
  EXPECT_FALSE(isp.echo);
  sim.withDevice([](IspDevice& device) { EXPECT_FALSE(device.echo()); });
  EXPECT_EQ(isp.SetEcho(true), aErrNone);
  EXPECT_TRUE(isp.echo);
}

TEST_F(IspSession, CommandErrorsAreLoggedByName) {
  SyncUp();
  LogCapture log;
  ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrParam) << "erasing needs the unlock first";
  EXPECT_TRUE(log.contains("Error response ==>[CMD_LOCKED]\n")) << log.text();
}

// Silence, a refusal, or value lines that are no numbers: no answer is taken for one.
TEST_F(IspSession, SilenceAfterTheCommandIsNoAnswer) {
  SyncUp();
  isp.deviceId[0] = 0xABCD;
  struct Case {
    const char* what;
    std::function<void(IspFaults&)> faults;
    std::function<aErr()> run;
    aErr expected;
  };
  uint8_t version[2] = {};
  long part = 0;
  const Case cases[] = {
      {"device id, silent", [](IspFaults& f) { f.silent = true; }, [&] { return isp.GetDeviceID(); }, aErrNotReady},
      {"device id, read protected",
       [](IspFaults& f) {
         f.failCommands = {{'N', 19}};
       },
       [&] { return isp.GetDeviceID(); }, aErrParam},
      {"part number", [](IspFaults& f) { f.silent = true; }, [&] { return isp.GetPartNumber(&part); }, aErrNotReady},
      {"version", [](IspFaults& f) { f.silent = true; },
       [&] { return isp.GetBootLoaderVersion(&version[0], &version[1]); }, aErrNotReady},
      {"prepare", [](IspFaults& f) { f.silent = true; }, [&] { return isp.Prepare(0, 1); }, aErrNotReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChangeFaults([&](IspFaults& faults) {
      faults = IspFaults{};
      c.faults(faults);
    });
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] { err = c.run(); }), kCommandFailureBound);
    EXPECT_EQ(err, c.expected);
  }
  EXPECT_EQ(isp.deviceId[0], 0xABCDu) << "a failed identification keeps the last numbers";
  EXPECT_EQ(part, 0);
}

// Writes image to flash at address as a recovery does: unlock, prepare and erase everything,
// then for each 4096-byte chunk a RAM write, a prepare of the chunk's sectors and a copy.
aErr FlashImage(NXPSerialClass& isp, uint32_t address, const Bytes& image) {
  constexpr uint32_t kChunk = 4096;
  aErr err = isp.Unlock();
  if (err == aErrNone) err = isp.Prepare(0, 29);
  if (err == aErrNone) err = isp.Erase(0, 29);
  for (uint32_t done = 0; err == aErrNone && done < image.size(); done += kChunk) {
    const uint32_t flash = address + done;
    const uint32_t chunk = std::min<uint32_t>(kChunk, static_cast<uint32_t>(image.size()) - done);
    err = isp.Write(NXPSerialClass::WRITE_ADDRESS, chunk, image.data() + done);
    if (err == aErrNone) {
      err = isp.Prepare(NXPSerialClass::SectorFromAddress(flash), NXPSerialClass::SectorFromAddress(flash + chunk - 1));
    }
    if (err == aErrNone) {
      err = isp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(chunk));
    }
  }
  return err;
}

TEST_P(IspEcho, AnImageAcrossSeveralSectorsLandsByteForByte) {
  SyncUp();
  sim.withDevice([](IspDevice& device) { device.loadFlash(0, Bytes(0x80000, 0x00)); });
  // Four chunks from the middle of sector 12 to the middle of sector 16: every chunk straddles
  // a sector boundary, the last one that of the 4 KB and the 32 KB sectors.
  const uint32_t address = 0xC800;
  const Bytes image = RandomBytes(4 * 4096, 11);
  if (!GetParam()) {
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
  }
  ASSERT_EQ(FlashImage(isp, address, image), aErrNone);
  ASSERT_EQ(isp.SetEcho(true), aErrNone);
  ASSERT_EQ(isp.ExecuteFrom(0), aErrNone);

  EXPECT_EQ(Memory(true, address, image.size()), image);
  EXPECT_EQ(Memory(true, 0, address), Bytes(address, 0xFF)) << "erased below the image";
  const uint32_t end = address + static_cast<uint32_t>(image.size());
  EXPECT_EQ(Memory(true, end, 0x80000 - end), Bytes(0x80000 - end, 0xFF)) << "erased above it";
  EXPECT_TRUE(sim.waitUntil([](const IspDevice& device) { return device.record().executed; }, milliseconds(2000)));
  EXPECT_EQ(Record().executeAddress, 0u);
  EXPECT_EQ(Record().resendsSent, 0u);
}

TEST_P(IspEcho, AReadBringsBackWhatTheChipHolds) {
  SyncWithEcho(GetParam());
  const Bytes stored = RandomBytes(2000, 5);
  sim.withDevice([&](IspDevice& device) { device.loadFlash(0x3000, stored); });
  Bytes read(stored.size());
  ASSERT_EQ(isp.Read(0x3000, static_cast<uint32_t>(read.size()), read.data()), aErrNone);
  EXPECT_EQ(read, stored);
}

TEST_F(IspSession, AWriteSendsABlockAgainOnRESENDWithinItsBudget) {
  SyncWithEcho(false);
  const Bytes data = RandomBytes(1000, 3);  // two checksum blocks
  struct Case {
    uint32_t resends;
    aErr expected;
  };
  for (Case c : {Case{2, aErrNone}, Case{3, aErrTimeout}}) {
    SCOPED_TRACE(c.resends);
    ChangeFaults([&](IspFaults& faults) { faults.resendWriteChecksums = c.resends; });
    LogCapture log;
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(data.size()), data.data()), c.expected);
    EXPECT_EQ(log.contains("Write() exceeded retries\n"), c.expected == aErrTimeout);
  }
  // The first call's blocks landed whole after their RESENDs.
  EXPECT_EQ(Memory(false, NXPSerialClass::WRITE_ADDRESS - IspDevice::kRamStart, data.size()), data);
}

TEST_F(IspSession, AReadAsksAgainOnABadChecksumWithinItsBudget) {
  SyncUp();
  const Bytes stored = RandomBytes(1200, 9);
  sim.withDevice([&](IspDevice& device) { device.loadFlash(0, stored); });
  for (uint32_t wrong : {2u, 3u}) {
    SCOPED_TRACE(wrong);
    ChangeFaults([&](IspFaults& faults) { faults.wrongReadChecksums = wrong; });
    Bytes read(stored.size());
    const aErr err = isp.Read(0, static_cast<uint32_t>(read.size()), read.data());
    EXPECT_EQ(err, wrong < 3 ? aErrNone : aErrTimeout);
    if (err == aErrNone) {
      EXPECT_EQ(read, stored);
    }
  }
}

TEST_F(IspSession, AWriteFailsOnAnyOtherChecksumAnswer) {
  SyncWithEcho(false);
  const Bytes data = RandomBytes(100, 4);
  for (const char* answer : {"OK", "BUSY\r\n"}) {
    SCOPED_TRACE(answer);
    ChangeFaults([&](IspFaults& faults) { faults.writeChecksumAnswer = answer; });
    LogCapture log;
    aErr err = aErrNone;
    const milliseconds took = TimeOf(
        [&] { err = isp.Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(data.size()), data.data()); });
    EXPECT_EQ(err, aErrIO);
    EXPECT_LT(took, kChecksumWaitBound);
    EXPECT_TRUE(log.contains("Write() unexpected response [")) << log.text();
  }
}

TEST(NXPSerialTransfer, SilenceInTheMiddleOfATransferFailsIt) {
  const Bytes data = RandomBytes(4096, 8);
  struct Case {
    const char* what;
    int32_t linesBeforeSilence;
    Bytes flash;  // what a read finds
    bool write;
    aErr expected;
  };
  const Case cases[] = {
      {"write", 5, {}, true, aErrIO},
      {"read", 5, data, false, aErrNotReady},
      {"read of zeros, nothing after the return code", 0, Bytes(4096, 0), false, aErrNotReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IspBench chip;
    chip.SyncWithEcho(false);
    chip.sim.withDevice([&](IspDevice& device) {
      device.loadFlash(0, c.flash);
      device.faults().silentAfterDataLines = c.linesBeforeSilence;
    });
    Bytes read(4096);
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] {
                err = c.write ? chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data())
                              : chip.isp.Read(0, 4096, read.data());
              }),
              kChecksumWaitBound);
    EXPECT_EQ(err, c.expected);
  }
}

// A far end that sends the same byte for ever, until the test ends.
class Chatter {
 public:
  Chatter(TestPty& pty, char byte)
      : _thread([this, &pty, byte] {
          const qftest::Bytes chunk(256, static_cast<uint8_t>(byte));
          while (!_stop) pty.send(chunk, 50);
        }) {}
  ~Chatter() {
    _stop = true;
    _thread.join();
  }

 private:
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

TEST(NXPSerialStrayBytes, ALineThatNeverStopsTalkingEndsEveryRead) {
  struct Case {
    const char* what;
    char byte;
    std::function<aErr(NXPSerialClass&)> read;
  };
  char buffer[64];
  size_t count = 0;
  const Case cases[] = {
      {"line ends before a reply", '\n',
       [&](NXPSerialClass& isp) { return isp.Response(buffer, sizeof buffer, &count, "OK\r\n", 4); }},
      {"a line held in break", '\0',
       [&](NXPSerialClass& isp) { return isp.Response(buffer, sizeof buffer, &count, nullptr, 0); }},
      {"noise instead of an echo", 'z', [&](NXPSerialClass& isp) { return isp.GetEcho("P 0 29\r\n", 7, &count); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPty pty(TestPty::Line::Raw);
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), 115200), aErrNone);
    Chatter chatter(pty, c.byte);
    aErr err = aErrNone;
    EXPECT_LT(TimeOf([&] { err = c.read(isp); }), milliseconds(3000));
    EXPECT_EQ(err, aErrIO);
  }
}

}  // namespace
