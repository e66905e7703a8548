#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/UpdaterStore.h"
#include "support/bird_generator.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using qftest::ReadWholeFile;
using qftest::WriteWholeFile;

namespace {

class UpdaterStoreTest : public testing::Test {
 protected:
  qftest::TempFolder folder;
  std::string root = folder / "updater";
};

// The exception text of a call that must throw std::runtime_error.
std::string thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST_F(UpdaterStoreTest, RootIsCreatedWithItsParents) {
  std::string deep = folder / "a/b/updater";
  qftest::LogCapture log(Log::DEBUG_Updater);
  UpdaterStore store(deep.c_str());
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_STREQ(store.BasePath(), deep.c_str());
  EXPECT_TRUE(log.contains("UpdaterStore: Created directory [" + deep + "].\n"));
  UpdaterStore again(deep.c_str());
  EXPECT_TRUE(log.contains("UpdaterStore: [" + deep + "] already exists.\n"));
}

TEST_F(UpdaterStoreTest, AFileInThePlaceOfAFolderIsRefused) {
  WriteWholeFile(root, "not a folder");
  EXPECT_EQ(thrown([&] { UpdaterStore store(root.c_str()); }), "UpdaterStore: " + root + " exists and is a file");
  fs::remove(root);
  UpdaterStore store(root.c_str());
  WriteWholeFile(root + "/0012ABCD", "not a folder");
  EXPECT_EQ(thrown([&] { store.AddDevice(0x0012ABCD); }), "UpdaterStore: " + root + "/0012ABCD exists and is a file");
}

TEST_F(UpdaterStoreTest, ReadOnlyFoldersRefuseNewFolders) {
  UpdaterStore store(root.c_str());
  int status = qftest::runUnprivileged(folder.path(), [&] {
    if (chmod(folder.path().c_str(), 0555) != 0 || chmod(root.c_str(), 0555) != 0) return 4;
    std::string beside = folder / "other";
    std::string first = thrown([&] { UpdaterStore other(beside.c_str()); });
    std::string second = thrown([&] { store.AddDevice(0x0012ABCD); });
    bool refused = first.rfind("UpdaterStore: Could not create directory " + beside + " error ", 0) == 0 &&
                   second.rfind("UpdaterStore: Could not create directory " + root + "/0012ABCD error ", 0) == 0;
    return refused ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(UpdaterStoreTest, AddDeviceMakesTheSerialFolderAndLoadsItsSettings) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0012ABCD);
  EXPECT_EQ(item.base, root);
  EXPECT_EQ(item.name, "0012ABCD");
  EXPECT_EQ(item.type, STORE_ITEM_FOLDER);
  EXPECT_TRUE(item.IsValid());
  EXPECT_TRUE(fs::is_regular_file(root + "/0012ABCD/.settings"));
  item.settings.Add(KEY_LATEST_DOWNLOAD, "123.bird");
  item.settings.Save(nullptr);

  UpdaterStoreItem again = store.AddDevice("0012ABCD");
  EXPECT_EQ(again.settings.GetString(KEY_LATEST_DOWNLOAD, ""), "123.bird");
  EXPECT_FALSE(UpdaterStoreItem().IsValid());
}

// A folder whose name merely contains the serial number (a kept-aside copy) is never the
// device's entry, whichever is listed first.
TEST_F(UpdaterStoreTest, FindDeviceTakesOnlyTheFolderNamedExactlyByTheSerial) {
  UpdaterStore store(root.c_str());
  for (const char* name : {"0012ABCD.old", "X0012ABCD", "0012ABCD"}) {
    UpdaterStoreItem item = store.AddDevice(name);
    item.settings.Add("WHICH", name);
    item.settings.Save(nullptr);
  }

  qftest::LogCapture log(Log::DEBUG_Updater);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0x0012ABCD, &item));
  EXPECT_EQ(item.name, "0012ABCD");
  EXPECT_EQ(item.base, root);
  EXPECT_EQ(item.type, STORE_ITEM_FOLDER);
  EXPECT_EQ(item.settings.GetString("WHICH", ""), "0012ABCD");
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 0012ABCD.\n"));

  EXPECT_FALSE(store.FindDevice("12AB", nullptr)) << "a part of a name finds nothing";
  fs::remove_all(root + "/0012ABCD");
  EXPECT_FALSE(store.FindDevice(0x0012ABCD, nullptr)) << "only look-alikes are left";
  UpdaterStoreItem untouched;
  EXPECT_FALSE(store.FindDevice(0x0012ABCE, &untouched));
  EXPECT_FALSE(untouched.IsValid());
  EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 0012ABCE.\n"));
}

TEST_F(UpdaterStoreTest, MissingRootFindsNothing) {
  UpdaterStore store(root.c_str());
  fs::remove_all(root);
  std::vector<UpdaterStoreItem> items;
  EXPECT_FALSE(store.FindDevice(0x0012ABCD, nullptr));
  EXPECT_TRUE(store.FindLocalBuilds(0x0012ABCD, items));
  EXPECT_TRUE(items.empty());
}

TEST_F(UpdaterStoreTest, LocalBuildsListEveryEntryButHiddenOnes) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCD);
  ASSERT_EQ(device.WriteFile("12345.bird", reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
  WriteWholeFile(root + "/0012ABCD/notes.txt", "not a bird");
  WriteWholeFile(root + "/0012ABCD/.tmp-1-1", "left over from a crash");
  fs::create_directory(root + "/0012ABCD/sub");

  std::vector<UpdaterStoreItem> items(1);  // what is there already stays
  EXPECT_TRUE(store.FindLocalBuilds(0x0012ABCD, items));
  ASSERT_EQ(items.size(), 4u);
  EXPECT_FALSE(items[0].IsValid());
  std::map<std::string, store_item_t> found;
  for (size_t i = 1; i < items.size(); ++i) {
    found[items[i].name] = items[i].type;
    EXPECT_EQ(items[i].base, root + "/0012ABCD");
  }
  EXPECT_EQ(found, (std::map<std::string, store_item_t>{
                       {"12345.bird", STORE_ITEM_FILE}, {"notes.txt", STORE_ITEM_FILE}, {"sub", STORE_ITEM_FOLDER}}));
  // A file has no settings folder: its settings live in memory only.
  for (const auto& item : items) {
    if (item.type != STORE_ITEM_FILE) continue;
    EXPECT_EQ(item.settings.Values().size(), 2u) << item.name;
    EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
    EXPECT_NE(item.settings["UPDATED_TIME"], nullptr);
  }
  EXPECT_TRUE(fs::exists(root + "/0012ABCD/sub/.settings"));

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x00000001, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, FileExistsMatchesPartOfAName) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCD);
  WriteWholeFile(root + "/0012ABCD/12345.bird", "x");
  for (const char* part : {"12345.bird", "12345", ".bird", ".settings"}) EXPECT_TRUE(device.FileExists(part)) << part;
  for (const char* part : {"123456", "99999.bird"}) EXPECT_FALSE(device.FileExists(part)) << part;
}

TEST_F(UpdaterStoreTest, WriteFileReplacesTheWholeFile) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCD);
  const std::string path = root + "/0012ABCD/12345.bird";
  const std::string longer = "a longer first version", shorter = "short";
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  EXPECT_EQ(device.WriteFile("12345.bird", bytes(longer), longer.size()), aErrNone);
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(device.WriteFile("12345.bird", bytes(shorter), shorter.size()), aErrNone);
  EXPECT_EQ(ReadWholeFile(path), shorter);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write)
      << "the new contents keep the file's permissions";
  EXPECT_EQ(device.WriteFile("12345.bird", nullptr, 4), aErrNotFound);
  EXPECT_EQ(device.WriteFile("missing/12345.bird", bytes(shorter), shorter.size()), aErrNotFound);
  EXPECT_EQ(ReadWholeFile(path), shorter);
  size_t entries = std::distance(fs::directory_iterator(root + "/0012ABCD"), fs::directory_iterator());
  EXPECT_EQ(entries, 2u) << "no temporary file is left behind";
}

// A write that cannot finish reports its failure and leaves the earlier file whole.
TEST_F(UpdaterStoreTest, FailedWriteKeepsTheOldFile) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCD);
  const std::string folderPath = root + "/0012ABCD";
  const std::string old = "the old build";
  const std::string big(64 * 1024, 'n');
  auto writeBig = [&] {
    return static_cast<int>(device.WriteFile("12345.bird", reinterpret_cast<const uint8_t*>(big.data()), big.size()));
  };
  struct Case {
    const char* name;
    std::function<int()> run;
    int status;
  };
  const Case cases[] = {
      {"short write", [&] { return qftest::runWithFileSizeLimit(4096, qftest::FileSizeBreach::ShortWrite, writeBig); },
       static_cast<int>(aErrIO)},
      {"killed while writing",
       [&] { return qftest::runWithFileSizeLimit(4096, qftest::FileSizeBreach::Crash, writeBig); }, -1},
      {"read-only folder",
       [&] {
         return qftest::runUnprivileged(folder.path(),
                                        [&] { return chmod(folderPath.c_str(), 0555) == 0 ? writeBig() : 99; });
       },
       static_cast<int>(aErrNotFound)},
      {"read-only file",
       [&] {
         return qftest::runUnprivileged(
             folder.path(), [&] { return chmod((folderPath + "/12345.bird").c_str(), 0444) == 0 ? writeBig() : 99; });
       },
       static_cast<int>(aErrNotFound)},
  };
  for (const Case& c : cases) {
    WriteWholeFile(folderPath + "/12345.bird", old);
    EXPECT_EQ(c.run(), c.status) << c.name;
    EXPECT_EQ(ReadWholeFile(folderPath + "/12345.bird"), old) << c.name;
    chmod(folderPath.c_str(), 0755);
  }
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(0x0012ABCD, items);
  ASSERT_EQ(items.size(), 1u) << "a crash's leftover is never listed as a build";
  EXPECT_EQ(items[0].name, "12345.bird");
}

TEST_F(UpdaterStoreTest, ReadBirdFileLoadsOnlyRealBirdFiles) {
  UpdaterStore store(root.c_str());
  UpdaterStoreItem device = store.AddDevice(0x0012ABCD);
  const std::string deviceFolder = root + "/0012ABCD";
  namespace bird = qftest::bird;
  bird::writeFile(deviceFolder + "/12345.bird", bird::makeBirdFile({}));
  bird::writeFile(deviceFolder + "/666.bird", bird::makeBroken(bird::Broken::BlockPastBody));
  WriteWholeFile(deviceFolder + "/notes.txt", "not a bird file");

  EXPECT_EQ(device.ReadBirdFile("12345.bird").GetBuild(), 12345u);
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("notes.txt"); }), "Invalid bird " + deviceFolder + "/notes.txt");
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("absent.bird"); }), "Invalid bird " + deviceFolder + "/absent.bird");
  EXPECT_EQ(thrown([&] { device.ReadBirdFile("666.bird"); }), "Failed to load bird data");
}

TEST(BuildPath, JoinsPartsAsTheyAre) {
  EXPECT_EQ(BuildPath("a", "b", ".settings", nullptr), "a/b/.settings");
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", nullptr), "a");
  EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
}

}  // namespace
