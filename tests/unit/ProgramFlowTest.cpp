// The whole run, from the banner to the keystroke that ends it: what it prints,
// how long it waits for the report, the keys it reads and what it releases.
//
// No real drive is walked (every drive has no root unless a test gives one a
// scripted listing), the Windows directory is a temp folder, and the report's
// session never opens, so nothing reaches the network.
#include "app/ConsoleText.h"
#include "app/ProgramFlow.h"
#include "report/WebReport.h"
#include "scan/Findings.h"
#include "scan/KnownLocations.h"
#include "support/FakeWindowsDirectory.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <atomic>
#include <io.h>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string BannerText = "Velmora Antivirus  Regin Detector - 1.0\n"
                               "(c) 2026 Velmora\n"
                               "\n";
const std::string VerdictLead = "\r" + std::string(79, ' ') + "\n" + "\n\n";
const std::string CleanText = "No known infections of regin found.\n"
                              "Your system looks clean.\n\n";
const std::string InfectedText = "Your system is possibly infected with Regin.\n"
                                 "Please contact us immediately at www.velmora.example.\n\n";
const std::string PromptText = "Please press enter to continue... ";

// --- Windows directory and drives -------------------------------------------

// Only Q: may have a root; it then holds one file, Q:\a.txt.
bool DriveQHasRoot = false;
std::vector<std::wstring> Patterns;
const HANDLE DriveQSearch = reinterpret_cast<HANDLE>(0x5EA0);

UINT WINAPI FakeGetDriveTypeW(LPCWSTR root) {
    return DriveQHasRoot && wcscmp(root, L"Q:") == 0 ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

HANDLE WINAPI FakeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    Patterns.push_back(PlainPath(pattern));
    if (Patterns.back() != L"Q:\\*") {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = WIN32_FIND_DATAW();
    data->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    wcscpy(data->cFileName, L"a.txt");
    return DriveQSearch;
}

BOOL WINAPI FakeFindNextFileW(HANDLE, LPWIN32_FIND_DATAW) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL WINAPI FakeFindClose(HANDLE search) {
    return search == DriveQSearch;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// --- The report thread --------------------------------------------------------

struct Wait {
    HANDLE Handle;
    DWORD Milliseconds;
};

HANDLE CreatedThread = nullptr;
HANDLE ThreadCopy = nullptr; // the test's own handle, to see the thread end
LPTHREAD_START_ROUTINE ThreadStart = nullptr;
std::vector<Wait> Waits;
long long OutputBytesAtWait = -1;
DWORD MainThreadId = 0;
std::atomic<int> SessionOpens{0};
std::atomic<DWORD> SessionThreadId{0};
std::atomic<int> RequestsOpened{0};

HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                               LPDWORD id) {
    ThreadStart = start;
    CreatedThread = RealWin32.CreateThread(security, stack, start, parameter, flags, id);
    if (CreatedThread != nullptr) {
        DuplicateHandle(GetCurrentProcess(), CreatedThread, GetCurrentProcess(), &ThreadCopy, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
    }
    return CreatedThread;
}

DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Waits.push_back(Wait{handle, milliseconds});
    OutputBytesAtWait = _filelengthi64(_fileno(stdout));
    return RealWin32.WaitForSingleObject(handle, milliseconds);
}

HINTERNET WINAPI FakeInternetOpenW(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    ++SessionOpens;
    SessionThreadId = GetCurrentThreadId();
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
}

HINTERNET WINAPI FakeInternetOpenUrlW(HINTERNET, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD_PTR) {
    ++RequestsOpened;
    SetLastError(ERROR_INTERNET_NAME_NOT_RESOLVED);
    return nullptr;
}

BOOL WINAPI FakeInternetCloseHandle(HINTERNET) {
    return FALSE;
}

// Waits (bounded) for the report thread the test let the program start.
void JoinReportThread() {
    if (ThreadCopy != nullptr) {
        EXPECT_EQ(WaitForSingleObject(ThreadCopy, 5000), WAIT_OBJECT_0) << "report thread hangs";
        CloseHandle(ThreadCopy);
        ThreadCopy = nullptr;
    }
}

// --- Error dialogs and sleep ---------------------------------------------------

std::vector<UINT> ErrorModes;

struct ExecutionStateCall {
    EXECUTION_STATE Flags;
    long long OutputBytes; // what the program had printed by then
    size_t Listings;       // directories listed by then
    size_t ReportWaits;    // waits for the report by then
};
std::vector<ExecutionStateCall> ExecutionStates;

UINT WINAPI FakeSetErrorMode(UINT mode) {
    ErrorModes.push_back(mode);
    return 0;
}

EXECUTION_STATE WINAPI FakeSetThreadExecutionState(EXECUTION_STATE flags) {
    ExecutionStates.push_back(
        ExecutionStateCall{flags, _filelengthi64(_fileno(stdout)), Patterns.size(), Waits.size()});
    return ES_CONTINUOUS;
}

// --- Keys -----------------------------------------------------------------------

std::vector<int> Keys;
size_t KeysRead = 0;
long long OutputBytesAtFirstKey = -1;
int ContextsAtFirstKey = -1;

int __cdecl FakeGetch() {
    if (KeysRead == 0) {
        OutputBytesAtFirstKey = _filelengthi64(_fileno(stdout));
        ContextsAtFirstKey = OpenContexts();
    }
    if (KeysRead == Keys.size()) {
        ADD_FAILURE() << "a key is read after the script ended";
        return 13; // ends the wait: the test must stay bounded
    }
    return Keys[KeysRead++];
}

class Flow : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        SavedCodePage = OutputCodePage;
        FakeWindowsDirectory = MakeTempFolder();
        MakeFolder(FakeWindowsDirectory + L"\\system32");
        Underlying.GetWindowsDirectoryW = FakeGetWindowsDirectoryW;
        Underlying.GetDriveTypeW = FakeGetDriveTypeW;
        Underlying.FindFirstFileW = FakeFindFirstFileW;
        Underlying.FindNextFileW = FakeFindNextFileW;
        Underlying.FindClose = FakeFindClose;
        Underlying.CreateFileW = FakeCreateFileW;
        Underlying.CreateThread = FakeCreateThread;
        Underlying.WaitForSingleObject = FakeWaitForSingleObject;
        Underlying.InternetOpenW = FakeInternetOpenW;
        Underlying.InternetOpenUrlW = FakeInternetOpenUrlW;
        Underlying.InternetCloseHandle = FakeInternetCloseHandle;
        Underlying.SetErrorMode = FakeSetErrorMode;
        Underlying.SetThreadExecutionState = FakeSetThreadExecutionState;
        MainThreadId = GetCurrentThreadId();
        Reset({13});
    }
    void TearDown() override {
        JoinReportThread();
        RemoveTree(FakeWindowsDirectory);
        CandidatePaths.clear();
        InfectionFound = false;
        DriveQHasRoot = false;
        OutputCodePage = SavedCodePage;
        PlatformTest::TearDown();
    }

    // A fresh run: ledger, globals of the scan, recordings and the key script.
    void Reset(std::vector<int> keys) {
        JoinReportThread();
        InstallLedger();
        Win32._getch = FakeGetch;
        InfectionFound = false;
        CandidatePaths.clear();
        Patterns.clear();
        Waits.clear();
        OutputBytesAtWait = -1;
        CreatedThread = nullptr;
        ThreadStart = nullptr;
        SessionOpens = 0;
        SessionThreadId = 0;
        RequestsOpened = 0;
        ErrorModes.clear();
        ExecutionStates.clear();
        Keys = keys;
        KeysRead = 0;
        OutputBytesAtFirstKey = -1;
        ContextsAtFirstKey = -1;
    }

    // Runs the program; returns what it printed and stores its exit status.
    std::string Run() {
        BeginCapture();
        Status = RunProgram();
        std::string printed = EndCapture();
        JoinReportThread();
        return printed;
    }

    std::wstring Indicator() const { return FakeWindowsDirectory + L"\\system32\\nsreg1.dat"; }

    unsigned SavedCodePage = 0;
    int Status = -1;
};

// Standard output is in text mode: every "\n" was written as two bytes.
long long BytesWritten(const std::string& folded) {
    return static_cast<long long>(folded.size() + std::count(folded.begin(), folded.end(), '\n'));
}

TEST_F(Flow, RunPrintsTheScanAndItsVerdictWaitsForTheReportAndEndsOnEnter) {
    struct Case {
        const char* What;
        bool Infected; // an indicator file is planted
        bool WalksQ;   // drive Q: has a root and one file
        std::vector<int> Keys;
    };
    const std::vector<Case> cases = {
        {"nothing found", false, false, {13}},
        {"nothing found on a walked drive", false, true, {97, 0, 72, 13}},
        {"an indicator found, then a drive walked", true, true, {224, 75, 27, 32, 13}},
        {"an indicator found, no console", true, false, {-1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Reset(c.Keys);
        DriveQHasRoot = c.WalksQ;
        if (c.Infected) {
            WriteBytes(Indicator(), "x");
        } else {
            DeleteFileW(Indicator().c_str());
        }
        std::string progress = "\rScanning Q:\\a.txt";
        progress.resize(79, ' ');
        const std::string scan = BannerText +
                                 (c.Infected ? "Found: " + Shown(Indicator()) + "\n" : "") +
                                 (c.WalksQ ? progress : "");
        const std::string expected =
            scan + VerdictLead + (c.Infected ? InfectedText : CleanText) + PromptText;

        std::string printed = Run();

        EXPECT_EQ(printed, expected);
        EXPECT_EQ(Status, 0);
        EXPECT_EQ(InfectionFound, c.Infected);
        EXPECT_EQ(Patterns,
                  c.WalksQ ? std::vector<std::wstring>{L"Q:\\*"} : std::vector<std::wstring>{});
        // The report ran on a thread of its own, was waited for once, and its
        // session never opened.
        EXPECT_EQ(ThreadStart, &ReportVerdict);
        ASSERT_EQ(Waits.size(), 1u);
        EXPECT_EQ(Waits[0].Handle, CreatedThread);
        EXPECT_EQ(Waits[0].Milliseconds, c.Infected ? 10000u : 3000u);
        // The verdict is shown only after the wait for the report.
        EXPECT_EQ(OutputBytesAtWait, BytesWritten(scan));
        EXPECT_EQ(SessionOpens, 1);
        EXPECT_NE(SessionThreadId, MainThreadId);
        EXPECT_EQ(RequestsOpened, 0);
        // Every key of the script read, the first with all text on the file and
        // the idle crypto context still held.
        EXPECT_EQ(KeysRead, c.Keys.size());
        EXPECT_EQ(OutputBytesAtFirstKey, BytesWritten(printed)) << "prompt not flushed";
        EXPECT_EQ(ContextsAtFirstKey, 1);
        EXPECT_EQ(CallCount(Call::CryptReleaseContext), 1);
        ExpectAllReleased();
    }
}

TEST_F(Flow, TheRunGoesOnSilentlyWhenAnyCallOfItsOwnFails) {
    struct Case {
        Call Failing;
        int Waits;
        int Closes;
        int Releases;
    };
    const std::vector<Case> cases = {
        {Call::CreateThread, 0, 0, 1},
        {Call::WaitForSingleObject, 1, 1, 1},
        {Call::CryptAcquireContextW, 1, 1, 0},
        {Call::SetErrorMode, 1, 1, 1},
        {Call::SetThreadExecutionState, 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CallName(c.Failing));
        Reset({13});
        FailCall(c.Failing, -1);

        EXPECT_EQ(Run(), BannerText + VerdictLead + CleanText + PromptText);
        EXPECT_EQ(Status, 0);
        EXPECT_TRUE(FailureDelivered(c.Failing));
        EXPECT_EQ(CallCount(Call::WaitForSingleObject), c.Waits);
        EXPECT_EQ(CallCount(Call::CloseHandle), c.Closes);
        EXPECT_EQ(CallCount(Call::CryptReleaseContext), c.Releases);
        EXPECT_EQ(KeysRead, 1u);
        ExpectAllReleased();
    }
}

TEST_F(Flow, NoErrorDialogFromTheFirstCallAndNoSleepFromTheScanToTheVerdict) {
    WriteBytes(Indicator(), "x");
    DriveQHasRoot = true;
    std::string progress = "\rScanning Q:\\a.txt";
    progress.resize(79, ' ');
    const std::string scan = BannerText + "Found: " + Shown(Indicator()) + "\n" + progress;

    EXPECT_EQ(Run(), scan + VerdictLead + InfectedText + PromptText);

    EXPECT_EQ(FirstCallPosition(Call::SetErrorMode), 1) << "not the program's first call";
    EXPECT_EQ(ErrorModes, std::vector<UINT>{
                              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)});

    ASSERT_EQ(ExecutionStates.size(), 2u);
    // Held once the banner is out, before phase 1 asks for the Windows directory...
    EXPECT_EQ(ExecutionStates[0].Flags,
              static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
    EXPECT_EQ(ExecutionStates[0].OutputBytes, BytesWritten(BannerText));
    EXPECT_LT(FirstCallPosition(Call::SetThreadExecutionState),
              FirstCallPosition(Call::GetWindowsDirectoryW));
    // ...and released after the walk and the wait for the report, before the
    // verdict and the prompt.
    EXPECT_EQ(ExecutionStates[1].Flags, static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    EXPECT_EQ(ExecutionStates[1].Listings, 1u);
    EXPECT_EQ(ExecutionStates[1].ReportWaits, 1u);
    EXPECT_EQ(ExecutionStates[1].OutputBytes, BytesWritten(scan));
    EXPECT_EQ(KeysRead, 1u);
    ExpectAllReleased();
}

TEST_F(Flow, RunScanChecksTheKnownLocationsBeforeItWalksTheDrives) {
    // A fixed indicator file, a candidate path and a walked drive, in the
    // order the three phases meet them.
    WriteBytes(Indicator(), "x");
    MakeFolder(FakeWindowsDirectory + L"\\Panther");
    WriteBytes(FakeWindowsDirectory + L"\\Panther\\CACHE", "x");
    DriveQHasRoot = true;
    std::string progress = "\rScanning Q:\\a.txt";
    progress.resize(79, ' ');

    BeginCapture();
    RunScan();
    EXPECT_EQ(EndCapture(), "Found: " + Shown(Indicator()) + "\n" +
                                "Found: " + Shown(FakeWindowsDirectory + L"\\Panther\\CACHE") +
                                "\n" + progress);
    EXPECT_TRUE(InfectionFound);
    EXPECT_EQ(CallCount(Call::GetFileAttributesW), 103);
    EXPECT_EQ(CallCount(Call::GetDriveTypeW), 24);
    EXPECT_EQ(CallCount(Call::CreateThread), 0);
    EXPECT_EQ(KeysRead, 0u);
    ExpectAllReleased();
}

TEST_F(Flow, AwaitEnterIgnoresEveryOtherKeyAndStopsWhenNoKeyCanCome) {
    const std::vector<std::vector<int>> scripts = {
        {13},          {97, 13},          {0, 72, 13},
        {224, 75, 13}, {27, 32, 13},      {97, 0, 72, 224, 75, 27, 32, 13},
        {-1},          {97, 224, 75, -1},
    };
    for (const std::vector<int>& script : scripts) {
        SCOPED_TRACE(testing::PrintToString(script));
        Reset(script);
        BeginCapture();
        AwaitEnter();
        EXPECT_EQ(EndCapture(), "");
        EXPECT_EQ(KeysRead, script.size());
    }
}

} // namespace
