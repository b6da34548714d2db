#include "support/PlatformLedger.h"

#include <atomic>
#include <map>
#include <set>
#include <sstream>

// Set by PlatformTest::SetUp: copying RealWin32 here would race its own
// initialisation in another file.
PlatformCalls Underlying;

namespace {

struct CallPlan {
    int Calls = 0;
    int FirstPosition = 0;
    int FailAt = 0; // 0: never; -1: always; n: the nth call
    bool Delivered = false;
};

CallPlan Plans[static_cast<int>(Call::Count)];

std::set<HANDLE> Handles;
std::set<HANDLE> Searches;
std::set<HCRYPTPROV> Contexts;
std::set<HCRYPTHASH> Hashes;
std::set<HINTERNET> InternetHandles;
int Strays = 0;
// The report thread calls too.
std::atomic<int> AllCalls{0};

void Count(Call call) {
    CallPlan& plan = Plans[static_cast<int>(call)];
    int position = ++AllCalls;
    if (plan.Calls++ == 0) {
        plan.FirstPosition = position;
    }
}

// Counts the call; true when this one is planned to fail.
bool Fails(Call call) {
    Count(call);
    CallPlan& plan = Plans[static_cast<int>(call)];
    if (plan.FailAt == -1 || plan.FailAt == plan.Calls) {
        plan.Delivered = true;
        return true;
    }
    return false;
}

UINT WINAPI LedgerGetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    if (Fails(Call::GetWindowsDirectoryW)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return Underlying.GetWindowsDirectoryW(buffer, size);
}

DWORD WINAPI LedgerGetFileAttributesW(LPCWSTR path) {
    if (Fails(Call::GetFileAttributesW)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    return Underlying.GetFileAttributesW(path);
}

UINT WINAPI LedgerGetDriveTypeW(LPCWSTR root) {
    if (Fails(Call::GetDriveTypeW)) {
        return DRIVE_UNKNOWN;
    }
    return Underlying.GetDriveTypeW(root);
}

HANDLE WINAPI LedgerFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (Fails(Call::FindFirstFileW)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = Underlying.FindFirstFileW(pattern, data);
    if (search != INVALID_HANDLE_VALUE) {
        Searches.insert(search);
    }
    return search;
}

BOOL WINAPI LedgerFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    if (Fails(Call::FindNextFileW)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return Underlying.FindNextFileW(search, data);
}

BOOL WINAPI LedgerFindClose(HANDLE search) {
    Count(Call::FindClose);
    if (Searches.erase(search) == 0) {
        ++Strays;
    }
    return Underlying.FindClose(search);
}

HANDLE WINAPI LedgerCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE templateFile) {
    if (Fails(Call::CreateFileW)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file =
        Underlying.CreateFileW(path, access, share, security, disposition, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE) {
        Handles.insert(file);
    }
    return file;
}

BOOL WINAPI LedgerReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    if (Fails(Call::ReadFile)) {
        if (read != nullptr) {
            *read = 0;
        }
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return Underlying.ReadFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI LedgerGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (Fails(Call::GetFileInformationByHandle)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return Underlying.GetFileInformationByHandle(file, info);
}

BOOL WINAPI LedgerGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                               LPVOID info, DWORD size) {
    if (Fails(Call::GetFileInformationByHandleEx)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Underlying.GetFileInformationByHandleEx(file, kind, info, size);
}

// Neither call reports much of a failure: SetErrorMode returns the previous
// mode, SetThreadExecutionState 0. A failing one changes nothing.
UINT WINAPI LedgerSetErrorMode(UINT mode) {
    if (Fails(Call::SetErrorMode)) {
        return 0;
    }
    return Underlying.SetErrorMode(mode);
}

EXECUTION_STATE WINAPI LedgerSetThreadExecutionState(EXECUTION_STATE flags) {
    if (Fails(Call::SetThreadExecutionState)) {
        return 0;
    }
    return Underlying.SetThreadExecutionState(flags);
}

BOOL WINAPI LedgerCloseHandle(HANDLE handle) {
    Count(Call::CloseHandle);
    if (Handles.erase(handle) == 0) {
        ++Strays;
    }
    return Underlying.CloseHandle(handle);
}

HANDLE WINAPI LedgerCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD id) {
    if (Fails(Call::CreateThread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE thread = Underlying.CreateThread(security, stack, start, parameter, flags, id);
    if (thread != nullptr) {
        Handles.insert(thread);
    }
    return thread;
}

DWORD WINAPI LedgerWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (Fails(Call::WaitForSingleObject)) {
        return WAIT_FAILED;
    }
    return Underlying.WaitForSingleObject(handle, milliseconds);
}

BOOL WINAPI LedgerCryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR name,
                                       DWORD type, DWORD flags) {
    if (Fails(Call::CryptAcquireContextW)) {
        SetLastError(NTE_PROV_DLL_NOT_FOUND);
        return FALSE;
    }
    BOOL acquired = Underlying.CryptAcquireContextW(provider, container, name, type, flags);
    if (acquired) {
        Contexts.insert(*provider);
    }
    return acquired;
}

BOOL WINAPI LedgerCryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                  HCRYPTHASH* hash) {
    if (Fails(Call::CryptCreateHash)) {
        SetLastError(NTE_BAD_ALGID);
        return FALSE;
    }
    BOOL created = Underlying.CryptCreateHash(provider, algorithm, key, flags, hash);
    if (created) {
        Hashes.insert(*hash);
    }
    return created;
}

BOOL WINAPI LedgerCryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    if (Fails(Call::CryptHashData)) {
        SetLastError(NTE_BAD_HASH);
        return FALSE;
    }
    return Underlying.CryptHashData(hash, data, length, flags);
}

BOOL WINAPI LedgerCryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length,
                                    DWORD flags) {
    if (Fails(Call::CryptGetHashParam)) {
        SetLastError(NTE_BAD_HASH);
        return FALSE;
    }
    return Underlying.CryptGetHashParam(hash, param, data, length, flags);
}

BOOL WINAPI LedgerCryptDestroyHash(HCRYPTHASH hash) {
    Count(Call::CryptDestroyHash);
    if (Hashes.erase(hash) == 0) {
        ++Strays;
    }
    return Underlying.CryptDestroyHash(hash);
}

BOOL WINAPI LedgerCryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    Count(Call::CryptReleaseContext);
    if (Contexts.erase(provider) == 0) {
        ++Strays;
    }
    return Underlying.CryptReleaseContext(provider, flags);
}

HINTERNET WINAPI LedgerInternetOpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
                                     DWORD flags) {
    if (Fails(Call::InternetOpenW)) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    HINTERNET session = Underlying.InternetOpenW(agent, access, proxy, bypass, flags);
    if (session != nullptr) {
        InternetHandles.insert(session);
    }
    return session;
}

HINTERNET WINAPI LedgerInternetOpenUrlW(HINTERNET session, LPCWSTR url, LPCWSTR headers,
                                        DWORD headersLength, DWORD flags, DWORD_PTR context) {
    if (Fails(Call::InternetOpenUrlW)) {
        SetLastError(ERROR_INTERNET_NAME_NOT_RESOLVED);
        return nullptr;
    }
    HINTERNET request =
        Underlying.InternetOpenUrlW(session, url, headers, headersLength, flags, context);
    if (request != nullptr) {
        InternetHandles.insert(request);
    }
    return request;
}

BOOL WINAPI LedgerInternetCloseHandle(HINTERNET handle) {
    Count(Call::InternetCloseHandle);
    if (InternetHandles.erase(handle) == 0) {
        ++Strays;
    }
    return Underlying.InternetCloseHandle(handle);
}

HANDLE WINAPI LedgerGetStdHandle(DWORD which) {
    if (Fails(Call::GetStdHandle)) {
        return INVALID_HANDLE_VALUE;
    }
    return Underlying.GetStdHandle(which);
}

BOOL WINAPI LedgerGetConsoleMode(HANDLE console, LPDWORD mode) {
    if (Fails(Call::GetConsoleMode)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Underlying.GetConsoleMode(console, mode);
}

UINT WINAPI LedgerGetConsoleOutputCP() {
    if (Fails(Call::GetConsoleOutputCP)) {
        return 0;
    }
    return Underlying.GetConsoleOutputCP();
}

// Cannot fail: only counted.
UINT WINAPI LedgerGetACP() {
    Count(Call::GetACP);
    return Underlying.GetACP();
}

} // namespace

const char* CallName(Call call) {
    static const char* const Names[] = {
        "GetWindowsDirectoryW",
        "GetFileAttributesW",
        "GetDriveTypeW",
        "FindFirstFileW",
        "FindNextFileW",
        "FindClose",
        "CreateFileW",
        "ReadFile",
        "GetFileInformationByHandle",
        "GetFileInformationByHandleEx",
        "CloseHandle",
        "SetErrorMode",
        "SetThreadExecutionState",
        "CreateThread",
        "WaitForSingleObject",
        "CryptAcquireContextW",
        "CryptCreateHash",
        "CryptHashData",
        "CryptGetHashParam",
        "CryptDestroyHash",
        "CryptReleaseContext",
        "InternetOpenW",
        "InternetOpenUrlW",
        "InternetCloseHandle",
        "GetStdHandle",
        "GetConsoleMode",
        "GetConsoleOutputCP",
        "GetACP",
    };
    static_assert(sizeof(Names) / sizeof(Names[0]) == static_cast<size_t>(Call::Count),
                  "a name for every call");
    return Names[static_cast<int>(call)];
}

// The real _getch waits on the console whatever standard input is: a test that
// reaches it without a key script of its own would hang there until its time limit.
static int __cdecl LedgerGetchWithoutKeys() {
    ADD_FAILURE() << "_getch reached without keys to read";
    return EOF;
}

void InstallLedger() {
    for (CallPlan& plan : Plans) {
        plan = CallPlan();
    }
    Handles.clear();
    Searches.clear();
    Contexts.clear();
    Hashes.clear();
    InternetHandles.clear();
    Strays = 0;
    AllCalls = 0;

    Win32.GetWindowsDirectoryW = LedgerGetWindowsDirectoryW;
    Win32.GetFileAttributesW = LedgerGetFileAttributesW;
    Win32.GetDriveTypeW = LedgerGetDriveTypeW;
    Win32.FindFirstFileW = LedgerFindFirstFileW;
    Win32.FindNextFileW = LedgerFindNextFileW;
    Win32.FindClose = LedgerFindClose;
    Win32.CreateFileW = LedgerCreateFileW;
    Win32.ReadFile = LedgerReadFile;
    Win32.GetFileInformationByHandle = LedgerGetFileInformationByHandle;
    Win32.GetFileInformationByHandleEx = LedgerGetFileInformationByHandleEx;
    Win32.CloseHandle = LedgerCloseHandle;
    Win32.SetErrorMode = LedgerSetErrorMode;
    Win32.SetThreadExecutionState = LedgerSetThreadExecutionState;
    Win32.CreateThread = LedgerCreateThread;
    Win32.WaitForSingleObject = LedgerWaitForSingleObject;
    Win32.CryptAcquireContextW = LedgerCryptAcquireContextW;
    Win32.CryptCreateHash = LedgerCryptCreateHash;
    Win32.CryptHashData = LedgerCryptHashData;
    Win32.CryptGetHashParam = LedgerCryptGetHashParam;
    Win32.CryptDestroyHash = LedgerCryptDestroyHash;
    Win32.CryptReleaseContext = LedgerCryptReleaseContext;
    Win32.InternetOpenW = LedgerInternetOpenW;
    Win32.InternetOpenUrlW = LedgerInternetOpenUrlW;
    Win32.InternetCloseHandle = LedgerInternetCloseHandle;
    Win32.GetStdHandle = LedgerGetStdHandle;
    Win32.GetConsoleMode = LedgerGetConsoleMode;
    Win32.GetConsoleOutputCP = LedgerGetConsoleOutputCP;
    Win32.GetACP = LedgerGetACP;
    Win32._getch = LedgerGetchWithoutKeys;
}

int CallCount(Call call) {
    return Plans[static_cast<int>(call)].Calls;
}

int FirstCallPosition(Call call) {
    return Plans[static_cast<int>(call)].FirstPosition;
}

void FailCall(Call call, int nth) {
    Plans[static_cast<int>(call)].FailAt = nth;
    Plans[static_cast<int>(call)].Delivered = false;
}

bool FailureDelivered(Call call) {
    return Plans[static_cast<int>(call)].Delivered;
}

int OpenHandles() {
    return static_cast<int>(Handles.size());
}
int OpenSearches() {
    return static_cast<int>(Searches.size());
}
int OpenContexts() {
    return static_cast<int>(Contexts.size());
}
int OpenHashes() {
    return static_cast<int>(Hashes.size());
}
int OpenInternetHandles() {
    return static_cast<int>(InternetHandles.size());
}
int StrayReleases() {
    return Strays;
}

std::string HeldSummary() {
    std::ostringstream text;
    text << "handles " << OpenHandles() << ", searches " << OpenSearches() << ", contexts "
         << OpenContexts() << ", hashes " << OpenHashes() << ", internet handles "
         << OpenInternetHandles() << ", stray releases " << StrayReleases();
    return text.str();
}

void PlatformTest::SetUp() {
    Underlying = RealWin32;
    InstallLedger();
}

void PlatformTest::TearDown() {
    RestorePlatformCalls();
    Underlying = RealWin32;
}

void PlatformTest::ExpectAllReleased() {
    EXPECT_EQ(OpenHandles() + OpenSearches() + OpenContexts() + OpenHashes() +
                  OpenInternetHandles() + StrayReleases(),
              0)
        << HeldSummary();
}
