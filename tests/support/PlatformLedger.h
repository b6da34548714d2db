// Test-side wrapping of the platform table: every entry is counted, any call
// can be made to fail on its Nth use, and every handle, search, context, hash
// object and internet handle is tracked from acquisition to release.
#pragma once

#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <string>

enum class Call {
    GetWindowsDirectoryW,
    GetFileAttributesW,
    GetDriveTypeW,
    FindFirstFileW,
    FindNextFileW,
    FindClose,
    CreateFileW,
    ReadFile,
    GetFileInformationByHandle,
    GetFileInformationByHandleEx,
    CloseHandle,
    SetErrorMode,
    SetThreadExecutionState,
    CreateThread,
    WaitForSingleObject,
    CryptAcquireContextW,
    CryptCreateHash,
    CryptHashData,
    CryptGetHashParam,
    CryptDestroyHash,
    CryptReleaseContext,
    InternetOpenW,
    InternetOpenUrlW,
    InternetCloseHandle,
    GetStdHandle,
    GetConsoleMode,
    GetConsoleOutputCP,
    GetACP,
    Count
};

const char* CallName(Call call);

// The calls the ledger forwards to: the real ones, unless a test puts a fake
// here. The program always reaches a fake through the ledger's counting.
extern PlatformCalls Underlying;

// Routes every entry above through the ledger and clears its counts and plans.
// `Underlying` is left as it is.
void InstallLedger();

// How often the entry was called since InstallLedger.
int CallCount(Call call);

// Where the entry's first call stands among all calls since InstallLedger
// (1 for the very first call of any entry); 0 when it was never called.
int FirstCallPosition(Call call);

// The nth call (1-based) of the entry fails as the platform would; every
// call fails when nth is -1. A failure counts as a call.
void FailCall(Call call, int nth);

// Whether a planned failure has been delivered.
bool FailureDelivered(Call call);

// What is still held: files and threads (CloseHandle), searches, crypto
// contexts, hash objects and internet handles. Also the releases of things the
// ledger never handed out (a double release, say).
int OpenHandles();
int OpenSearches();
int OpenContexts();
int OpenHashes();
int OpenInternetHandles();
int StrayReleases();

// A one-line account of everything still held, for failure messages.
std::string HeldSummary();

// Installs the ledger over the real calls before every test and restores the
// real platform calls after it.
class PlatformTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Expects that everything acquired so far has been released exactly once.
    void ExpectAllReleased();
};
