// The program's own digest table, linked as the program links it. No file can
// be made to hash to a real sample's digest, so a wrong entry, a shortened
// comparison or a loop that stops early would pass every test that hashes real
// files: these tests catch them. The list below is the published one, kept
// here independently of the program's table.
#include "scan/DigestMatcher.h"
#include "scan/KnownDigests.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

namespace {

const char* const PublishedDigests[] = {
    "187044596bc1328efa0ed636d8aa4a5c", "1c024e599ac055312a4ab75b3950040a",
    "26297dc3cd0b688de3b846983c5385e5", "2c8b9d2885543d7ade3cae98225e263b",
    "47d0e8f9d7a6429920329207a32ecc2e", "4b6b86c7fec1c574706cecedf44abded",
    "6662c390b2bbbd291ec7987388fc75d7", "744c07e886497f7b68f6f7fe57b7ab54",
    "b269894f434657db2b15949641a67532", "b29ca4f22ae7b7b25f79c1d4a421139d",
    "b505d65721bb2453d5039a389113b566", "ba7bb65634ce1e30c1e5415be3d1db1d",
    "bfbe8c3ee78750c3a520480700e440f8", "d240f06e98c8d3e647cbf4d442d79475",
    "db405ad775ac887a337b02ea8b07fddc", "ffb0b9b5b610191051a7bdf0806e1e47",
    "18d4898d82fcb290dfed2a9f70d66833", "b9e4f9d32ce59e7c4daf6b237c330e25",
    "d446b1ed24dad48311f287f3c65aeb80", "8486ec3112e322f9f468bdea3005d7b5",
    "da03648948475b2d0e3e2345d7a9bbbb", "1e4076caa08e41a5befc52efd74819ea",
    "68297fde98e9c0c29cecc0ebf38bde95", "6cf5dc32e1f6959e7354e85101ec219a",
    "885dcd517faf9fac655b8da66315462d", "a1d727340158ec0af81a845abd3963c1",
    "de3547375fbf5f4cb4b14d53f413c503", "bddf5afbea2d0eed77f2ad4e9a4f044d",
    "c053a0a3f1edcbbfc9b51bc640e808ce",
};
constexpr size_t PublishedCount = sizeof(PublishedDigests) / sizeof(PublishedDigests[0]);

TEST(KnownDigests, AreThePublishedTwentyNineEntryForEntryAndInOrder) {
    ASSERT_EQ(KnownDigestCount, PublishedCount);
    for (size_t i = 0; i < PublishedCount; ++i) {
        EXPECT_STREQ(KnownDigests[i], PublishedDigests[i]) << "entry " << i + 1;
    }
}

// The digest the fake hash object reports, as 16 bytes.
BYTE ScriptedDigest[DigestBytes];

BOOL WINAPI ScriptedCryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length,
                                      DWORD flags) {
    // The real call first, so the hash object is used and checked as usual.
    if (!RealWin32.CryptGetHashParam(hash, param, data, length, flags)) {
        return FALSE;
    }
    if (param == HP_HASHVAL && *length == DigestBytes) {
        memcpy(data, ScriptedDigest, DigestBytes);
    }
    return TRUE;
}

bool FromHex(const std::string& text, BYTE (&bytes)[DigestBytes]) {
    if (text.size() != 2 * DigestBytes) {
        return false;
    }
    for (size_t i = 0; i < DigestBytes; ++i) {
        unsigned value = 0;
        if (sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) {
            return false;
        }
        bytes[i] = static_cast<BYTE>(value);
    }
    return true;
}

// The digit at `index` replaced by another hexadecimal digit.
std::string WithDigitChanged(std::string digest, size_t index) {
    digest[index] = digest[index] == '0' ? '1' : '0';
    return digest;
}

class RealTableMatcher : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Folder = MakeTempFolder();
        File = Folder + L"\\any.bin";
        WriteBytes(File, "whatever the content, the hash object reports the scripted digest");
        Underlying.CryptGetHashParam = ScriptedCryptGetHashParam;
    }
    void TearDown() override {
        PlatformTest::TearDown();
        RemoveTree(Folder);
    }

    // Whether the file matches when its digest is `hex`.
    bool MatchesAs(const std::string& hex) {
        if (!FromHex(hex, ScriptedDigest)) {
            ADD_FAILURE() << "not a digest: " << hex;
            return false;
        }
        InstallLedger();
        bool matches = FileMatchesKnownDigest(File);
        EXPECT_STREQ(DigestText, hex.c_str());
        ExpectAllReleased();
        return matches;
    }

    std::wstring Folder;
    std::wstring File;
};

TEST_F(RealTableMatcher, MatchesEachKnownDigestInFullAndOnlyInFull) {
    for (size_t i = 0; i < PublishedCount; ++i) {
        const std::string digest = PublishedDigests[i];
        SCOPED_TRACE("entry " + std::to_string(i + 1) + ", " + digest);
        EXPECT_TRUE(MatchesAs(digest));
        for (size_t changed : {digest.size() - 1, size_t{0}}) {
            const std::string other = WithDigitChanged(digest, changed);
            ASSERT_EQ(std::count(PublishedDigests, PublishedDigests + PublishedCount, other), 0);
            EXPECT_FALSE(MatchesAs(other)) << "digit " << changed + 1 << " changed";
        }
    }
}

} // namespace
