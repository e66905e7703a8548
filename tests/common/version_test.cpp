#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/aVersion.h"
#include "common/qfVersion.h"

namespace {

TEST(PackedVersion, ParsesBothLayouts) {
  struct Case {
    uint32_t word;
    bool legacy;
    unsigned major, minor, patch;
    const char* text;
  };
  const Case cases[] = {
      {0x2F020A05, false, 2, 10, 5, "2.10.5"},
      {0x2FFF0102, false, 255, 1, 2, "255.1.2"},
      {0x21000005, true, 2, 1, 5, "2.1.5"},
      {0x1E000101, true, 1, 14, 257, "1.14.257"},
      {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
      {0x00000000, true, 0, 0, 0, "0.0.0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(aVersion_IsLegacyFormat(c.word), c.legacy) << std::hex << c.word;
    EXPECT_EQ(aVersion_ParseMajor(c.word), c.major) << std::hex << c.word;
    EXPECT_EQ(aVersion_ParseMinor(c.word), c.minor) << std::hex << c.word;
    EXPECT_EQ(aVersion_ParsePatch(c.word), c.patch) << std::hex << c.word;
    char text[32];
    EXPECT_EQ(aVersion_ParseString(c.word, text, sizeof text), int(std::strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
}

TEST(PackedVersion, ParseStringTruncatesLikeSnprintf) {
  char text[4];
  EXPECT_EQ(aVersion_ParseString(0x2F020A05, text, sizeof text), 6);
  EXPECT_STREQ(text, "2.1");
}

TEST(PackedVersion, PackChoosesTheLayoutAtTwoFifteenAndRoundTrips) {
  struct Case {
    uint8_t major, minor, patch;
    uint32_t word;
  };
  const Case cases[] = {
      {2, 14, 7, 0x2E000007}, {2, 15, 7, 0x2F020F07}, {3, 0, 0, 0x2F030000},
      {1, 2, 3, 0x12000003},  {0, 0, 0, 0x00000000},
  };
  for (const Case& c : cases) {
    const uint32_t word = aVersion_Pack(c.major, c.minor, c.patch);
    EXPECT_EQ(word, c.word) << int(c.major) << "." << int(c.minor);
    EXPECT_EQ(aVersion_ParseMajor(word), c.major);
    EXPECT_EQ(aVersion_ParseMinor(word), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(word), c.patch);
  }
}

TEST(VersionCompare, IsLexicographicOnBytes) {
  struct Case {
    uint8_t a, b, c, d, e, f;
    bool atLeast;
  };
  const Case cases[] = {
      {2, 10, 4, 2, 10, 4, true},   {2, 10, 3, 2, 10, 4, false},   {3, 0, 0, 2, 99, 99, true},
      {2, 11, 0, 2, 10, 255, true}, {1, 255, 255, 2, 0, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.a, c.b, c.c, c.d, c.e, c.f), c.atLeast)
        << int(c.a) << "." << int(c.b) << "." << int(c.c) << " vs " << int(c.d) << "." << int(c.e) << "." << int(c.f);
}

// The version is the one the build sets; the comparisons hold around it.
TEST(LibraryVersion, IsTheBuildsVersion) {
  EXPECT_EQ(aVersion_GetMajor(), QF_VERSION_MAJOR);
  EXPECT_EQ(aVersion_GetMinor(), QF_VERSION_MINOR);
  EXPECT_EQ(aVersion_GetPatch(), QF_VERSION_PATCH);
  EXPECT_STREQ(aVersion_GetString(), QF_VERSION_TEXT);
  EXPECT_EQ(aVersion_GetString(), aVersion_GetString()) << "formatted once";
  EXPECT_TRUE(aVersion_IsAtLeast(QF_VERSION_MAJOR, QF_VERSION_MINOR, QF_VERSION_PATCH));
  EXPECT_FALSE(aVersion_IsAtLeast(QF_VERSION_MAJOR, QF_VERSION_MINOR, QF_VERSION_PATCH + 1));
  EXPECT_FALSE(aVersion_IsAtLeast(QF_VERSION_MAJOR, QF_VERSION_MINOR + 1, 0));
  if (QF_VERSION_MINOR > 0) {
    EXPECT_TRUE(aVersion_IsAtLeast(QF_VERSION_MAJOR, QF_VERSION_MINOR - 1, 99));
  }
}

TEST(LibraryFeatures, ListsTheVersionQuery) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
}

}  // namespace
