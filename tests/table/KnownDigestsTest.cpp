// The program's own digest table: a digest is compared as lowercase text, so an
// entry that is not exactly 32 lowercase hexadecimal digits could never match.
#include "scan/KnownDigests.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(KnownDigests, HoldsTheTwentyNineSampleDigests) {
    ASSERT_EQ(KnownDigestCount, 29u);
    EXPECT_STREQ(KnownDigests[0], "187044596bc1328efa0ed636d8aa4a5c");
    EXPECT_STREQ(KnownDigests[28], "c053a0a3f1edcbbfc9b51bc640e808ce");
}

TEST(KnownDigests, EveryEntryIsThirtyTwoLowercaseHexDigitsAndUnique) {
    std::set<std::string> seen;
    for (size_t i = 0; i < KnownDigestCount; ++i) {
        std::string entry = KnownDigests[i];
        SCOPED_TRACE(entry);
        ASSERT_EQ(entry.size(), 32u);
        EXPECT_EQ(entry.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_TRUE(seen.insert(entry).second) << "duplicate entry";
    }
}
