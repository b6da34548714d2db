#include "app/ProgramFlow.h"

#include "Version.h"
#include "app/ConsoleText.h"
#include "report/WebReport.h"
#include "scan/DriveWalker.h"
#include "scan/Findings.h"
#include "scan/KnownLocations.h"

#include <stdio.h>
#include <string.h>

#define MAKER_WEB_ADDRESS "www.velmora.example"

const char Banner[] = "Velmora Antivirus  Regin Detector - " PRODUCT_VERSION_TEXT "\n"
                      "(c) 2026 Velmora\n"
                      "\n";
const char CleanVerdict[] = "No known infections of regin found.\n"
                            "Your system looks clean.\n\n";
const char InfectedVerdict[] = "Your system is possibly infected with Regin.\n"
                               "Please contact us immediately at " MAKER_WEB_ADDRESS ".\n\n";
const char EnterPrompt[] = "Please press enter to continue... ";

namespace {

constexpr int EnterKey = 13;

// Holds a CryptoAPI context from start to exit and never hashes with it: the
// provider's module then stays loaded, and each file's own context is cheap.
HCRYPTPROV AcquireIdleProvider() {
    HCRYPTPROV provider = 0;
    if (!Win32.CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT)) {
        return 0;
    }
    return provider;
}

void PrintVerdict() {
    char blankLine[80];
    memset(blankLine, ' ', sizeof(blankLine) - 1);
    blankLine[sizeof(blankLine) - 1] = '\0';
    // Wipes the walk's last progress line and starts a fresh one.
    printf("\r");
    puts(blankLine);
    printf("\n\n");
    printf("%s", InfectionFound ? InfectedVerdict : CleanVerdict);
    printf("%s", EnterPrompt);
    fflush(stdout);
}

} // namespace

void RunScan() {
    CheckSystemIndicatorFiles();
    BuildCandidatePaths();
    CheckCandidatePaths();
    ScanDrives();
}

void SendReport() {
    HANDLE thread = Win32.CreateThread(nullptr, 0, ReportVerdict, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return;
    }
    // A report still under way after the wait is abandoned; process exit ends it.
    Win32.WaitForSingleObject(thread, InfectionFound ? InfectedReportWaitMs : CleanReportWaitMs);
    Win32.CloseHandle(thread);
}

void AwaitEnter() {
    for (;;) {
        int key = Win32._getch();
        // _getch reads the console, not standard input: with a console it
        // waits for a key whatever standard input is. Only without a console
        // (a detached process) does it fail, at once and every time, and then
        // no Enter can ever come.
        if (key == EnterKey || key == EOF) {
            return;
        }
    }
}

int RunProgram() {
    // No "no disk in drive" or similar box may hold the walk until somebody
    // clicks: such errors reach the program as failed calls instead.
    Win32.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SelectOutputCodePage();
    HCRYPTPROV idleProvider = AcquireIdleProvider();

    printf("%s", Banner);
    fflush(stdout);
    // A scan of a full disk takes hours: the system must not sleep meanwhile
    // (the display may). A failure here changes nothing else.
    Win32.SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    RunScan();
    SendReport();
    Win32.SetThreadExecutionState(ES_CONTINUOUS);
    PrintVerdict();
    AwaitEnter();

    if (idleProvider != 0) {
        Win32.CryptReleaseContext(idleProvider, 0);
    }
    return 0;
}
