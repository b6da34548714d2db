// A folder chain as deep as Windows allows: with the exact "\\?\" form a path
// may be 32,767 units long, about 16,380 levels of one-letter folders. The
// walk goes down one call per level and must reach the bottom without running
// out of stack, then close every search on the way back up.
#include "scan/DriveWalker.h"
#include "scan/Findings.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <string>

namespace {

constexpr size_t LongestPath = 32767;

size_t Listings = 0;
size_t Refused = 0;

// Every folder holds one folder, "a", until the pattern passes the longest path.
HANDLE WINAPI ChainFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (wcslen(pattern) > LongestPath) {
        ++Refused;
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    *data = WIN32_FIND_DATAW();
    data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    wcscpy(data->cFileName, L"a");
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x100000 + ++Listings));
}

BOOL WINAPI ChainFindNextFileW(HANDLE, LPWIN32_FIND_DATAW) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL WINAPI ChainFindClose(HANDLE) {
    return TRUE;
}

class DeepWalk : public PlatformTest {};

TEST_F(DeepWalk, AChainToTheLongestPathIsWalkedToItsBottomAndEverySearchClosed) {
    Underlying.FindFirstFileW = ChainFindFirstFileW;
    Underlying.FindNextFileW = ChainFindNextFileW;
    Underlying.FindClose = ChainFindClose;
    InfectionFound = false;

    BeginCapture();
    ScanDirectory(L"Q:");
    EXPECT_EQ(EndCapture(), "");

    // "\\?\Q:" + "\a" per level + "\*" fits 32,767 units down to this depth.
    const size_t deepest = (LongestPath - 8) / 2;
    EXPECT_EQ(Listings, deepest + 1);
    EXPECT_EQ(Refused, 1u);
    EXPECT_EQ(CallCount(Call::FindClose), static_cast<int>(Listings));
    EXPECT_FALSE(InfectionFound);
    ExpectAllReleased();
}

} // namespace
