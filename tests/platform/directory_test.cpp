#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/aDirectory.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

using qftest::ReadWholeFile;
using qftest::TempFolder;
using qftest::WriteWholeFile;

namespace fs = std::filesystem;

bool IsFolder(const std::string& path) { return fs::is_directory(fs::symlink_status(path)); }

// ---- paths ----

// Calls aDirectory_BuildPath with up to 11 parts (a null part ends the list early).
aErr Build(char* destination, size_t size, const std::vector<const char*>& parts) {
  std::vector<const char*> p(parts);
  p.resize(11, nullptr);
  return aDirectory_BuildPath(destination, size, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10],
                              nullptr);
}

TEST(BuildPath, JoinsPartsWithOneSeparatorWhereNeitherHasOne) {
  const struct {
    std::vector<const char*> parts;
    size_t size;
    aErr result;
    const char* joined;
  } cases[] = {
      {{"a", "b"}, 64, aErrNone, "a/b"},
      {{"a/", "b"}, 64, aErrNone, "a/b"},
      {{"a", "/b"}, 64, aErrNone, "a/b"},
      {{"a/", "/b"}, 64, aErrNone, "a//b"},
      {{"", "b"}, 64, aErrNone, "b"},  // a relative part stays relative
      {{"/", "etc", "x.conf"}, 64, aErrNone, "/etc/x.conf"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 64, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
      {{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, 64, aErrParam, ""},
      {{"aaaaaaa", "bbbbbb"}, 16, aErrNone, "aaaaaaa/bbbbbb"},
      {{"aaaaaaa", "bbbbbbb"}, 16, aErrOverrun, "aaaaaaa/"},
      {{"aaaaaaaaaaaaaa"}, 16, aErrNone, "aaaaaaaaaaaaaa"},
      {{"aaaaaaaaaaaaaaa"}, 16, aErrOverrun, ""},
      {{"aaaaaaaaaaaaaa", "b"}, 16, aErrOverrun, "aaaaaaaaaaaaaa"},
      {{"a"}, 1, aErrOverrun, ""},
      {{nullptr}, 64, aErrParam, "Z"},
  };
  for (const auto& c : cases) {
    char destination[64];
    memset(destination, 'Z', sizeof destination);
    destination[1] = '\0';
    const std::string label = c.parts[0] ? c.parts[0] : "(null)";
    EXPECT_EQ(Build(destination, c.size, c.parts), c.result) << label << " size " << c.size;
    EXPECT_STREQ(destination, c.joined) << label << " size " << c.size;
  }
}

TEST(BuildPath, RefusesDestinationsItCannotUse) {
  char destination[16] = "keep";
  EXPECT_EQ(aDirectory_JoinPath(destination, 0, "a", "b"), aErrParam);
  EXPECT_STREQ(destination, "keep");
  EXPECT_EQ(aDirectory_JoinPath(nullptr, 16, "a", "b"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, destination, "b"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, "a", destination + 2), aErrParam);
  EXPECT_STREQ(destination, "");
}

TEST(BackwardsMemcmp, FindsTheLastOccurrence) {
  const char* text = "a/b/c";
  const struct {
    const char* text;
    const char* pattern;
    const char* found;
  } cases[] = {
      {text, "/", text + 3},     {text, "", text},        {text, "a/b/c", text},    {text, "c/", nullptr},
      {text, "a/b/c/", nullptr}, {nullptr, "/", nullptr}, {text, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(backwards_memcmp(c.text, c.pattern), c.found) << (c.pattern ? c.pattern : "(null)");
  }
}

// ---- folders ----

class FolderTest : public ::testing::Test {
 protected:
  TempFolder folder;
};

TEST_F(FolderTest, EnsureCreatesEveryMissingLevel) {
  WriteWholeFile(folder.join("file"), "x");
  const struct {
    std::string path;
    aErr result;
    std::string folderAfter;
  } cases[] = {
      {folder.join("a/b/c"), aErrNone, folder.join("a/b/c")},
      {folder.join("a/b/c"), aErrNone, folder.join("a/b/c")},  // exists already
      {folder.join("d//e/"), aErrNone, folder.join("d/e")},
      {folder.join("file"), aErrPermission, ""},  // a file stands where the folder should be
      {folder.join("file/x"), aErrPermission, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0755), c.result) << c.path;
    EXPECT_TRUE(c.folderAfter.empty() || IsFolder(c.folderAfter)) << c.path;
  }
  EXPECT_EQ(ReadWholeFile(folder.join("file")), "x");
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST_F(FolderTest, EnsureCreatesARelativePathWithTheGivenBits) {
  const fs::path before = fs::current_path();
  fs::current_path(folder.path());
  const mode_t oldMask = umask(022);
  const aErr result = aDirectory_Ensure("r1/r2/r3", 0750);
  umask(oldMask);
  fs::current_path(before);
  ASSERT_EQ(result, aErrNone);
  for (const char* level : {"r1", "r1/r2", "r1/r2/r3"}) {
    struct stat status;
    ASSERT_EQ(stat(folder.join(level).c_str(), &status), 0) << level;
    EXPECT_EQ(status.st_mode & 0777, 0750u) << level;
  }
}

// Records the entries a listing hands out; stops after `limit` of them.
struct Listing {
  size_t limit = SIZE_MAX;
  std::map<std::string, aDirectoryListData> entries;
  size_t calls = 0;

  static bool Record(const aDirectoryListData* entry, void* ref) {
    auto* self = static_cast<Listing*>(ref);
    self->entries[entry->path] = {nullptr, entry->size, entry->isDirectory};
    return ++self->calls < self->limit;
  }
};

TEST_F(FolderTest, ListHandsOutEveryReadableEntryWithItsPath) {
  WriteWholeFile(folder.join("f"), "12345");
  ASSERT_EQ(mkdir(folder.join("d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("nowhere", folder.join("dangling").c_str()), 0);
  Listing listing;
  ASSERT_EQ(aDirectory_List(folder.path().c_str(), Listing::Record, &listing), aErrNone);
  ASSERT_EQ(listing.entries.size(), 4u);  // ".", "..", "f", "d"; the dangling link is skipped
  EXPECT_EQ(listing.entries.at(folder.join("f")).size, 5u);
  EXPECT_EQ(listing.entries.at(folder.join("f")).isDirectory, 0u);
  EXPECT_EQ(listing.entries.at(folder.join("d")).isDirectory, 1u);
  EXPECT_EQ(listing.entries.at(folder.join(".")).isDirectory, 1u);
  EXPECT_EQ(listing.entries.count(folder.join("..")), 1u);
}

TEST_F(FolderTest, ListStopsWhenAskedAndFailsOnMissingFolders) {
  Listing once;
  once.limit = 1;
  EXPECT_EQ(aDirectory_List(folder.path().c_str(), Listing::Record, &once), aErrNone);
  EXPECT_EQ(once.calls, 1u);
  Listing none;
  EXPECT_EQ(aDirectory_List(folder.join("missing").c_str(), Listing::Record, &none), aErrNotFound);
  EXPECT_EQ(none.calls, 0u);
}

TEST_F(FolderTest, DeleteRemovesOnlyEmptyFolders) {
  ASSERT_EQ(mkdir(folder.join("empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(folder.join("full").c_str(), 0755), 0);
  WriteWholeFile(folder.join("full/f"), "x");
  EXPECT_EQ(aDirectory_Delete(folder.join("empty").c_str()), aErrNone);
  EXPECT_EQ(aDirectory_Delete(folder.join("empty").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(folder.join("full").c_str()), aErrUnknown);
  EXPECT_FALSE(fs::exists(folder.join("empty")));
  EXPECT_TRUE(fs::exists(folder.join("full/f")));
}

TEST_F(FolderTest, DeleteTreeRemovesEverythingBelow) {
  ASSERT_EQ(aDirectory_Ensure(folder.join("t/a/b").c_str(), 0755), aErrNone);
  ASSERT_EQ(mkdir(folder.join("t/c").c_str(), 0755), 0);
  for (const char* file : {"t/f", "t/a/f", "t/a/b/f", "t/a/b/g"}) WriteWholeFile(folder.join(file), file);
  EXPECT_EQ(aDirectory_DeleteTree(folder.join("t").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(folder.join("t")));
  EXPECT_EQ(aDirectory_DeleteTree(folder.join("t").c_str()), aErrNotFound);
  WriteWholeFile(folder.join("plain"), "x");
  EXPECT_EQ(aDirectory_DeleteTree(folder.join("plain").c_str()), aErrNotFound);
  EXPECT_TRUE(fs::exists(folder.join("plain")));
}

TEST_F(FolderTest, DeleteTreeRemovesLinksWithoutFollowingThem) {
  ASSERT_EQ(aDirectory_Ensure(folder.join("outside/keep").c_str(), 0755), aErrNone);
  WriteWholeFile(folder.join("outside/keep/f"), "precious");
  WriteWholeFile(folder.join("outside/g"), "precious too");
  ASSERT_EQ(mkdir(folder.join("t").c_str(), 0755), 0);
  ASSERT_EQ(symlink(folder.join("outside/keep").c_str(), folder.join("t/to-folder").c_str()), 0);
  ASSERT_EQ(symlink(folder.join("outside/g").c_str(), folder.join("t/to-file").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", folder.join("t/dangling").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(folder.join("t").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder.join("t"))));
  EXPECT_EQ(ReadWholeFile(folder.join("outside/keep/f")), "precious");
  EXPECT_EQ(ReadWholeFile(folder.join("outside/g")), "precious too");

  // A tree named through a link is refused rather than emptied.
  ASSERT_EQ(symlink(folder.join("outside").c_str(), folder.join("alias").c_str()), 0);
  EXPECT_EQ(aDirectory_DeleteTree(folder.join("alias").c_str()), aErrNotFound);
  EXPECT_EQ(ReadWholeFile(folder.join("outside/keep/f")), "precious");
}

TEST_F(FolderTest, DeleteTreeStopsAtAPathLongerThanItsBuffer) {
  // Folders nested until the path of an entry in the deepest one exceeds the path buffer.
  const std::string segment(200, 's');
  std::string deepest = folder.join("t");
  ASSERT_EQ(mkdir(deepest.c_str(), 0755), 0);
  while (deepest.size() < aDIR_PATH_BUFFER - 300) {
    deepest += "/" + segment;
    ASSERT_EQ(mkdir(deepest.c_str(), 0755), 0);
  }
  const std::string tooLong = deepest + "/" + std::string(250, 'f');
  ASSERT_GT(tooLong.size(), static_cast<size_t>(aDIR_PATH_BUFFER));
  WriteWholeFile(tooLong, "x");
  WriteWholeFile(deepest + "/short", "y");

  EXPECT_EQ(aDirectory_DeleteTree(folder.join("t").c_str()), aErrUnknown);
  EXPECT_TRUE(fs::exists(tooLong));
  EXPECT_TRUE(IsFolder(folder.path()));
}

// ---- process paths ----

TEST(ProcessPaths, CurrentFolderAndProgramFile) {
  const std::string cwd = fs::current_path().string();
  const std::string program = fs::read_symlink("/proc/self/exe").string();
  char buffer[4096];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(buffer, cwd);
  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(buffer, program);

  memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(aDirectory_CWD(buffer, cwd.size()), aErrParam);  // no room for the terminator
  EXPECT_STREQ(buffer, "");
  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
  EXPECT_EQ(buffer, program.substr(0, 4));

  buffer[0] = 'Z';
  EXPECT_EQ(aDirectory_CWD(buffer, 0), aErrParam);
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 0), aErrParam);
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, 0), aErrParam);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(aDirectory_CWD(nullptr, 16), aErrParam);
}

class HomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("HOME");
    if (home != nullptr) savedHome = home;
    setenv("HOME", folder.path().c_str(), 1);
  }
  void TearDown() override {
    if (savedHome.empty()) {
      unsetenv("HOME");
    } else {
      setenv("HOME", savedHome.c_str(), 1);
    }
  }

  // The current user's home in the user database, or "" when it has none.
  static std::string DatabaseHome() {
    const struct passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
  }

  TempFolder folder;
  std::string savedHome;
};

TEST_F(HomeTest, UserDatabaseComesBeforeHomeAndMustFit) {
  const std::string expected = DatabaseHome().empty() ? folder.path() : DatabaseHome();
  std::vector<char> buffer(expected.size() + 1, 'Z');
  ASSERT_EQ(aDirectory_GetHomeDirectory(buffer.data(), buffer.size()), aErrNone);
  EXPECT_EQ(buffer.data(), expected);
  buffer.assign(expected.size(), 'Z');
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer.data(), buffer.size()), aErrOverrun);
  EXPECT_STREQ(buffer.data(), "");
}

// Runs the home lookup in a child that has become a user the user database does not know.
struct HomeAnswer {
  aErr result;
  char home[512];
};

HomeAnswer LookUpHomeAsUnknownUser(const char* home) {
  HomeAnswer answer = {aErrUnknown, "child failed"};
  int channel[2];
  if (pipe(channel) != 0) return answer;
  const int status = qftest::runInChild([&] {
    const uid_t stranger = 4000001;
    if (setuid(stranger) != 0 || getpwuid(stranger) != nullptr) return 1;
    home != nullptr ? setenv("HOME", home, 1) : unsetenv("HOME");
    memset(answer.home, 'Z', sizeof answer.home);
    answer.result = aDirectory_GetHomeDirectory(answer.home, sizeof answer.home);
    return write(channel[1], &answer, sizeof answer) == sizeof answer ? 0 : 1;
  });
  close(channel[1]);
  if (status != 0 || read(channel[0], &answer, sizeof answer) != sizeof answer) {
    answer.result = aErrUnknown;
  }
  close(channel[0]);
  return answer;
}

TEST_F(HomeTest, WithoutAUserEntryHomeDecides) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a database entry";
  const HomeAnswer fromHome = LookUpHomeAsUnknownUser(folder.path().c_str());
  EXPECT_EQ(fromHome.result, aErrNone);
  EXPECT_EQ(std::string(fromHome.home), folder.path());
  for (const char* missing : {static_cast<const char*>(nullptr), ""}) {
    const HomeAnswer none = LookUpHomeAsUnknownUser(missing);
    EXPECT_EQ(none.result, aErrNotFound) << (missing ? "empty HOME" : "no HOME");
    EXPECT_STREQ(none.home, "");
  }
}

}  // namespace
