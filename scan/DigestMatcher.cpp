#include "scan/DigestMatcher.h"

#include "platform/Platform.h"
#include "scan/ExactPath.h"
#include "scan/KnownDigests.h"

#include <string.h>

char DigestText[DigestBytes * 2 + 1];

namespace {

// Releases, on every way out, what FileMatchesKnownDigest acquired so far.
struct HashResources {
    HANDLE File = INVALID_HANDLE_VALUE;
    HCRYPTPROV Provider = 0;
    HCRYPTHASH Hash = 0;

    ~HashResources() {
        if (Hash != 0) {
            Win32.CryptDestroyHash(Hash);
        }
        if (Provider != 0) {
            Win32.CryptReleaseContext(Provider, 0);
        }
        if (File != INVALID_HANDLE_VALUE) {
            Win32.CloseHandle(File);
        }
    }
};

void WriteDigestText(const BYTE (&digest)[DigestBytes]) {
    static const char HexDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < DigestBytes; ++i) {
        DigestText[2 * i] = HexDigits[digest[i] >> 4];
        DigestText[2 * i + 1] = HexDigits[digest[i] & 0x0F];
    }
    DigestText[DigestBytes * 2] = '\0';
}

} // namespace

bool FileMatchesKnownDigest(const std::wstring& path) {
    HashResources held;
    // Others may go on writing, deleting and renaming the file while it is hashed:
    // the scan must never make another program's save fail.
    held.File = Win32.CreateFileW(ExactPath(path), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (held.File == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!Win32.CryptAcquireContextW(&held.Provider, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT)) {
        held.Provider = 0;
        return false;
    }
    if (!Win32.CryptCreateHash(held.Provider, CALG_MD5, 0, 0, &held.Hash)) {
        held.Hash = 0;
        return false;
    }

    BYTE piece[ReadPieceBytes];
    for (;;) {
        DWORD read = 0;
        if (!Win32.ReadFile(held.File, piece, static_cast<DWORD>(sizeof(piece)), &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        if (!Win32.CryptHashData(held.Hash, piece, read, 0)) {
            return false;
        }
    }

    bool matches = false;
    BYTE digest[DigestBytes];
    DWORD digestLength = DigestBytes;
    if (Win32.CryptGetHashParam(held.Hash, HP_HASHVAL, digest, &digestLength, 0) &&
        digestLength == DigestBytes) {
        WriteDigestText(digest);
        for (size_t i = 0; i < KnownDigestCount; ++i) {
            if (strcmp(DigestText, KnownDigests[i]) == 0) {
                matches = true;
            }
        }
    }
    return matches;
}
