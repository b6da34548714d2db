#include "scan/KnownLocations.h"

#include "platform/Platform.h"
#include "scan/Findings.h"

#include <wchar.h>

const wchar_t* const SystemIndicatorFiles[3] = {
    L"system32\\nsreg1.dat",
    L"system32\\bssec3.dat",
    L"system32\\msrdc64.dat",
};

const std::vector<std::wstring> KnownDirectories = {
    L"\\System32\\config\\",
    L"\\System32\\",
    L"\\pchealth\\helpctr\\Database\\",
    L"\\Panther\\",
    L"\\System32\\wbem\\repository\\",
};

const std::vector<std::wstring> KnownFileNames = {
    L"SystemAudit.Evt", L"SystemLog.Evt", L"SecurityLog.Evt",    L"SecurityAudit.Evt",
    L"CACHE",           L"SESSIONMGR",    L"UsrClass.dat",       L"cdata.dat",
    L"cdata.edb",       L"UsrEvent.evt",  L"ApplicationLog.Evt", L"setup.etl.000",
    L"INDEX2.DATA",     L"OBJECTS2.DATA", L"dnscache.dat",       L"mregnx.dat",
    L"displn32.dat",    L"dmdskwk.dat",   L"nvwrsnu.dat",        L"tapiscfg.dat",
};

std::vector<std::wstring> CandidatePaths;

bool PathExists(const std::wstring& path) {
    return Win32.GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FetchWindowsDirectory(wchar_t (&buffer)[WindowsPathCapacity]) {
    buffer[0] = L'\0';
    UINT length = Win32.GetWindowsDirectoryW(buffer, WindowsPathCapacity);
    // Zero is failure; a length that does not fit means nothing was copied.
    if (length == 0 || length >= WindowsPathCapacity) {
        buffer[0] = L'\0';
        return false;
    }
    return true;
}

void CheckSystemIndicatorFiles() {
    wchar_t windowsDirectory[WindowsPathCapacity];
    if (!FetchWindowsDirectory(windowsDirectory)) {
        return;
    }
    for (const wchar_t* entry : SystemIndicatorFiles) {
        // A path that would not fit in 260 units is not one Windows can hold.
        if (wcslen(windowsDirectory) + 1 + wcslen(entry) >= WindowsPathCapacity) {
            continue;
        }
        wchar_t path[WindowsPathCapacity];
        if (FormatWide(path, WindowsPathCapacity, L"%ws\\%ws", windowsDirectory, entry) < 0) {
            continue;
        }
        if (PathExists(path)) {
            RecordFind(path);
        }
    }
}

void BuildCandidatePaths() {
    wchar_t windowsDirectory[WindowsPathCapacity];
    if (!FetchWindowsDirectory(windowsDirectory)) {
        return;
    }
    for (const std::wstring& directory : KnownDirectories) {
        for (const std::wstring& name : KnownFileNames) {
            CandidatePaths.push_back(windowsDirectory + directory + name);
        }
    }
}

void CheckCandidatePaths() {
    for (const std::wstring& path : CandidatePaths) {
        if (PathExists(path)) {
            RecordFind(path);
        }
    }
}
