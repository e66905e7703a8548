// The updater program's command line, run as a child process: exit statuses and messages of
// each path that needs no module, the option parser's matching rules, the usage texts against
// golden files, and the store folder. Runs that would reach the update server point it at a
// closed loopback port, so they fail at once and show what the parse made of their options.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback_tcp.h"
#include "support/temp_folder.h"
#include "support/updater_program.h"

namespace {

using qftest::ReadWholeFile;
using qftest::RunUpdater;
using qftest::TempFolder;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;

const std::string kVersionLine = "Updater (Version: 2.12.0 Dec  4 2025)\n";

std::string _golden(const std::string& name) {
  return ReadWholeFile(std::string(QF_SOURCE_DIR) + "/tests/updater/data/" + name);
}

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// An update-server URL on which nothing listens.
std::string _closedServer() {
  qftest::LoopbackListener listener;
  const int port = listener.port();
  listener.close();
  return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

class CommandLine : public ::testing::Test {
 protected:
  // Runs with the store in the test's folder and the server on a closed port.
  UpdaterResult run(Args args) {
    args.insert(args.end(), {"-i", store.path()});
    if (std::find(args.begin(), args.end(), "-u") == args.end()) args.insert(args.end(), {"-u", server});
    return RunUpdater(args);
  }

  TempFolder store;
  std::string server = _closedServer();
};

struct StatusCase {
  const char* name;
  Args args;
  int status;
  std::vector<std::string> out;  // parts standard output must hold
  std::vector<std::string> err;  // parts standard error must hold
};

TEST_F(CommandLine, ExitStatusAndMessageOfEachPath) {
  const std::string shortUsage = _golden("usage_short.txt");
  const std::vector<StatusCase> cases = {
      {"unhandled command", {"-Y"}, 1, {kVersionLine}, {"Unhandled command: [-Y]\n", shortUsage}},
      {"help after a failure forgets it", {"-Y", "-h"}, 0, {kVersionLine}, {"Sample usage"}},
      {"nothing after help is read", {"-h", "-Y"}, 0, {}, {"Sample usage"}},
      {"serial number not hexadecimal",
       {"-d", "40F5849G"},
       1,
       {},
       {"Invalid serial number obtained from argument [40F5849G]"}},
      {"serial number zero", {"-D", "-d", "0x0"}, 1, {}, {"Invalid serial number obtained from argument [0]"}},
      {"serial number past 32 bits",
       {"-D", "-d", "1FFFFFFFF"},
       1,
       {},
       {"Invalid serial number obtained from argument [1FFFFFFFF]"}},
      {"router past 32 bits",
       {"-D", "-r", "0x1D272031D"},
       1,
       {},
       {"Invalid router serial number obtained from argument [1D272031D]"}},
      {"router not hexadecimal",
       {"-D", "-r", "router"},
       1,
       {},
       {"Invalid router serial number obtained from argument [router]"}},
      {"build past 32 bits",
       {"-G", "-d", "40F5849A", "-b", "99999999999"},
       1,
       {},
       {"Invalid build number obtained from argument [99999999999]"}},
      {"transport in lower case",
       {"-D", "-t", "usb"},
       1,
       {},
       {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}},
      {"fingerprint without a port", {"-N", "-D"}, 1, {}, {"Must specify the serial port used for connecting"}},
      {"recovery without a port", {"-U", "-t", "RECOVER"}, 1, {}, {"Must specify the serial port used for connecting"}},
      {"download without a device",
       {"-G", "-D"},
       1,
       {},
       {"-G must specify a specific device via -d\n--help for usage information\n"}},
      {"update without a device", {"-U"}, 1, {}, {"Must specify the specific device to be updated"}},
      {"value joined without = is another option",
       {"-U", "-d40F5849A"},
       1,
       {},
       {"Must specify the specific device to be updated"}},
      {"server builds without a device",
       {"-B"},
       1,
       {},
       {"Error must supply a serial number for the List Builds command\n" + shortUsage}},
      {"local builds without a device",
       {"-L"},
       1,
       {},
       {"Error must supply a serial number for the List Local Builds command\n" + shortUsage}},
      {"no-operation commands", {"-I", "-C", "-Z", "7"}, 0, {kVersionLine}, {}},
      {"failed download",
       {"-G", "-d", "0x40f5849a"},
       1,
       {"Retrieving firmware for device with serial number 40F5849A\nNo build specified\nUsing Latest build\n"},
       {}},
      {"download failure is overridden by discovery",
       {"-G", "-d", "40F5849A", "-D"},
       0,
       {"Discovered Devices: (USB)\n    No devices found.\n"},
       {}},
      {"local builds of an unknown device", {"-L", "-d", "40F5849A"}, 0, {"No builds found for device [40F5849A]"}, {}},
      {"server builds when the server is away", {"-B", "-d", "40F5849A"}, 1, {}, {"Server request failed for "}},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    const UpdaterResult result = run(c.args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    for (const std::string& part : c.out) EXPECT_TRUE(_has(result.out, part)) << result.out;
    for (const std::string& part : c.err) EXPECT_TRUE(_has(result.err, part)) << result.err;
  }
}

TEST_F(CommandLine, UsageTextsMatchTheirGoldenFiles) {
  struct UsageCase {
    Args args;
    const char* golden;
  };
  const std::vector<UsageCase> cases = {
      {{}, "usage_short.txt"},
      {{"-D=now"}, "usage_short.txt"},  // a value for an option that takes none: dropped
      {{"-h"}, "usage_full.txt"},
      {{"--he"}, "usage_full.txt"},
      {{"-h", "-X", "0"}, "usage_full.txt"},  // -X after help is never read
      {{"-X", "0", "-H"}, "usage_extended.txt"},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const UpdaterResult result = RunUpdater(c.args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kVersionLine + "Firmware update and maintenance for Quillfern modules\n");
    EXPECT_EQ(result.err, _golden(c.golden));
  }
}

// What the parse made of the device and build options shows in the download's announcement.
TEST_F(CommandLine, OptionMatchingRules) {
  struct MatchCase {
    const char* name;
    Args args;
    std::string shown;  // on standard output
  };
  const std::string device = "Retrieving firmware for device with serial number ";
  const std::vector<MatchCase> cases = {
      {"prefix 0x discarded", {"-G", "-d", "0x40f5849a"}, device + "40F5849A"},
      {"value after =", {"-G", "-d=40F5849A"}, device + "40F5849A"},
      {"value after =", {"-G", "-d", "1", "-b=5"}, "Retrieving firmware build 5"},
      {"value after = may begin with -", {"-U", "-d", "1", "-f=-no.bird"}, "Updating from Birdfile: -no.bird"},
      {"last value wins", {"-G", "-d", "1", "-d", "2"}, device + "00000002"},
      {"unknown options are dropped", {"-Q", "-G", "--bogus", "-d", "1", "-DU"}, "No build specified"},
      {"words are ignored", {"word", "-G", "other", "-d", "1", "last"}, device + "00000001"},
      {"recover searches USB", {"-D", "-t", "RECOVER"}, "Discovered Devices: (USB)"},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    const UpdaterResult result = run(c.args);
    EXPECT_TRUE(_has(result.out, c.shown)) << result.out << result.err;
  }
}

// A value that chooses what is installed, from where or to which module, refused before anything
// runs: missing, empty or malformed, each named with the option and the value as given.
TEST_F(CommandLine, MissingOrMalformedValuesEndTheRunBeforeAnythingIsSent) {
  struct RefusedCase {
    Args args;
    std::string error;
  };
  const std::vector<RefusedCase> cases = {
      {{"-U", "-d", "1", "-f"}, "Missing value for option -f: the next argument [-i] is an option"},
      {{"-U", "-d", "1", "-f", "-OVERRIDE"}, "Missing value for option -f: the next argument [-OVERRIDE] is an option"},
      {{"-U", "-d", "1", "-f", ""}, "Invalid value for option -f: []"},
      {{"-U", "-d", "1", "-b"}, "Missing value for option -b: the next argument [-i] is an option"},
      {{"-U", "-d", "1", "-b", "5OO1"}, "Invalid build number obtained from argument [5OO1]"},
      {{"-U", "-d", "1", "-b", "-1"}, "Missing value for option -b: the next argument [-1] is an option"},
      {{"-G", "-d", "1", "-b=-5"}, "Invalid build number obtained from argument [-5]"},
      {{"-G", "-d", "1", "-b", "0"}, "Invalid build number obtained from argument [0]"},
      {{"-G", "-d", "1", "-b", ""}, "Invalid build number obtained from argument []"},
      {{"-G", "-d", "1", "-b", "12x"}, "Invalid build number obtained from argument [12x]"},
      {{"-G", "-d", ""}, "Invalid serial number obtained from argument []"},
      {{"-G", "-b", "5", "-d", "-U"}, "Missing value for option -d: the next argument [-U] is an option"},
      {{"-U", "-d", "1", "-r", "-D"}, "Missing value for option -r: the next argument [-D] is an option"},
      {{"-U", "-d", "1", "-t", ""}, "Invalid transport type:[]"},
      {{"-U", "-t", "RECOVER", "-s", ""}, "Invalid value for option -s: []"},
      {{"-N", "-s", "/dev/null", "-o"}, "Missing value for option -o: the next argument [-i] is an option"},
      {{"-N", "-s", "/dev/null", "-o", "0"},
       "Invalid value for option -o: [0]; the baud rate must be one of 2400, 4800, 9600, 19200, 38400, 57600, "
       "115200, 230400"},
      {{"-N", "-s", "/dev/null", "-o", "100000"}, "Invalid value for option -o: [100000]"},
      {{"-N", "-s", "/dev/null", "-o", "500000"}, "Invalid value for option -o: [500000]"},
      {{"-N", "-s", "/dev/null", "-o", "96OO"}, "Invalid value for option -o: [96OO]"},
      {{"-G", "-d", "1", "-u", ""}, "Invalid value for option -u: []"},
      {{"-G", "-d", "1", "-u", "ftp://host/cgi/u"}, "Invalid value for option -u: [ftp://host/cgi/u]"},
      {{"-G", "-d", "1", "-u", "http://"}, "Invalid value for option -u: [http://]"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const UpdaterResult result = run(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(_has(result.err, c.error)) << result.err;
    EXPECT_FALSE(_has(result.out, "Retrieving") || _has(result.out, "Updating")) << result.out;
  }
  // "-i" is added last by run(): here it is given empty itself.
  const UpdaterResult emptyStore = RunUpdater({"-I", "-i", ""});
  EXPECT_EQ(emptyStore.status, 1);
  EXPECT_TRUE(_has(emptyStore.err, "Invalid value for option -i: []")) << emptyStore.err;
  // Every rate of the table is taken.
  for (const char* rate : {"2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400"})
    EXPECT_EQ(run({"-I", "-o", rate}).status, 0) << rate;
}

// "-f" reads only a regular file within the download limit, and refuses anything else unread:
// a FIFO without a writer would block the run, a huge sparse file fill the memory.
TEST_F(CommandLine, BirdFilesThatAreNoRegularFileOrTooLargeAreRefusedUnread) {
  const std::string fifo = store / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = store / "huge.bird";
  qftest::WriteWholeFile(huge, "");
  ASSERT_EQ(::truncate(huge.c_str(), off_t{3} << 30), 0);
  const std::string limit = store / "limit.bird";
  qftest::WriteWholeFile(limit, "");
  ASSERT_EQ(::truncate(limit.c_str(), (off_t{64} << 20) + 1), 0);
  struct FileCase {
    std::string path;
    std::string why;
  };
  for (const FileCase& c : {FileCase{fifo, "is not a regular file"}, FileCase{store.path(), "is not a regular file"},
                            FileCase{huge, "is larger than 64 MiB"}, FileCase{limit, "is larger than 64 MiB"},
                            FileCase{store / "none.bird", "is not found"}}) {
    SCOPED_TRACE(c.path);
    const UpdaterResult result = run({"-U", "-d", "12ABCD", "-f", c.path});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(_has(result.err, "Bird file " + c.path + " " + c.why + "\nFailed to load bird file\n")) << result.err;
  }
}

// The log of the parsed arguments shows the reordered vector: options first, words behind them
// in their order, however many there are.
TEST_F(CommandLine, WordsGoBehindTheOptionsInOrder) {
  for (const int words : {3, 120}) {
    SCOPED_TRACE(words);
    Args args;
    std::string expected = "\t[-X]\n\t[65536]\n\t[-I]\n\t[-i]\n\t[" + store.path() + "]\n";
    for (int i = 0; i < words; ++i) {
      args.push_back("w" + std::to_string(i));
      expected += "\t[w" + std::to_string(i) + "]\n";
      if (i == words / 2) args.insert(args.end(), {"-X", "65536"});
    }
    args.push_back("-I");
    args.insert(args.end(), {"-i", store.path()});
    const UpdaterResult result = RunUpdater(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(_has(result.err, "\nApplication parameters:[updater]\n\t[" + qftest::UpdaterPath() + "]\n" + expected))
        << result.err;
  }
}

TEST_F(CommandLine, LogMaskInHexOrDecimalAndRefusedWithTrailingCharacters) {
  for (const char* mask : {"0x10000", "65536"}) {
    const UpdaterResult result = run({"-X", mask, "-I"});
    EXPECT_TRUE(_has(result.err, "Application parameters:")) << mask;
  }
  const UpdaterResult refused = run({"-X", "0x10000z", "-I"});
  EXPECT_EQ(refused.status, 0);
  EXPECT_TRUE(_has(refused.err, "Invalid format for \"-X\" parameter, unprocessed characters [z]"));
  EXPECT_FALSE(_has(refused.err, "Application parameters:"));
  // Given, though refused: the help shows the extended block.
  const UpdaterResult help = run({"-X", "0x10z", "--help"});
  EXPECT_EQ(help.err,
            "Invalid format for \"-X\" parameter, unprocessed characters [z]\n" + _golden("usage_extended.txt"));
}

TEST_F(CommandLine, ProgramNameFromArgvZero) {
  struct NameCase {
    std::optional<std::string> argv0;
    const char* name;
  };
  const std::vector<NameCase> cases = {{"/opt/tools/flasher", "flasher"},
                                       {"C:\\tools\\flash.exe", "flash.exe"},
                                       {"", "updater"},
                                       {"/usr/bin/", "updater"}};
  for (const NameCase& c : cases) {
    auto program = qftest::UpdaterProgram::WithArgv({c.argv0, "-X", "0x10000", "-I", "-i", store.path()});
    const UpdaterResult result = program.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(_has(result.err, std::string("Application parameters:[") + c.name + "]")) << result.err;
  }
  // No argv[0] at all: nothing to parse, so the short usage.
  const UpdaterResult bare = qftest::UpdaterProgram::WithArgv({std::nullopt}).finish();
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.err, _golden("usage_short.txt"));
}

TEST_F(CommandLine, StoreFolderInsideTheGivenFolder) {
  EXPECT_EQ(run({"-I"}).status, 0);
  struct stat info {};
  ASSERT_EQ(::stat((store / "updater").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);

  qftest::WriteWholeFile(store / "file", "");
  const UpdaterResult blocked = RunUpdater({"-I", "-i", store / "file"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_TRUE(_has(blocked.err, "Could not find updater directory at " + store.path() + "/file/updater"));
}

}  // namespace
