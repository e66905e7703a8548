#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <string>

#include "firmware/KeyValueStore.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

using qftest::ReadWholeFile;
using qftest::WriteWholeFile;
using Values = std::map<std::string, std::string>;

namespace {

const std::regex kDate(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");

class KeyValueStoreTest : public testing::Test {
 protected:
  qftest::TempFolder folder;
  std::string settings = folder / ".settings";
};

// A long value (a long bird file path) is read back whole, and the keys after it are kept
// through the next save.
TEST_F(KeyValueStoreTest, LinesOfAnyLengthKeepTheKeysAfterThem) {
  for (const size_t length : {size_t{2035}, size_t{2047}, size_t{2048}, size_t{100000}}) {
    SCOPED_TRACE(length);
    const std::string path = "/" + std::string(length - 1, 'p');
    WriteWholeFile(settings, "A_FIRST=" + path + "\nLATEST_DOWNLOAD=5.bird\nLATEST_TRANSFER=" + path + "\nZ=1\n");
    KeyValueStore store(settings.c_str());
    store.Add("LAST_DOWNLOAD_DATE", "now");
    store.Save(nullptr);
    const KeyValueStore again(settings.c_str());
    EXPECT_EQ(again.GetString("A_FIRST", ""), path);
    EXPECT_EQ(again.GetString("LATEST_DOWNLOAD", ""), "5.bird");
    EXPECT_EQ(again.GetString("LATEST_TRANSFER", ""), path);
    EXPECT_EQ(again.GetString("Z", ""), "1");
  }
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithItsTimes) {
  KeyValueStore store(settings.c_str());
  std::smatch match;
  std::string text = ReadWholeFile(settings);
  ASSERT_TRUE(std::regex_match(text, match, std::regex("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n"))) << text;
  EXPECT_TRUE(std::regex_match(match[1].str(), kDate)) << match[1];
  EXPECT_TRUE(std::regex_match(match[2].str(), kDate)) << match[2];
  EXPECT_FALSE(store.IsDirty());
  EXPECT_EQ(store.FileName(), settings);
}

TEST_F(KeyValueStoreTest, ReadsOnlyWellFormedSettingLines) {
  struct Case {
    const char* name;
    std::string file;
    Values values;
  };
  const Case cases[] = {
      {"later line wins, comment and short line skipped", "B=2\nA = 1\n#C=3\nA=5\nx\n", {{"A", "5"}, {"B", "2"}}},
      {"value keeps its inner = and loses trailing blanks",
       "key = value with = sign   \n",
       {{"key", "value with = sign"}}},
      {"# after blanks is part of the key", "   #x=1\n", {{"#x", "1"}}},
      {"all blanks are trimmed, CRLF included", "\t K \t=\v V \f\r\n", {{"K", "V"}}},
      {"no = or no key carries no setting", "no equals here\n=value\n  =v\nok=1\n", {{"ok", "1"}}},
      {"empty value", "A=\n", {{"A", ""}}},
      {"two characters without a line end are too short", "A=", {}},
      {"last line without a line end", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
      {"a long line is read whole, and the lines after it",
       "A=1\nL=" + std::string(3000, 'v') + "\nB=2\n",
       {{"A", "1"}, {"L", std::string(3000, 'v')}, {"B", "2"}}},
      {"a key holding a NUL byte carries no setting", std::string("A\0B=1\nC=2\n", 10), {{"C", "2"}}},
      {"a line of 2047 characters still fits",
       "L=" + std::string(2044, 'v') + "\nB=2\n",
       {{"L", std::string(2044, 'v')}, {"B", "2"}}},
  };
  for (const Case& c : cases) {
    WriteWholeFile(settings, c.file);
    KeyValueStore store(settings.c_str());
    EXPECT_EQ(store.Values(), c.values) << c.name;
    EXPECT_FALSE(store.IsDirty()) << c.name;
  }
}

TEST_F(KeyValueStoreTest, SavesChangesInKeyOrderWithTheUpdateTime) {
  WriteWholeFile(settings, "B=2\nA = 1\n");
  KeyValueStore store(settings.c_str());
  store.Save(nullptr);  // clean: written as it is, without a time stamp
  EXPECT_EQ(ReadWholeFile(settings), "A=1\nB=2\n");
  store.Add("C", "3");
  store.Save(nullptr);
  std::string text = ReadWholeFile(settings);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, std::regex("A=1\nB=2\nC=3\nUPDATED_TIME=(.*)\n"))) << text;
  EXPECT_TRUE(std::regex_match(match[1].str(), kDate));
  EXPECT_FALSE(store.IsDirty());
}

// A key that no getter can name must not become one by a save, which writes keys as text.
TEST_F(KeyValueStoreTest, AKeyWithANulByteIsNotSavedAsAnother) {
  WriteWholeFile(settings, std::string("SERIAL\0x=5\nB=2\n", 16));
  KeyValueStore store(settings.c_str());
  store.Add("C", "3");
  store.Save(nullptr);
  const KeyValueStore again(settings.c_str());
  EXPECT_EQ(again.GetString("SERIAL", "none"), "none");
  EXPECT_EQ(again.GetString("B", ""), "2");
}

TEST_F(KeyValueStoreTest, LoadingMergesIntoWhatIsThere) {
  WriteWholeFile(settings, "A=file\n");
  KeyValueStore store;
  store.Add("A", "memory");
  store.Add("B", "memory");
  store.Load(settings.c_str());
  EXPECT_EQ(store.Values(), (Values{{"A", "file"}, {"B", "memory"}}));
  EXPECT_FALSE(store.IsDirty());
}

TEST_F(KeyValueStoreTest, TypedGettersFallBackOnMissingOrEmptyValues) {
  WriteWholeFile(settings, "LATEST_DOWNLOAD=123.bird\nHEX=0x1f\nBARE=ff\nYES=2\nNO=0\nD=1.5\nE=\n");
  KeyValueStore store(settings.c_str());
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 123);
  EXPECT_EQ(store.GetInt("E", 7), 7);
  EXPECT_EQ(store.GetHex("HEX", 0), 0x1Fu);
  EXPECT_EQ(store.GetHex("BARE", 0), 0xFFu);
  EXPECT_EQ(store.GetHex("E", 0xAB), 0xABu);
  EXPECT_TRUE(store.GetBOOL("YES", false));
  EXPECT_FALSE(store.GetBOOL("NO", true));
  EXPECT_TRUE(store.GetBOOL("E", true));
  EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 1.5);
  EXPECT_DOUBLE_EQ(store.GetDouble("E", 2.5), 2.5);
  EXPECT_EQ(store.GetString("E", "fallback"), "");
  EXPECT_EQ(store.GetString("ABSENT", "fallback"), "fallback");
  EXPECT_EQ(store.GetString("ABSENT", nullptr), "");
  EXPECT_EQ(store["ABSENT"], nullptr);
  EXPECT_STREQ(store["D"], "1.5");
}

TEST_F(KeyValueStoreTest, NumericGetterLeavesAMissingKeyForTheNextSave) {
  WriteWholeFile(settings, "A=1\n");
  KeyValueStore store(settings.c_str());
  EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 0);
  EXPECT_FALSE(store.IsDirty());
  EXPECT_STREQ(store["LATEST_DOWNLOAD"], "");
  store.Add("A", "2");
  store.Save(nullptr);
  EXPECT_NE(ReadWholeFile(settings).find("A=2\nLATEST_DOWNLOAD=\nUPDATED_TIME="), std::string::npos);
}

TEST_F(KeyValueStoreTest, OnlyRealChangesMakeTheStoreDirty) {
  KeyValueStore other;
  other.Add("X", "1");
  struct Step {
    const char* name;
    std::function<void(KeyValueStore&)> change;
    bool dirty;
  };
  const Step steps[] = {
      {"new value", [](KeyValueStore& s) { s.Add("A", "1"); }, true},
      {"same value again", [](KeyValueStore& s) { s.Add("A", std::string("1")); }, false},
      {"empty text for an absent key", [](KeyValueStore& s) { s.Add("NEW", ""); }, false},
      {"same number", [](KeyValueStore& s) { s.Add("A", 1); }, false},
      {"other store with pairs, unchanged or not", [&](KeyValueStore& s) { s.Add(other); }, true},
      {"empty other store", [](KeyValueStore& s) { s.Add(KeyValueStore()); }, false},
      {"clear", [](KeyValueStore& s) { s.Clear(); }, true},
  };
  KeyValueStore store;
  store.Add("X", "1");
  for (const Step& step : steps) {
    store.Save(settings.c_str());
    ASSERT_FALSE(store.IsDirty());
    step.change(store);
    EXPECT_EQ(store.IsDirty(), step.dirty) << step.name;
  }
  EXPECT_TRUE(store.Values().empty());
}

TEST_F(KeyValueStoreTest, NumbersAreFormattedAsText) {
  KeyValueStore store;
  store.Add("I", -5);
  store.Add("D", 1.5);
  store.AddHex("H", 0x12ABCD);
  EXPECT_EQ(store.Values(), (Values{{"I", "-5"}, {"D", "1.500000"}, {"H", "0x0012ABCD"}}));
  EXPECT_TRUE(store.IsDirty());
  store.Add(store);  // adding a store to itself keeps every pair
  EXPECT_EQ(store.Values().size(), 3u);
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyNameUsesTheCurrentFolder) {
  int status = qftest::runInChild([&] {
    if (chdir(folder.path().c_str()) != 0) return 2;
    qftest::LogCapture log(Log::DEBUG_Attributes);
    KeyValueStore store;
    store.Add("A", "1");
    store.Save(nullptr);
    return log.contains("using default:[.settings]") ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadWholeFile(settings).substr(0, 4), "A=1\n");
}

// A save that cannot finish leaves the previous file exactly as it was and the store dirty.
TEST_F(KeyValueStoreTest, FailedSaveKeepsTheOldFile) {
  const std::string old = "A=old\nB=old\n";
  const std::string big(4096, 'n');
  struct Case {
    const char* name;
    std::function<int(const std::function<int()>&)> run;
    const char* logged;
  };
  const Case cases[] = {
      {"read-only folder",
       [&](const std::function<int()>& body) {
         return qftest::runUnprivileged(folder.path(), [&] {
           if (chmod(folder.path().c_str(), 0555) != 0) return 4;
           return body();
         });
       },
       "cannot open attributes file for writting"},
      {"short write",
       [&](const std::function<int()>& body) {
         return qftest::runWithFileSizeLimit(1024, qftest::FileSizeBreach::ShortWrite, body);
       },
       "cannot write attributes file"},
  };
  for (const Case& c : cases) {
    WriteWholeFile(settings, old);
    int status = c.run([&] {
      qftest::LogCapture log(Log::DEBUG_Attributes);
      KeyValueStore store(settings.c_str());
      store.Add("A", big);
      store.Save(nullptr);
      if (!store.IsDirty()) return 2;
      if (store.GetString("A", "") != big) return 3;
      return log.contains(c.logged) ? 0 : 5;
    });
    EXPECT_EQ(status, 0) << c.name;
    EXPECT_EQ(ReadWholeFile(settings), old) << c.name;
    chmod(folder.path().c_str(), 0755);
  }
  // Killed in the middle of writing the new file: the old one is still whole.
  int status = qftest::runWithFileSizeLimit(1024, qftest::FileSizeBreach::Crash, [&] {
    KeyValueStore store(settings.c_str());
    store.Add("A", big);
    store.Save(nullptr);
    return 0;
  });
  EXPECT_EQ(status, -1);
  EXPECT_EQ(ReadWholeFile(settings), old);
}

// A settings file the user may not write (or not even read) is never replaced: not by a fresh
// file when it cannot be loaded, and not by the values in memory when they are saved.
TEST_F(KeyValueStoreTest, AFileThatMayNotBeWrittenIsKeptAsItIs) {
  const std::string old = "A=old\n";
  struct Case {
    const char* name;
    mode_t mode;
    const char* loadedA;  // what the store holds for A after loading
  };
  const Case cases[] = {{"read-only", 0444, "old"}, {"unreadable", 0000, nullptr}};
  for (const Case& c : cases) {
    WriteWholeFile(settings, old);
    int status = qftest::runUnprivileged(folder.path(), [&] {
      if (chmod(settings.c_str(), c.mode) != 0) return 4;
      qftest::LogCapture log(Log::DEBUG_Attributes);
      KeyValueStore store(settings.c_str());
      const char* a = store["A"];
      if ((a == nullptr) != (c.loadedA == nullptr) || (a && std::string(a) != c.loadedA)) return 2;
      store.Add("A", "new");
      store.Save(nullptr);
      if (!store.IsDirty()) return 3;
      return log.contains("cannot open attributes file for writting") ? 0 : 5;
    });
    EXPECT_EQ(status, 0) << c.name;
    EXPECT_EQ(ReadWholeFile(settings), old) << c.name;
  }
}

TEST_F(KeyValueStoreTest, MissingFileInAReadOnlyFolderLivesInMemory) {
  int status = qftest::runUnprivileged(folder.path(), [&] {
    if (chmod(folder.path().c_str(), 0555) != 0) return 4;
    KeyValueStore store(settings.c_str());
    bool bothTimes = store.Values().size() == 2 && store["CREATED_TIME"] && store["UPDATED_TIME"];
    return bothTimes && !store.IsDirty() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadWholeFile(settings), "");
}

}  // namespace
