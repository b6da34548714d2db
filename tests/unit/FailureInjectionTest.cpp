// Every countable platform call of the scan is made to fail in turn, on its
// first use, its second, and so on until no call is left to fail. Each run must
// complete, print nothing that a run without failures does not print, and
// release everything it acquired.
#include "scan/DriveWalker.h"
#include "scan/Findings.h"
#include "scan/KnownLocations.h"
#include "support/FakeWindowsDirectory.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring ReparseFolder;

// Shows one folder as a junction, so that the walk reads directory identities.
void MarkReparse(LPWIN32_FIND_DATAW data) {
    if (wcscmp(data->cFileName, ReparseFolder.c_str()) == 0) {
        data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
}

HANDLE WINAPI FakeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    HANDLE search = RealWin32.FindFirstFileW(pattern, data);
    if (search != INVALID_HANDLE_VALUE) {
        MarkReparse(data);
    }
    return search;
}

BOOL WINAPI FakeFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    BOOL found = RealWin32.FindNextFileW(search, data);
    if (found) {
        MarkReparse(data);
    }
    return found;
}

// Progress lines, wipes and found lines, each as one piece of text.
std::set<std::string> Pieces(const std::string& output) {
    std::set<std::string> pieces;
    std::string piece;
    for (char c : output) {
        if (c == '\r' || c == '\n') {
            pieces.insert(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    pieces.insert(piece);
    return pieces;
}

class FailureInjection : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        FakeWindowsDirectory = MakeTempFolder();
        MakeFolder(FakeWindowsDirectory + L"\\system32");
        WriteBytes(FakeWindowsDirectory + L"\\system32\\nsreg1.dat", "x");
        MakeFolder(FakeWindowsDirectory + L"\\Panther");
        WriteBytes(FakeWindowsDirectory + L"\\Panther\\CACHE", "x");

        Tree = MakeTempFolder();
        WriteBytes(Tree + L"\\a.txt", "hello");
        WriteBytes(Tree + L"\\sample.bin", ReadFixture("sample-a.bin"));
        MakeFolder(Tree + L"\\junction");
        WriteBytes(Tree + L"\\junction\\b.txt", std::string(3000, 'b'));
        MakeFolder(Tree + L"\\junction\\deeper");
        WriteBytes(Tree + L"\\junction\\deeper\\empty", "");
        WriteBytes(Tree + L"\\junction\\deeper\\sample.bin", ReadFixture("sample-a.bin"));
        MakeFolder(Tree + L"\\.dot");
        WriteBytes(Tree + L"\\.dot\\c.txt", "c");
        ReparseFolder = L"junction";

        Underlying.GetWindowsDirectoryW = FakeGetWindowsDirectoryW;
        Underlying.FindFirstFileW = FakeFindFirstFileW;
        Underlying.FindNextFileW = FakeFindNextFileW;
    }
    void TearDown() override {
        RestorePlatformCalls();
        RemoveTree(Tree);
        RemoveTree(FakeWindowsDirectory);
        InfectionFound = false;
        CandidatePaths.clear();
        PlatformTest::TearDown();
    }

    std::string RunScanOfTree() {
        InfectionFound = false;
        CandidatePaths.clear();
        BeginCapture();
        CheckSystemIndicatorFiles();
        BuildCandidatePaths();
        CheckCandidatePaths();
        ScanDirectory(Tree);
        return EndCapture();
    }

    std::wstring Tree;
};

TEST_F(FailureInjection, EachCallFailingInTurnPrintsNothingExtraAndLeaksNothing) {
    const std::string baseline = RunScanOfTree();
    ExpectAllReleased();
    const std::set<std::string> allowed = Pieces(baseline);
    // The run without failures does all of the scan's kinds of work.
    ASSERT_GT(CallCount(Call::GetFileInformationByHandleEx), 0);
    ASSERT_NE(baseline.find("Found: " + Shown(Tree) + "\\junction\\deeper\\sample.bin\n"),
              std::string::npos)
        << baseline;

    const Call scanCalls[] = {
        Call::GetWindowsDirectoryW,
        Call::GetFileAttributesW,
        Call::FindFirstFileW,
        Call::FindNextFileW,
        Call::CreateFileW,
        Call::ReadFile,
        Call::GetFileInformationByHandleEx,
        Call::GetFileInformationByHandle,
        Call::CryptAcquireContextW,
        Call::CryptCreateHash,
        Call::CryptHashData,
        Call::CryptGetHashParam,
    };
    int runs = 0;
    for (Call call : scanCalls) {
        for (int nth = 1;; ++nth) {
            std::ostringstream trace;
            trace << CallName(call) << " failing on call " << nth;
            SCOPED_TRACE(trace.str());
            InstallLedger();
            FailCall(call, nth);
            // The 64-bit file index is asked for only where the 128-bit id is
            // missing (Wine always has one): without it, every time.
            if (call == Call::GetFileInformationByHandle) {
                FailCall(Call::GetFileInformationByHandleEx, -1);
            }
            std::string output = RunScanOfTree();
            if (!FailureDelivered(call)) {
                EXPECT_GT(nth, 1) << "the call is never made: its failures are not tried";
                EXPECT_EQ(output, baseline);
                break;
            }
            ++runs;
            for (const std::string& piece : Pieces(output)) {
                EXPECT_EQ(allowed.count(piece), 1u) << "unexpected output: " << piece;
            }
            ExpectAllReleased();
            ASSERT_LT(nth, 2000) << "the call never stopped failing";
        }
    }
    EXPECT_GT(runs, 50);
}

} // namespace
