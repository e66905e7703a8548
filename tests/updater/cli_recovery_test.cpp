// The updater program's chip commands, run as a child process against the simulated LPC
// bootloader on a pseudo-terminal: the fingerprint ("-N"), alone and before another command,
// and the recovery of a module's firmware ("-U -t RECOVER").
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/lpcisp/simIspPort.h"
#include "support/bird_generator.h"
#include "support/temp_folder.h"
#include "support/updater_program.h"

namespace {

using qfsim::IspDevice;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
namespace bird = qftest::bird;

// Nothing listens here: a run that asks the update server when it should not fails loudly.
const char kNoServer[] = "http://127.0.0.1:9/cgi/u";

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ChipCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(chip.start(&error)) << error;
  }
  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-i", folder / "store", "-u", kNoServer});
    return qftest::RunUpdater(args);
  }

  qftest::TempFolder folder;
  qfsim::SimIspPort chip;
};

TEST_F(ChipCommands, FingerprintAloneAndBeforeAnotherCommand) {
  struct Case {
    Args args;
    int status;
    std::vector<std::string> out;
    std::vector<std::string> err;
  };
  const std::string fingerprint = "[ 1A2B3C4D 55AA00FF 00000001 FEDCBA98 ]\n";
  const std::vector<Case> cases = {
      {{"-N", "-s", chip.path()}, 0, {fingerprint}, {}},
      {{"-N", "-s", chip.path(), "-L", "-d", "5"}, 0, {fingerprint, "No builds found for device [00000005]"}, {}},
      {{"-N", "-s", folder / "no-port"}, 1, {}, {"Got no response from chip"}},
      // The last command run decides the status.
      {{"-N", "-s", folder / "no-port", "-L", "-d", "5"}, 0, {"No builds found"}, {"Got no response from chip"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const UpdaterResult result = run(c.args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    for (const std::string& part : c.out) EXPECT_TRUE(_has(result.out, part)) << result.out;
    for (const std::string& part : c.err) EXPECT_TRUE(_has(result.err, part)) << result.err;
  }
}

TEST_F(ChipCommands, RecoveryFlashesTheDescrambledImageFromAFile) {
  const qfsim::IspIdentity identity;
  const Bytes plain = bird::randomBytes(5000, 7);
  const std::string image = folder / "recovery.bird";
  bird::writeFile(image, bird::wrap(bird::compress(bird::encodeBody(
                             {bird::imageBlock(bird::FIRMWARE, 0x1000, bird::scramble(plain, identity.serial)),
                              bird::descriptorBlock("77", "1.2.3", "0012ABCD", "QF-100")}))));

  const UpdaterResult result = run({"-U", "-t", "RECOVER", "-s", chip.path(), "-o", "57600", "-f", image});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(_has(result.out, "Update time: ")) << result.out;
  chip.withDevice([&](IspDevice& device) {
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), device.flash().begin() + 0x1000));
    EXPECT_TRUE(device.record().executed);
  });

  const UpdaterResult missing = run({"-U", "-t", "RECOVER", "-s", chip.path(), "-f", folder / "none.bird"});
  EXPECT_EQ(missing.status, 1) << missing.out << missing.err;
}

}  // namespace
