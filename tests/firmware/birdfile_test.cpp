#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/BirdFile.h"
#include "support/bird_generator.h"
#include "support/console_capture.h"
#include "support/log_capture.h"
#include "support/program_process.h"
#include "support/temp_folder.h"

namespace bird = qftest::bird;
using bird::Bytes;

namespace {

class BirdFileTest : public testing::Test {
 protected:
  std::string write(const Bytes& bytes, const std::string& name = "test.bird") {
    std::string path = folder / name;
    bird::writeFile(path, bytes);
    return path;
  }
  BirdFile load(const std::vector<bird::Block>& blocks) {
    return BirdFile(write(bird::wrap(bird::compress(bird::encodeBody(blocks)))).c_str());
  }

  qftest::TempFolder folder;
};

Bytes payloadOf(const BirdBlock& block) { return Bytes(block.data + 4, block.data + block.length); }

TEST_F(BirdFileTest, LoadsEveryBlockOfAGeneratedBuild) {
  bird::Build build;
  build.pieces = 3;
  build.jumpAddress = 0x20000100;
  std::vector<bird::Block> made = bird::buildBlocks(build);
  made[1].flags = 5;
  BirdFile file = load(made);

  ASSERT_EQ(file.blockCount, made.size());
  for (size_t i = 0; i < made.size(); ++i) {
    const BirdBlock& got = file.blocks[i];
    EXPECT_EQ(got.type, made[i].type);
    EXPECT_EQ(got.flags, made[i].flags);
    EXPECT_EQ(Bytes(got.data, got.data + got.length), made[i].data) << "block " << i;
  }
  std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 3u);
  EXPECT_EQ(firmware[0].address, build.firmwareAddress);
  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_LOADER)[0].address, build.loaderAddress);
  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_JUMP_ADDRESS)[0].address, 0u);
  EXPECT_TRUE(file.hasSerialBlocks);
  EXPECT_EQ(file.serialOffset, build.serialOffset);
  EXPECT_EQ(file.descriptorOffset, build.descriptorOffset);
  EXPECT_EQ(file.GetBuild(), 12345u);
  EXPECT_EQ(file.GetVersion(), "2.10.4");
  EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
  EXPECT_TRUE(file.ValidateSerialNumber(0x0012ABCD));
  EXPECT_EQ(file.signature, BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.version, BirdFile::BIRD_FILE_VERSION);
}

// Each broken variant, with the log line that names its cause.
struct BrokenExpectation {
  bird::Broken kind;
  const char* logged;
};

TEST_F(BirdFileTest, RefusesBrokenBodiesAndLoadsMismatchesWithALogLine) {
  const BrokenExpectation expectations[] = {
      {bird::Broken::BlockPastBody, "runs past the body"},
      {bird::Broken::ShortLoader, "too short (3 bytes)"},
      {bird::Broken::ShortFirmware, "too short (3 bytes)"},
      {bird::Broken::ShortDescriptor, "too short (63 bytes)"},
      {bird::Broken::ShortSerialOffsets, "too short (7 bytes)"},
      {bird::Broken::NoCountWord, "holds no block count"},
      {bird::Broken::BadStream, "BIRDFILE: Error (-3) decompressing bird file.\n"},
      {bird::Broken::TruncatedStream, "BIRDFILE: Error (-3) decompressing bird file.\n"},
      {bird::Broken::EmptyBody, "decompressing bird file"},
      {bird::Broken::InflatesTooFar, "BIRDFILE: Error (-5) decompressing bird file.\n"},
      {bird::Broken::TrailingBytes, "runs past the body"},
      {bird::Broken::CountMismatch, "mismatch in number of blocks. (4 != 5)\n"},
      {bird::Broken::NoChecksum, "mismatch in data size. (-4 bytes remaining)\n"},
      {bird::Broken::ShortChecksum, "mismatch in data size. (-2 bytes remaining)\n"},
  };
  ASSERT_EQ(std::size(expectations), bird::brokenCases().size());
  for (const auto& broken : bird::brokenCases()) {
    SCOPED_TRACE(broken.name);
    const BrokenExpectation* expected = nullptr;
    for (const auto& e : expectations) {
      if (e.kind == broken.kind) expected = &e;
    }
    ASSERT_NE(expected, nullptr);
    qftest::LogCapture log(Log::DEBUG_BirdFile);
    std::string path = write(bird::makeBroken(broken.kind));
    if (broken.loads) {
      BirdFile file(path.c_str());
      EXPECT_EQ(file.blockCount, 4u);
      EXPECT_EQ(file.GetBuild(), 12345u);
    } else {
      try {
        BirdFile file(path.c_str());
        ADD_FAILURE() << "loaded";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to load bird data");
      }
    }
    EXPECT_TRUE(log.contains(expected->logged)) << log.text();
  }
}

TEST_F(BirdFileTest, BodyMayInflateToEightTimesItsCompressedSizeButNoMore) {
  EXPECT_NO_THROW(BirdFile(write(bird::makeInflationEdge(0)).c_str()));
  EXPECT_THROW(BirdFile(write(bird::makeInflationEdge(1)).c_str()), std::runtime_error);
}

TEST_F(BirdFileTest, MissingFileOrFolderIsNotFound) {
  qftest::LogCapture log(Log::DEBUG_BirdFile);
  for (const std::string& path : {folder / "absent.bird", folder.path()}) {
    EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
    EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + path + "]\n"));
    EXPECT_FALSE(BirdFile::VerifyFile((folder / "absent.bird").c_str()));
  }
}

TEST_F(BirdFileTest, VerifyFileTestsOnlyTheHeader) {
  const Bytes validBody = bird::compress(bird::encodeBody(bird::buildBlocks({})));
  struct Case {
    Bytes file;
    bool verified;
    bool loads;
  };
  const Case cases[] = {
      {bird::wrap({}), true, false},  // header alone: verified, but the body is empty
      {bird::wrap(validBody), true, true},
      {bird::wrap(validBody, 0x0100), false, true},
      {bird::wrap(validBody, 0x0001), false, true},
      {bird::wrap(validBody, 0x7F33), true, true},  // any version of two non-zero bytes
      {bird::wrap(validBody, 0x0101, "BIRD"), false, true},
      {Bytes{'b', 'i', 'r', 'd', 1}, false, false},
      {Bytes{}, false, false},
  };
  for (const Case& c : cases) {
    std::string path = write(c.file);
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verified) << c.file.size();
    bool loaded = true;
    try {
      BirdFile file(path.c_str());
    } catch (const std::runtime_error&) {
      loaded = false;
    }
    EXPECT_EQ(loaded, c.loads) << c.file.size();
  }
}

TEST_F(BirdFileTest, EmptyBodyGivesNoBlocksAndNoDescriptor) {
  BirdFile file = load({});
  EXPECT_EQ(file.blockCount, 0u);
  EXPECT_FALSE(file.hasSerialBlocks);
  EXPECT_EQ(file.serialOffset, 0u);
  EXPECT_EQ(file.descriptorOffset, 0u);
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_TRUE(file.ValidateSerialNumber(0));
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
}

TEST_F(BirdFileTest, DescriptorFieldsAreReadFromTheirOwnBytesOnly) {
  struct Case {
    std::string build, version, serial, model;
    uint32_t buildNumber;
    std::string versionText;
    uint32_t serialNumber;
  };
  const Case cases[] = {
      {"12345", "2.10.4", "0012abcd", "ABC", 12345, "2.10.4", 0x0012ABCD},
      {"  77x", "1.0.0-rc", "FFFFFFFF", "M", 77, "1.0.0-rc", 0xFFFFFFFF},
      // Full fields run into their neighbours in the file; each is cut at its own end.
      {"1234567890123456", "1.2.3.4.5.6.7.8.9", "12345678", "A", 123456789012345ull & 0xFFFFFFFF, "1.2.3.4.5.6.7.8",
       0x12345678},
      {"", "", "", "", 0, "", 0},
  };
  for (const Case& c : cases) {
    BirdFile file = load({bird::descriptorBlock(c.build, c.version, c.serial, c.model)});
    EXPECT_EQ(file.GetBuild(), c.buildNumber) << c.build;
    EXPECT_EQ(file.GetVersion(), c.versionText);
    EXPECT_EQ(file.GetSerialNumber(), c.serialNumber);
  }
}

// A file for a longer model name must not pass for a module whose name begins it.
TEST_F(BirdFileTest, ModelMatchesOnlyTheWholeName) {
  qftest::LogCapture log(Log::DEBUG_BirdFile);
  BirdFile file = load({bird::descriptorBlock("1", "1.0.0", "00000001", "QF-Core-E"),
                        bird::descriptorBlock("1", "1.0.0", "00000001", "XYZ")});
  EXPECT_TRUE(file.ValidateModel("QF-Core-E"));
  for (const char* name : {"QF-Core", "QF-Core-", "", "QF-Core-E2", "QF-Core-E ", "XYZ", "qf-core-e"})
    EXPECT_FALSE(file.ValidateModel(name)) << name;
  EXPECT_TRUE(log.contains("Model matches model number ([QF-Core-E] == [QF-Core-E])\n"));
}

// One firmware block of a ReplaceSerialNumber case: its load address and payload size.
struct Piece {
  uint32_t address;
  size_t size;
};
// A byte the patch must have written: firmware block, payload offset, value.
struct Write {
  size_t piece;
  size_t offset;
  uint8_t value;
};
struct SerialCase {
  const char* name;
  std::vector<Piece> pieces;
  uint32_t serialOffset;
  uint32_t descriptorOffset;
  std::vector<Write> writes;
  bool result;
};

std::vector<Write> serialWord(size_t piece, size_t offset) {
  return {{piece, offset, 0xCD}, {piece, offset + 1, 0xAB}, {piece, offset + 2, 0x12}, {piece, offset + 3, 0x00}};
}

std::vector<Write> serialText(size_t piece, size_t offset) {
  std::vector<Write> writes;
  const char* text = "0012ABCD";
  for (size_t i = 0; i < 8; ++i) writes.push_back({piece, offset + 2 * i, uint8_t(text[i])});
  return writes;
}

std::vector<Write> joined(std::vector<Write> a, const std::vector<Write>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(BirdFileTest, ReplaceSerialNumberWritesOnlyInsideFirmwareBlocks) {
  const SerialCase cases[] = {
      {"word and text", {{0x1000, 256}}, 0x1010, 0x1040, joined(serialWord(0, 0x10), serialText(0, 0x40)), true},
      {"word ends on the last byte", {{0x1000, 64}}, 0x103C, 0, serialWord(0, 60), true},
      {"word one byte past the end", {{0x1000, 64}}, 0x103D, 0, {}, true},
      {"word below the block", {{0x1000, 64}}, 0x0FFE, 0, {}, true},
      {"word in the second block", {{0x1000, 64}, {0x2000, 64}}, 0x2008, 0, serialWord(1, 8), true},
      {"text ends on the last byte", {{0x1000, 64}}, 0, 0x1030, serialText(0, 48), true},
      {"text one byte past the end", {{0x1000, 64}}, 0, 0x1031, {}, false},
      {"text in no block", {{0x1000, 64}}, 0, 0x5000, {}, false},
      // Addresses near 2^32 must not wrap around into a block.
      {"word wraps past 2^32", {{0x0, 64}}, 0xFFFFFFFE, 0, {}, true},
      {"text wraps past 2^32", {{0x0, 64}}, 0, 0xFFFFFFF8, {}, false},
      {"word at the top of memory", {{0xFFFFFFF0, 16}}, 0xFFFFFFFC, 0, serialWord(0, 12), true},
      {"word over the top of memory", {{0xFFFFFFF0, 16}}, 0xFFFFFFFD, 0, {}, true},
  };
  for (const SerialCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<bird::Block> blocks;
    std::vector<Bytes> expected;
    blocks.push_back(bird::imageBlock(bird::LOADER, c.serialOffset, bird::randomBytes(32, 9)));
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      expected.push_back(bird::randomBytes(c.pieces[i].size, static_cast<uint32_t>(i + 1)));
      blocks.push_back(bird::imageBlock(bird::FIRMWARE, c.pieces[i].address, expected.back()));
    }
    blocks.push_back(bird::serialOffsetsBlock(c.serialOffset, c.descriptorOffset));
    BirdFile file = load(blocks);
    Bytes loaderBefore = payloadOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]);
    qftest::LogCapture log(Log::DEBUG_BirdFile);

    EXPECT_EQ(file.ReplaceSerialNumber(0x0012ABCD), c.result);
    for (const Write& w : c.writes) expected[w.piece][w.offset] = w.value;
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    for (size_t i = 0; i < firmware.size(); ++i) {
      EXPECT_EQ(payloadOf(firmware[i]), expected[i]) << "block " << i;
    }
    EXPECT_EQ(payloadOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loaderBefore);
    bool wordWritten = c.serialOffset != 0 && !c.writes.empty();
    EXPECT_EQ(log.count("BIRDFILE: updating serial number from"), wordWritten ? 1u : 0u);
  }
}

TEST_F(BirdFileTest, DecodeRestoresScrambledFirmwareAndLeavesTheRest) {
  const uint32_t key[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
  Bytes first = bird::randomBytes(1000, 3), second = bird::randomBytes(17, 4);
  Bytes loader = bird::randomBytes(40, 5);
  BirdFile file = load({bird::imageBlock(bird::LOADER, 0x100, loader),
                        bird::imageBlock(bird::FIRMWARE, 0x200, bird::scramble(first, key)),
                        bird::imageBlock(bird::FIRMWARE, 0x600, bird::scramble(second, key))});
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(payloadOf(firmware[0]), first);
  EXPECT_EQ(payloadOf(firmware[1]), second);
  EXPECT_EQ(firmware[1].address, 0x600u);
  EXPECT_EQ(payloadOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loader);
}

TEST_F(BirdFileTest, DecodeKeyBytesComeMostSignificantFirst) {
  const uint32_t key[4] = {0x11223344, 0, 0, 0};
  BirdFile file = load({bird::imageBlock(bird::FIRMWARE, 0, Bytes{0x00, 0x00, 0x00, 0xFF})});
  file.DecodeFirmwareBlocks(key);
  // out = in ^ key ^ previous out: 11, 22^11, 33^33, FF^44^00
  EXPECT_EQ(payloadOf(file.blocks[0]), (Bytes{0x11, 0x33, 0x00, 0xBB}));
}

TEST_F(BirdFileTest, MovedFileKeepsItsBlocksAndLeavesAnEmptySource) {
  bird::Build build;
  BirdFile source = load(bird::buildBlocks(build));
  std::vector<BirdBlock> taken = source.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  Bytes firstPayload = payloadOf(taken[0]);

  BirdFile moved(std::move(source));
  BirdFile assigned;
  assigned = std::move(moved);
  EXPECT_EQ(payloadOf(taken[0]), firstPayload);  // the body did not move
  EXPECT_EQ(assigned.GetBuild(), 12345u);
  EXPECT_TRUE(assigned.ReplaceSerialNumber(0x0012ABCD));
  for (const BirdFile* empty : {&source, &moved}) {
    EXPECT_EQ(empty->blockCount, 0u);
    EXPECT_TRUE(empty->blocks.empty());
    EXPECT_EQ(empty->body, nullptr);
    EXPECT_EQ(empty->GetBuild(), 0u);
  }
}

TEST_F(BirdFileTest, ValidateDataSearchesFirmwareBlocksShortOfTheirLastByte) {
  Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
  BirdFile file =
      load({bird::imageBlock(bird::LOADER, 0, Bytes{9, 9, 9}), bird::imageBlock(bird::FIRMWARE, 0x01020304, payload)});
  struct Case {
    Bytes pattern;
    bool found;
  };
  const Case cases[] = {
      {{3, 4, 5}, true},     {{1, 2, 3, 4}, true},  // the load address counts as data
      {{7, 8}, false},                              // would end on the block's last byte
      {{9, 9}, false},                              // only in the loader
      {Bytes(20, 1), false},                        // longer than the block
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file.ValidateData(c.pattern.data(), static_cast<uint32_t>(c.pattern.size())), c.found);
  }
}

TEST_F(BirdFileTest, VectorChecksumBalancesTheTableOfBlocksAtZero) {
  Bytes table = bird::randomBytes(40, 6);
  Bytes shortTable = bird::randomBytes(28, 7);
  BirdFile file = load({bird::imageBlock(bird::FIRMWARE, 0, table), bird::imageBlock(bird::FIRMWARE, 0, shortTable),
                        bird::imageBlock(bird::FIRMWARE, 0x100, table)});
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  auto word = [](const Bytes& bytes, int i) {
    uint32_t value;
    memcpy(&value, bytes.data() + 4 * i, 4);
    return value;
  };
  Bytes patched = payloadOf(file.blocks[0]);
  uint32_t sum = 0;
  for (int i : {0, 1, 2, 3, 4, 6, 7}) sum += word(patched, i);
  EXPECT_EQ(sum, 0u);
  std::copy(patched.begin() + 28, patched.begin() + 32, table.begin() + 28);
  EXPECT_EQ(patched, table) << "only word 7 changes";
  EXPECT_EQ(payloadOf(file.blocks[1]), shortTable);
  EXPECT_NE(payloadOf(file.blocks[2]), patched);
}

TEST_F(BirdFileTest, DumpShowsBytesFiftyToALine) {
  Bytes fifty(47, 'x');
  BirdFile file = load({bird::Block{3, 0, Bytes{'A', 0, 'B'}, {}}, bird::imageBlock(bird::FIRMWARE, 0x41424344, fifty),
                        bird::Block{3, 0, Bytes{'C'}, {}}});
  auto console = qftest::runWithConsole(qftest::StdoutKind::Pipe, [&] { file.DumpBlocks(BirdFile::BLOCK_TYPE(3)); });
  EXPECT_EQ(console.out,
            "BIRDFILE: BLOCK DUMP [" + file.path + "]\n" + " \r\n000000: 41 00 42  A B\n" + " \r\n000000: 43  C\n\n");
  console = qftest::runWithConsole(qftest::StdoutKind::Pipe, [&] { file.DumpBlocks(BirdFile::BLOCK_FIRMWARE); });
  std::string hex = "41 42 43 44 ";
  for (int i = 0; i < 46; ++i) hex += "78 ";
  EXPECT_EQ(console.out, "BIRDFILE: BLOCK DUMP [" + file.path + "]\n" + " \r\n000000: " + hex + " ABCD" +
                             std::string(46, 'x') + "\r\n000050: 78  x\n\n");
}

// The generator tool answers a help request with its usage, and takes no option for the name of
// the file it writes.
TEST(BirdGeneratorTool, PrintsItsUsageAndRefusesAnOptionAsTheOutputName) {
  using namespace std::chrono_literals;
  const std::string tool = std::string(QF_BINARY_DIR) + "/tests/bird_generator";
  for (const char* help : {"--help", "-h"}) {
    qftest::ProgramProcess program(tool, {help});
    ASSERT_TRUE(program.started());
    const std::optional<std::string> line = program.readLine(10s);
    ASSERT_TRUE(line.has_value()) << help;
    EXPECT_EQ(line->rfind("usage: bird_generator", 0), 0u) << *line;
    EXPECT_EQ(program.waitExit(10s), 0) << help;
  }
  qftest::ProgramProcess refused(tool, {"-out.bird", "--build", "3"});
  ASSERT_TRUE(refused.started());
  EXPECT_EQ(refused.waitExit(10s), 2);
  EXPECT_NE(refused.errorOutput(10s).find("must not begin with '-'"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("-out.bird"));
  EXPECT_FALSE(std::filesystem::exists("--help"));
}

}  // namespace
