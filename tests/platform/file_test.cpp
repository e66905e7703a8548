#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/aFile.h"
#include "support/temp_folder.h"

namespace {

using qftest::ReadWholeFile;
using qftest::TempFolder;
using qftest::WriteWholeFile;

class FileTest : public ::testing::Test {
 protected:
  // A file with the given content, opened in the given mode.
  aFile* OpenWith(const std::string& content, aFileMode mode) {
    WriteWholeFile(path, content);
    aFile* opened = aFile_Open(path.c_str(), mode);
    EXPECT_NE(opened, nullptr);
    return opened;
  }

  void TearDown() override {
    if (file != nullptr) {
      EXPECT_EQ(aFile_Close(&file), aErrNone);
    }
  }

  size_t Position() {
    size_t position = SIZE_MAX;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    return position;
  }

  TempFolder folder;
  std::string path = folder.join("data");
  aFile* file = nullptr;
};

TEST_F(FileTest, ExistsOnlyForEntriesThatAreNotFolders) {
  WriteWholeFile(path, "x");
  symlink(path.c_str(), folder.join("link").c_str());
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {path, true},
      {folder.join("link"), true},
      {folder.join("missing"), false},
      {folder.path(), false},
      {std::string(aFILE_MAX_PATH + 1, 'a'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(aFile_Exists(c.path.c_str()), c.exists) << c.path;
  EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, OpenRefusesBadPathsModesAndMissingFiles) {
  WriteWholeFile(path, "x");
  const std::string missing = folder.join("missing");
  const struct {
    const char* path;
    aFileMode mode;
  } cases[] = {
      {nullptr, aFileModeRead},
      {"", aFileModeWrite},
      {path.c_str(), 3},
      {path.c_str(), 0xFFFFFFFF},
      {missing.c_str(), aFileModeRead},
      {folder.path().c_str(), aFileModeWrite},
  };
  for (const auto& c : cases) {
    aFile* refused = aFile_Open(c.path, c.mode);
    EXPECT_EQ(refused, nullptr) << (c.path ? c.path : "(null)") << " mode " << c.mode;
    aFile_Close(&refused);
  }
}

TEST_F(FileTest, WriteModeTruncatesAndAppendModeStartsAtTheEnd) {
  file = OpenWith("old content", aFileModeWrite);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(file, "new", 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(ReadWholeFile(path), "new");

  file = OpenWith("0123456789", aFileModeAppend);
  EXPECT_EQ(Position(), 10u);
  EXPECT_EQ(aFile_Write(file, "ab", 2, nullptr), aErrNone);
  ASSERT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), "0123456789ab");
}

TEST_F(FileTest, AppendModeReadsAnywhereAndStillWritesAtTheEnd) {
  file = OpenWith("0123456789", aFileModeAppend);
  char got[4] = {};
  ASSERT_EQ(aFile_Seek(file, 2, aSeekStart), aErrNone);
  ASSERT_EQ(aFile_Read(file, got, 3, nullptr), aErrNone);
  EXPECT_STREQ(got, "234");
  ASSERT_EQ(aFile_Printf(file, "<%d>", 7), aErrNone);
  ASSERT_EQ(aFile_Seek(file, -3, aSeekEnd), aErrNone);
  ASSERT_EQ(aFile_Read(file, got, 3, nullptr), aErrNone);
  EXPECT_STREQ(got, "<7>");
  ASSERT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), "0123456789<7>");
}

TEST_F(FileTest, OperationsRefuseTheWrongMode) {
  char buffer[8];
  aFile* reader = OpenWith("line\n", aFileModeRead);
  EXPECT_EQ(aFile_Write(reader, "x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(reader, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
  aFile* writer = aFile_Open(folder.join("out").c_str(), aFileModeWrite);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(aFile_Read(writer, buffer, 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_ReadLine(writer, buffer, sizeof buffer, nullptr), aErrMode);
  EXPECT_EQ(aFile_Close(&reader), aErrNone);
  EXPECT_EQ(aFile_Close(&writer), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), "line\n");
}

TEST_F(FileTest, NullAndClosedHandlesAreRefused) {
  char buffer[4];
  size_t value = 0;
  EXPECT_EQ(aFile_Read(nullptr, buffer, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(nullptr, "x", 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
  EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
  EXPECT_EQ(aFile_GetPosition(nullptr, &value), aErrParam);
  EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, nullptr), aErrParam);
  EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  aFile* none = nullptr;
  EXPECT_EQ(aFile_Close(&none), aErrParam);

  file = OpenWith("abc", aFileModeAppend);
  EXPECT_EQ(aFile_Read(file, nullptr, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(file, nullptr, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
  EXPECT_EQ(aFile_GetPosition(file, nullptr), aErrParam);
}

TEST_F(FileTest, ReadReportsEndOfFileOnlyWhenBytesWereAskedFor) {
  file = OpenWith("abcd", aFileModeRead);
  char buffer[16];
  const struct {
    size_t length;
    aErr result;
    size_t count;
  } steps[] = {
      {10, aErrNone, 4},  // a short read is no error
      {0, aErrNone, 0},
      {1, aErrEOF, 0},
  };
  for (const auto& s : steps) {
    size_t count = 99;
    EXPECT_EQ(aFile_Read(file, buffer, s.length, &count), s.result) << s.length;
    EXPECT_EQ(count, s.count) << s.length;
  }
}

TEST_F(FileTest, SeekStaysWithinTheFile) {
  file = OpenWith("0123456789", aFileModeRead);
  const struct {
    int64_t offset;
    int origin;
    aErr result;
    size_t position;
  } cases[] = {
      {0, aSeekEnd, aErrNone, 10},
      {1, aSeekEnd, aErrRange, 5},
      {-10, aSeekEnd, aErrNone, 0},
      {-1, aSeekStart, aErrRange, 5},
      {10, aSeekStart, aErrNone, 10},
      {11, aSeekStart, aErrRange, 5},
      {3, aSeekCurrent, aErrNone, 8},
      {-6, aSeekCurrent, aErrRange, 5},
      {4, 7, aErrNone, 4},  // an unknown origin counts from the start
      {INT64_MAX, aSeekCurrent, aErrRange, 5},
      {INT64_MIN, aSeekEnd, aErrRange, 5},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(aFile_Seek(file, 5, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result) << c.offset << " from " << c.origin;
    EXPECT_EQ(Position(), c.position) << c.offset << " from " << c.origin;
  }
}

TEST_F(FileTest, PositionAtTheStartIsStoredAsZero) {
  file = OpenWith("abc", aFileModeRead);
  size_t position = 99;
  ASSERT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 0u);
  char buffer[2];
  ASSERT_EQ(aFile_Read(file, buffer, 2, nullptr), aErrNone);
  EXPECT_EQ(Position(), 2u);
}

TEST_F(FileTest, SizeCountsUnflushedWritesAndKeepsThePosition) {
  file = OpenWith("", aFileModeWrite);
  ASSERT_EQ(aFile_Write(file, "1234567", 7, nullptr), aErrNone);
  ASSERT_EQ(aFile_Seek(file, 3, aSeekStart), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(Position(), 3u);
}

TEST_F(FileTest, ReadLineSplitsLinesThatDoNotFit) {
  file = OpenWith("abcd\nabcde\n\nxy", aFileModeRead);
  const struct {
    aErr result;
    const char* text;
  } steps[] = {
      {aErrNone, "abcd\n"}, {aErrOverrun, "abcde"}, {aErrNone, "\n"}, {aErrNone, "\n"}, {aErrNone, "xy"}, {aErrEOF, ""},
  };
  for (const auto& s : steps) {
    char buffer[6];
    memset(buffer, 'Z', sizeof buffer);
    size_t length = 99;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), s.result) << s.text;
    EXPECT_STREQ(buffer, s.text);
    EXPECT_EQ(length, strlen(s.text));
  }
}

TEST_F(FileTest, ReadLineWithoutRoomForACharacter) {
  file = OpenWith("a", aFileModeRead);
  char buffer[2] = {'Z', 'Z'};
  size_t length = 99;
  EXPECT_EQ(aFile_ReadLine(file, buffer, 0, &length), aErrParam);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aFile_ReadLine(file, buffer, 1, &length), aErrOverrun);
  EXPECT_EQ(buffer[0], '\0');
  // A full buffer without a newline counts as cut short, also when the file ends there.
  EXPECT_EQ(aFile_ReadLine(file, buffer, 2, &length), aErrOverrun);
  EXPECT_STREQ(buffer, "a");
  EXPECT_EQ(aFile_ReadLine(file, buffer, 1, &length), aErrEOF);
}

TEST_F(FileTest, UnbufferedWritesReachTheFileAtOnce) {
  file = OpenWith("", aFileModeWrite);
  ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
  ASSERT_EQ(aFile_Printf(file, "%s=%03d\n", "key", 7), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), "key=007\n");
}

// The system's always-full device: every write reaching it fails.
TEST_F(FileTest, WritesThatCannotReachTheDiskAreReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this host";
  aFile* buffered = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(buffered, nullptr);
  ASSERT_EQ(aFile_Write(buffered, "x", 1, nullptr), aErrNone);  // still in the stream's buffer
  EXPECT_EQ(aFile_Close(&buffered), aErrIO);
  EXPECT_EQ(buffered, nullptr);

  file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
  size_t count = 99;
  EXPECT_EQ(aFile_Write(file, "xyz", 3, &count), aErrIO);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Printf(file, "%d", 1), aErrIO);
  aFile_Close(&file);
}

TEST_F(FileTest, DeleteRemovesFilesOnly) {
  WriteWholeFile(path, "x");
  ASSERT_EQ(mkdir(folder.join("sub").c_str(), 0755), 0);
  const struct {
    std::string path;
    aErr result;
  } cases[] = {
      {path, aErrNone},
      {path, aErrNotFound},
      {folder.join("sub"), aErrIO},
      {std::string(aFILE_MAX_PATH + 1, 'a'), aErrFileNameLength},
  };
  for (const auto& c : cases) EXPECT_EQ(aFile_Delete(c.path.c_str()), c.result) << c.path;
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  EXPECT_TRUE(std::string(ReadWholeFile(path)).empty());
  struct stat status;
  EXPECT_EQ(stat(folder.join("sub").c_str(), &status), 0);
}

}  // namespace
