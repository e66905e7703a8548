// The link registry: ids, lookups by identifiers, counted uses and the last release.
#include <gtest/gtest.h>

#include <vector>

#include "common/aLink.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"

namespace {

// Entries made by one test, released (and freed) after it whatever their count.
class RegistryTest : public testing::Test {
 protected:
  void TearDown() override {
    for (aLinkID id : made_) {
      aLinkEntry* entry = sExtractEntry(id);
      sFreeEntry(&entry);
    }
  }
  aLinkID Make(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    const aLinkID id = sCreate2(ident0, ident1, ident2, type);
    EXPECT_NE(id, 0u);
    made_.push_back(id);
    return id;
  }
  // A serial number no other test in this process uses.
  static uint32_t FreshSerial() {
    static uint32_t next = 0x5E000000;
    return ++next;
  }

 private:
  std::vector<aLinkID> made_;
};

TEST_F(RegistryTest, IdsCountUpAndAreNeverHandedOutAgain) {
  const aLinkID first = Make(1, 0, 0, 1);
  const aLinkID second = Make(2, 0, 0, 1);
  EXPECT_EQ(second, first + 1);
  aLinkEntry* gone = sExtractEntry(second);
  ASSERT_NE(gone, nullptr);
  sFreeEntry(&gone);
  EXPECT_EQ(sLookupEntryByID(second), nullptr);
  EXPECT_EQ(Make(2, 0, 0, 1), second + 1);
}

TEST_F(RegistryTest, NewEntryHasZeroedEngineAndNoUse) {
  aLinkEntry* entry = sLookupEntryByID(Make(7, 8, 9, 2));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->useCount, 0);
  EXPECT_EQ(entry->server, nullptr);
  EXPECT_EQ(entry->chainedID, 0u);
  ASSERT_NE(entry->link, nullptr);
  EXPECT_EQ(entry->link->check, 0u);
  EXPECT_EQ(sGetLink(entry->id), entry->link);
  // An engine that was never initialised names no link for the operations by id.
  EXPECT_EQ(aLink_GetStatus(entry->id), INVALID_LINK_STREAM);
  EXPECT_EQ(aLink_PutPacket(entry->id, nullptr), aErrParam);
}

TEST_F(RegistryTest, LookupsFindTheNewestMatch) {
  const uint32_t serial = FreshSerial();
  const aLinkID olderUsb = Make(serial, 0, 0, 1);
  const aLinkID newerUsb = Make(serial, 0, 0, 1);
  const aLinkID tcp = Make(serial, 0x0100007F, 9000, 2);
  const aLinkID client = Make(0x0100007F, 9000, 3, 4);

  struct Case {
    const char* what;
    aLinkEntry* found;
    aLinkID expected;  // 0: nothing found
  } cases[] = {
      {"same serial and type: the newer", sLookupEntryByIdentifier(serial, 1), newerUsb},
      {"same serial, other type", sLookupEntryByIdentifier(serial, 2), tcp},
      {"same serial, type never used", sLookupEntryByIdentifier(serial, 3), 0},
      {"three identifiers of a USB entry", sLookupEntryByTrident(serial, 0, 0), newerUsb},
      {"three identifiers of a TCP entry", sLookupEntryByTrident(serial, 0x0100007F, 9000), tcp},
      {"three identifiers of a client entry", sLookupEntryByTrident(0x0100007F, 9000, 3), client},
      {"two of three identifiers", sLookupEntryByTrident(serial, 0x0100007F, 9001), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.found ? c.found->id : 0u, c.expected);
  }
  aLinkEntry* newer = sExtractEntry(newerUsb);
  sFreeEntry(&newer);
  EXPECT_EQ(sLookupEntryByIdentifier(serial, 1)->id, olderUsb);
  EXPECT_EQ(sExtractEntry(newerUsb), nullptr);
}

TEST_F(RegistryTest, LastReleaseUnlinksTheEntry) {
  const aLinkID id = Make(FreshSerial(), 0, 0, 1);
  ASSERT_NE(sHoldEntry(id), nullptr);  // held once on this thread: it must not be held again below
  ASSERT_EQ(sAddUse(id), aErrNone);
  ASSERT_EQ(sAddUse(id), aErrNone);
  aLinkEntry* last = nullptr;
  EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
  EXPECT_EQ(last, nullptr);
  EXPECT_EQ(sLookupEntryByID(id)->useCount, 1);
  EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->id, id);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
  EXPECT_EQ(sHoldEntry(id), nullptr);
  sFreeEntry(&last);
  EXPECT_EQ(sReleaseUse(id, &last), aErrParam);
  EXPECT_EQ(sAddUse(id), aErrParam);
}

TEST_F(RegistryTest, ReleaseOfAnUncountedEntryIsTheLast) {
  // A creation that fails before the first use was counted tears its entry down this way.
  const aLinkID id = Make(FreshSerial(), 0, 0, 3);
  aLinkEntry* last = nullptr;
  EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->useCount, -1);
  sFreeEntry(&last);
}

TEST_F(RegistryTest, AddUseByIdentifierCountsOrRefusesAServedLink) {
  const uint32_t serial = FreshSerial();
  aLinkID id = 0;
  EXPECT_EQ(sAddUseByIdentifier(serial, 1, true, &id), aErrNotFound);
  const aLinkID made = Make(serial, 0, 0, 1);
  EXPECT_EQ(sAddUseByIdentifier(serial, 1, true, &id), aErrNone);
  EXPECT_EQ(id, made);
  aLinkEntry* entry = sLookupEntryByID(made);
  EXPECT_EQ(entry->useCount, 1);

  int marker = 0;  // any non-null handle marks the entry as served
  entry->server = reinterpret_cast<aServer*>(&marker);
  EXPECT_EQ(sAddUseByIdentifier(serial, 1, true, &id), aErrBusy);
  EXPECT_EQ(entry->useCount, 1);
  EXPECT_EQ(sAddUseByIdentifier(serial, 1, false, &id), aErrNone);
  EXPECT_EQ(entry->useCount, 2);
  entry->server = nullptr;
}

TEST_F(RegistryTest, ChangeUseCountKeepsSixteenBits) {
  aLinkEntry* entry = sLookupEntryByID(Make(FreshSerial(), 0, 0, 1));
  EXPECT_EQ(sChangeUseCount(entry, 32767), 32767);
  EXPECT_EQ(sChangeUseCount(entry, 1), -32768);
  EXPECT_EQ(sChangeUseCount(nullptr, 1), 0);
}

TEST(LinkStatusTest, IdsWithoutALinkAreInvalidStreams) {
  EXPECT_EQ(aLink_GetStatus(0), INVALID_LINK_STREAM);
  EXPECT_EQ(aLink_GetStatus(0xFFFFFF00), INVALID_LINK_STREAM);
  aLinkID none = 0xFFFFFF00;
  EXPECT_EQ(aLink_Destroy(&none), aErrParam);
  EXPECT_EQ(none, 0u);
}

}  // namespace
