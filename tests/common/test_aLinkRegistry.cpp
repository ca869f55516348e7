// The link registry's keys, use counts and releases, on entries made directly.
#include <gtest/gtest.h>

#include <climits>

#include "aLinkInternal.h"
#include "aLinkManagerInternal.h"

namespace {

// Types that no link factory uses, so these entries never meet real ones.
constexpr uint32_t kTypeA = 101;
constexpr uint32_t kTypeB = 102;

// Takes an entry out and frees it.
void Remove(aLinkRef ref) {
  linkItem* entry = sExtractEntry(ref);
  sRetireEntry(&entry, nullptr);
}

}  // namespace

TEST(LinkRegistry, LookupsByKeys) {
  size_t before = sRegistryCount();
  aLinkRef first = sCreate2(0x1234, 0x0100007F, 80, kTypeA);
  aLinkRef second = sCreate2(0x1234, 0x0200007F, 81, kTypeA);
  aLinkRef otherType = sCreate(0x1234, 0, kTypeB);
  ASSERT_NE(first, 0u);
  EXPECT_GT(second, first);
  EXPECT_EQ(sRegistryCount(), before + 3);

  // Newest first; address and port are not part of the identifier lookup.
  EXPECT_EQ(sLookupEntryByIdentifier(0x1234, kTypeA)->id, second);
  EXPECT_EQ(sLookupEntryByIdentifier(0x1234, kTypeB)->id, otherType);
  EXPECT_EQ(sLookupEntryByIdentifier(0x1235, kTypeA), nullptr);
  // The trident ignores the type.
  EXPECT_EQ(sLookupEntryByTrident(0x1234, 0x0100007F, 80)->id, first);
  EXPECT_EQ(sLookupEntryByTrident(0x1234, 0, 0)->id, otherType);
  EXPECT_EQ(sLookupEntryByTrident(0x1234, 0x0100007F, 81), nullptr);

  linkItem* entry = sLookupEntryByID(first);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->use_count, 0);
  EXPECT_EQ(entry->type, kTypeA);
  EXPECT_EQ(sGetLink(first), entry->link);
  EXPECT_EQ(entry->link->ref, first);

  // Extracting an unknown id changes nothing; extracted entries are gone from every lookup.
  EXPECT_EQ(sExtractEntry(0x7FFFFFF1u), nullptr);
  EXPECT_EQ(sRegistryCount(), before + 3);
  Remove(second);
  EXPECT_EQ(sLookupEntryByIdentifier(0x1234, kTypeA)->id, first);
  Remove(first);
  Remove(otherType);
  EXPECT_EQ(sLookupEntryByID(first), nullptr);
  EXPECT_EQ(sGetLink(first), nullptr);
  EXPECT_EQ(sRegistryCount(), before);
}

TEST(LinkRegistry, UseCountStopsAtItsLimit) {
  aLinkRef ref = sCreate(0x55, 0, kTypeA);
  linkItem* entry = sPinEntryByID(ref);
  ASSERT_NE(entry, nullptr);
  for (int i = 0; i < INT16_MAX; ++i) ASSERT_EQ(sChangeUseCount(entry, 1), aErrNone);
  EXPECT_EQ(entry->use_count, INT16_MAX);
  EXPECT_EQ(sChangeUseCount(entry, 1), aErrRange);
  EXPECT_EQ(entry->use_count, INT16_MAX);
  EXPECT_EQ(sChangeUseCount(nullptr, 1), aErrParam);
  sUnpinEntry(&entry);
  EXPECT_EQ(entry, nullptr);
  Remove(ref);
}

TEST(LinkRegistry, ReleasingTheLastUseUnlinksAtOnce) {
  aLinkRef ref = sCreate(0x66, 0, kTypeA);
  linkItem* entry = sPinEntryByID(ref);
  ASSERT_EQ(sChangeUseCount(entry, 1), aErrNone);
  ASSERT_EQ(sChangeUseCount(entry, 1), aErrNone);

  bool found = false;
  int remaining = -5;
  EXPECT_EQ(sReleaseUse(ref, &found, &remaining), nullptr);
  EXPECT_TRUE(found);
  EXPECT_EQ(remaining, 1);
  linkItem* last = sReleaseUse(ref, &found, &remaining);
  EXPECT_EQ(last, entry);
  EXPECT_EQ(remaining, 0);
  // In the same step: no lookup finds it, and it cannot gain a use again.
  EXPECT_EQ(sLookupEntryByID(ref), nullptr);
  EXPECT_EQ(sLookupEntryByIdentifier(0x66, kTypeA), nullptr);
  EXPECT_EQ(sChangeUseCount(entry, 1), aErrNotFound);
  EXPECT_EQ(sReleaseUse(ref, &found, &remaining), nullptr);
  EXPECT_FALSE(found);

  // The pin keeps the retired entry readable until it goes.
  sRetireEntry(&last, nullptr);
  EXPECT_EQ(entry->id, ref);
  sUnpinEntry(&entry);
}

TEST(LinkRegistry, ReleaseOfAnUnusedEntryGoesBelowZero) {
  aLinkRef ref = sCreate(0x77, 0, kTypeA);
  bool found = false;
  int remaining = 0;
  linkItem* entry = sReleaseUse(ref, &found, &remaining);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(remaining, -1);
  sRetireEntry(&entry, nullptr);
}
