// The digest matcher: MD5 digests of files around the read piece's size, the
// test digest table (sample-a.bin lowercase, sample-b.bin in capitals), the
// calls and arguments it hands to the platform, and every way hashing can fail.
#include "scan/DigestMatcher.h"
#include "scan/KnownDigests.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// Deterministic content; the digests below were computed from the same bytes
// natively (md5sum and Python's hashlib agree).
std::string Content(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 251 + (i >> 10) * 17 + 3) & 0xFF);
    }
    return bytes;
}

// MD5 of tests/fixtures/sample-a.bin and sample-b.bin, and of sample-a.bin
// with byte 40 xor 0x01, computed natively. Every digest here is lowercase, as
// DigestText must always be.
const char SampleADigest[] = "34249b2caf9ac829ae49a2d7765928df";
const char SampleBDigest[] = "0ab94939fb17f41b2864b2a493b827fc";
const char ChangedSampleADigest[] = "96767a206b78b5cd87a42fc61523535f";

// What the matcher handed to the platform, recorded by fakes in `Underlying`
// that forward to the real calls.
struct Recorded {
    std::vector<std::string> Calls;
    std::wstring Path;
    DWORD Access = 0, Share = 0, Disposition = 0, Flags = 0;
    bool SecurityOrTemplate = false;
    bool Container = false, ProviderName = false;
    DWORD ProviderType = 0, ContextFlags = 0;
    ALG_ID Algorithm = 0;
    HCRYPTKEY Key = 1;
    DWORD HashFlags = 1;
    std::vector<DWORD> ReadSizes;
    bool Overlapped = false;
    std::vector<DWORD> HashedLengths;
    DWORD HashDataFlags = 0;
    DWORD HashParam = 0;
    DWORD DigestRoom = 0;
    DWORD ReleaseFlags = 0;
};
Recorded Seen;

HANDLE WINAPI RecordCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE templateFile) {
    Seen.Calls.push_back("CreateFileW");
    Seen.Path = path;
    Seen.Access = access;
    Seen.Share = share;
    Seen.Disposition = disposition;
    Seen.Flags = flags;
    Seen.SecurityOrTemplate = security != nullptr || templateFile != nullptr;
    return RealWin32.CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI RecordCryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR name,
                                       DWORD type, DWORD flags) {
    Seen.Calls.push_back("CryptAcquireContextW");
    Seen.Container = container != nullptr;
    Seen.ProviderName = name != nullptr;
    Seen.ProviderType = type;
    Seen.ContextFlags = flags;
    return RealWin32.CryptAcquireContextW(provider, container, name, type, flags);
}

BOOL WINAPI RecordCryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                  HCRYPTHASH* hash) {
    Seen.Calls.push_back("CryptCreateHash");
    Seen.Algorithm = algorithm;
    Seen.Key = key;
    Seen.HashFlags = flags;
    return RealWin32.CryptCreateHash(provider, algorithm, key, flags, hash);
}

BOOL WINAPI RecordReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    Seen.Calls.push_back("ReadFile");
    Seen.ReadSizes.push_back(size);
    Seen.Overlapped = Seen.Overlapped || overlapped != nullptr;
    return RealWin32.ReadFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI RecordCryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    Seen.Calls.push_back("CryptHashData");
    Seen.HashedLengths.push_back(length);
    Seen.HashDataFlags |= flags;
    return RealWin32.CryptHashData(hash, data, length, flags);
}

BOOL WINAPI RecordCryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length,
                                    DWORD flags) {
    Seen.Calls.push_back("CryptGetHashParam");
    Seen.HashParam = param;
    Seen.DigestRoom = length != nullptr ? *length : 0;
    return RealWin32.CryptGetHashParam(hash, param, data, length, flags);
}

BOOL WINAPI RecordCryptDestroyHash(HCRYPTHASH hash) {
    Seen.Calls.push_back("CryptDestroyHash");
    return RealWin32.CryptDestroyHash(hash);
}

BOOL WINAPI RecordCryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    Seen.Calls.push_back("CryptReleaseContext");
    Seen.ReleaseFlags = flags;
    return RealWin32.CryptReleaseContext(provider, flags);
}

BOOL WINAPI RecordCloseHandle(HANDLE handle) {
    Seen.Calls.push_back("CloseHandle");
    return RealWin32.CloseHandle(handle);
}

class DigestMatcher : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Folder = MakeTempFolder();
        Underlying.CreateFileW = RecordCreateFileW;
        Underlying.CryptAcquireContextW = RecordCryptAcquireContextW;
        Underlying.CryptCreateHash = RecordCryptCreateHash;
        Underlying.ReadFile = RecordReadFile;
        Underlying.CryptHashData = RecordCryptHashData;
        Underlying.CryptGetHashParam = RecordCryptGetHashParam;
        Underlying.CryptDestroyHash = RecordCryptDestroyHash;
        Underlying.CryptReleaseContext = RecordCryptReleaseContext;
        Underlying.CloseHandle = RecordCloseHandle;
    }
    void TearDown() override {
        PlatformTest::TearDown();
        RemoveTree(Folder);
    }

    std::wstring FileWith(const wchar_t* name, const std::string& bytes) {
        std::wstring path = Folder + L"\\" + name;
        WriteBytes(path, bytes);
        return path;
    }

    // Runs the matcher on fresh counts, with a stale digest text that a
    // successful run must overwrite; `printed` receives the output.
    bool Match(const std::wstring& path, std::string* printed) {
        InstallLedger();
        Seen = Recorded();
        memset(DigestText, 'X', sizeof(DigestText) - 1);
        DigestText[sizeof(DigestText) - 1] = '\0';
        BeginCapture();
        bool matches = FileMatchesKnownDigest(path);
        *printed = EndCapture();
        return matches;
    }

    std::wstring Folder;
};

TEST_F(DigestMatcher, HashesFilesAroundTheReadPieceSizeInPiecesOf1024Bytes) {
    struct Case {
        size_t Size;
        const char* Digest;
        int Reads;
    };
    const Case cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e", 1},
        {1, "8666683506aacd900bbd5a74ac4edf68", 2},
        {1023, "520676ec0e284927e215b54b50f6cae4", 2},
        {1024, "29d1306053ad6e2e1ea22a31be71a676", 2},
        {1025, "f597142acf87b82cd8c581ef12a9f384", 3},
        {300 * 1024, "7a04b9293fc8ddeb4427d525457b21e7", 301},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("file of " + std::to_string(c.Size) + " bytes");
        std::wstring path = FileWith(L"content.bin", Content(c.Size));
        std::string printed;
        EXPECT_FALSE(Match(path, &printed));
        EXPECT_STREQ(DigestText, c.Digest);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(CallCount(Call::ReadFile), c.Reads);
        EXPECT_EQ(CallCount(Call::CryptHashData), c.Reads - 1);
        // Every piece but the last is a whole 1024 bytes; together they are the file.
        size_t hashed = 0;
        for (size_t i = 0; i < Seen.HashedLengths.size(); ++i) {
            if (i + 1 < Seen.HashedLengths.size()) {
                EXPECT_EQ(Seen.HashedLengths[i], 1024u) << "piece " << i;
            }
            EXPECT_GT(Seen.HashedLengths[i], 0u) << "piece " << i;
            hashed += Seen.HashedLengths[i];
        }
        EXPECT_EQ(hashed, c.Size);
        ExpectAllReleased();
    }
}

TEST_F(DigestMatcher, SampleAMatchesAndTheSameContentWithOneByteChangedDoesNot) {
    std::string sample = ReadFixture("sample-a.bin");
    ASSERT_EQ(sample.size(), 80u);
    std::string printed;

    EXPECT_TRUE(Match(FileWith(L"sample-a.bin", sample), &printed));
    EXPECT_STREQ(DigestText, SampleADigest);
    EXPECT_EQ(printed, "");
    ExpectAllReleased();

    sample[40] = static_cast<char>(sample[40] ^ 0x01);
    EXPECT_FALSE(Match(FileWith(L"changed.bin", sample), &printed));
    EXPECT_STREQ(DigestText, ChangedSampleADigest);
    EXPECT_EQ(printed, "");
    ExpectAllReleased();
}

TEST_F(DigestMatcher, AnEntryInCapitalsNeverMatchesAlthoughItIsTheDigest) {
    std::string printed;
    EXPECT_FALSE(Match(FileWith(L"sample-b.bin", ReadFixture("sample-b.bin")), &printed));
    EXPECT_STREQ(DigestText, SampleBDigest);
    EXPECT_EQ(printed, "");

    // The table's entry for sample-b.bin is exactly this digest in capitals.
    std::string capitals;
    for (const char* c = SampleBDigest; *c != '\0'; ++c) {
        capitals += static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    }
    bool listed = false;
    for (size_t i = 0; i < KnownDigestCount; ++i) {
        listed = listed || capitals == KnownDigests[i];
    }
    EXPECT_TRUE(listed) << "the test table no longer lists " << capitals;
}

TEST_F(DigestMatcher, OpensReadsAndHashesWithTheRightCallsArgumentsAndOrder) {
    std::wstring path = FileWith(L"two-pieces.bin", Content(1025));
    std::string printed;
    Match(path, &printed);

    const std::vector<std::string> work = {
        "CreateFileW",       "CryptAcquireContextW",
        "CryptCreateHash",   "ReadFile",
        "CryptHashData",     "ReadFile",
        "CryptHashData",     "ReadFile",
        "CryptGetHashParam",
    };
    ASSERT_GE(Seen.Calls.size(), work.size());
    EXPECT_EQ(std::vector<std::string>(Seen.Calls.begin(), Seen.Calls.begin() + work.size()), work);
    // Then the releases, each once; the hash object goes before its context.
    std::vector<std::string> releases(Seen.Calls.begin() + work.size(), Seen.Calls.end());
    ASSERT_EQ(releases.size(), 3u);
    auto position = [&](const char* name) {
        for (size_t i = 0; i < releases.size(); ++i) {
            if (releases[i] == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    EXPECT_GE(position("CloseHandle"), 0);
    EXPECT_GE(position("CryptDestroyHash"), 0);
    EXPECT_GT(position("CryptReleaseContext"), position("CryptDestroyHash"));

    // Exactly the file named: no trimming of trailing blanks or dots.
    EXPECT_EQ(Seen.Path, L"\\\\?\\" + path);
    EXPECT_EQ(Seen.Access, static_cast<DWORD>(GENERIC_READ));
    // Others may write, delete and rename the file while it is hashed.
    EXPECT_EQ(Seen.Share,
              static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_EQ(Seen.Disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(Seen.Flags, static_cast<DWORD>(FILE_FLAG_SEQUENTIAL_SCAN));
    EXPECT_FALSE(Seen.SecurityOrTemplate);

    EXPECT_FALSE(Seen.Container);
    EXPECT_FALSE(Seen.ProviderName);
    EXPECT_EQ(Seen.ProviderType, static_cast<DWORD>(PROV_RSA_FULL));
    EXPECT_EQ(Seen.ContextFlags, static_cast<DWORD>(CRYPT_VERIFYCONTEXT));

    EXPECT_EQ(Seen.Algorithm, static_cast<ALG_ID>(CALG_MD5));
    EXPECT_EQ(Seen.Key, 0u);
    EXPECT_EQ(Seen.HashFlags, 0u);

    EXPECT_EQ(Seen.ReadSizes, std::vector<DWORD>(3, 1024));
    EXPECT_FALSE(Seen.Overlapped);
    EXPECT_EQ(Seen.HashedLengths, (std::vector<DWORD>{1024, 1}));
    EXPECT_EQ(Seen.HashDataFlags, 0u);

    EXPECT_EQ(Seen.HashParam, static_cast<DWORD>(HP_HASHVAL));
    EXPECT_EQ(Seen.DigestRoom, 16u);
    EXPECT_EQ(Seen.ReleaseFlags, 0u);
}

TEST_F(DigestMatcher, EveryFailureIsNoMatchSilentAndReleasesExactlyWhatWasAcquired) {
    const std::wstring sample = FileWith(L"sample-a.bin", ReadFixture("sample-a.bin"));
    // Five pieces of 1024 bytes and one of 904, then the read that finds the end.
    const std::wstring several = FileWith(L"several.bin", Content(5 * 1024 + 904));
    std::string printed;
    // Without a failure the sample matches: each false below comes from the failure.
    ASSERT_TRUE(Match(sample, &printed));

    struct Case {
        Call Failing;
        int Nth;
        const std::wstring* Path;
        int Closes;   // CloseHandle
        int Releases; // CryptReleaseContext
        int Destroys; // CryptDestroyHash
    };
    const Case cases[] = {
        {Call::CreateFileW, 1, &sample, 0, 0, 0},
        {Call::CryptAcquireContextW, 1, &sample, 1, 0, 0},
        {Call::CryptCreateHash, 1, &sample, 1, 1, 0},
        {Call::ReadFile, 1, &sample, 1, 1, 1},
        // The read that would find the end, after the whole sample was hashed.
        {Call::ReadFile, 2, &sample, 1, 1, 1},
        {Call::ReadFile, 4, &several, 1, 1, 1},
        {Call::CryptHashData, 1, &sample, 1, 1, 1},
        {Call::CryptHashData, 4, &several, 1, 1, 1},
        {Call::CryptGetHashParam, 1, &sample, 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(CallName(c.Failing)) + " failing on call " +
                     std::to_string(c.Nth) + " for " + Narrow(*c.Path));
        InstallLedger();
        FailCall(c.Failing, c.Nth);
        BeginCapture();
        bool matches = FileMatchesKnownDigest(*c.Path);
        printed = EndCapture();

        EXPECT_TRUE(FailureDelivered(c.Failing));
        EXPECT_FALSE(matches);
        EXPECT_EQ(printed, "");
        // Nothing is retried or carried on with after the failure.
        EXPECT_EQ(CallCount(c.Failing), c.Nth);
        if (c.Failing != Call::CryptGetHashParam) {
            EXPECT_EQ(CallCount(Call::CryptGetHashParam), 0);
        }
        ExpectAllReleased();
        EXPECT_EQ(CallCount(Call::CloseHandle), c.Closes);
        EXPECT_EQ(CallCount(Call::CryptReleaseContext), c.Releases);
        EXPECT_EQ(CallCount(Call::CryptDestroyHash), c.Destroys);
    }
}

// Failing acquisitions that still write to their output: what they wrote is
// no handle and must never be released.
BOOL WINAPI GarbageCryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    *provider = 0x5A5A;
    SetLastError(NTE_PROV_DLL_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI GarbageCryptCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
    *hash = 0x5A5A;
    SetLastError(NTE_BAD_ALGID);
    return FALSE;
}

TEST_F(DigestMatcher, WhatAFailedAcquisitionLeftInItsOutputIsNeverReleased) {
    const std::wstring sample = FileWith(L"sample-a.bin", ReadFixture("sample-a.bin"));
    struct Case {
        const char* Name;
        decltype(Underlying.CryptAcquireContextW) Acquire;
        decltype(Underlying.CryptCreateHash) Create;
        int Releases;
    };
    const Case cases[] = {
        {"CryptAcquireContextW", GarbageCryptAcquireContextW, RecordCryptCreateHash, 0},
        {"CryptCreateHash", RecordCryptAcquireContextW, GarbageCryptCreateHash, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Underlying.CryptAcquireContextW = c.Acquire;
        Underlying.CryptCreateHash = c.Create;
        std::string printed;
        EXPECT_FALSE(Match(sample, &printed));
        EXPECT_EQ(printed, "");
        ExpectAllReleased();
        EXPECT_EQ(CallCount(Call::CryptReleaseContext), c.Releases);
        EXPECT_EQ(CallCount(Call::CryptDestroyHash), 0);
        EXPECT_EQ(CallCount(Call::CloseHandle), 1);
    }
}

TEST_F(DigestMatcher, ANameEndingInABlankOrADotIsTheFileHashedNotItsTrimmedTwin) {
    // A plain path drops a name's trailing blanks and dots: "sample.bin " would
    // be read as the harmless "sample.bin" beside it, "sample.bin." as nothing.
    FileWith(L"sample.bin", "harmless twin");
    for (const wchar_t* name : {L"sample.bin ", L"sample.bin.", L"sample.bin. .", L"..."}) {
        SCOPED_TRACE(Narrow(name));
        const std::wstring path = Folder + L"\\" + name;
        WriteBytes(L"\\\\?\\" + path, ReadFixture("sample-a.bin"));
        std::string printed;
        EXPECT_TRUE(Match(path, &printed));
        EXPECT_STREQ(DigestText, "34249b2caf9ac829ae49a2d7765928df");
        ExpectAllReleased();
    }
}

TEST_F(DigestMatcher, AFileLockedByAnotherOpenerOrMissingIsNoMatchAndSilent) {
    const std::wstring sample = FileWith(L"sample-a.bin", ReadFixture("sample-a.bin"));
    std::string printed;

    // Opened here without sharing: the matcher cannot open it for reading.
    HANDLE lock = RealWin32.CreateFileW(sample.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    bool matches = Match(sample, &printed);
    RealWin32.CloseHandle(lock);
    EXPECT_FALSE(matches);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(CallCount(Call::CreateFileW), 1);
    EXPECT_EQ(CallCount(Call::CryptAcquireContextW), 0);
    ExpectAllReleased();
    // Once the lock is gone, the same file matches.
    EXPECT_TRUE(Match(sample, &printed));

    EXPECT_FALSE(Match(Folder + L"\\missing.bin", &printed));
    EXPECT_EQ(printed, "");
    EXPECT_EQ(CallCount(Call::CryptAcquireContextW), 0);
    ExpectAllReleased();
}

} // namespace
