#include "scan/DriveWalker.h"

#include "app/StatusLine.h"
#include "platform/Platform.h"
#include "scan/DigestMatcher.h"
#include "scan/ExactPath.h"
#include "scan/Findings.h"
#include "scan/WalkPath.h"

#include <wchar.h>

namespace {

// Closes the directory's search and takes it off the walk's path on every way
// out of ScanDirectory.
struct DirectoryGuard {
    HANDLE Search;
    ~DirectoryGuard() {
        Win32.FindClose(Search);
        LeaveWalkPath();
    }
};

bool IsDotEntry(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// A file whose content is in a cloud store or on tiered or archive storage:
// reading it would make the system fetch all of it and store it on this disk
// (OneDrive Files On-Demand, Azure File Sync, HSM). Once its content is local
// the attribute is gone and the file is hashed like any other.
bool ContentIsElsewhere(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                          FILE_ATTRIBUTE_OFFLINE)) != 0;
}

} // namespace

void ScanDrives() {
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        const wchar_t driveName[3] = {letter, L':', L'\0'};
        UINT type = Win32.GetDriveTypeW(driveName);
        if (type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR) {
            ResetWalkPath(type == DRIVE_REMOTE);
            ScanDirectory(driveName);
        }
    }
    ResetWalkPath(false);
}

void ScanDirectory(std::wstring path) {
    WIN32_FIND_DATAW entry;
    HANDLE search = Win32.FindFirstFileW(ExactPath(path + L"\\*"), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    EnterWalkPath(path);
    DirectoryGuard guard{search};
    do {
        if (IsDotEntry(entry.cFileName)) {
            continue;
        }
        std::wstring entryPath = path + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // Junctions and links are entered like directories, except one
            // that leads back to a directory the walk is already inside.
            if (!LeadsBackOnWalkPath(entryPath, entry.dwFileAttributes)) {
                ScanDirectory(entryPath);
            }
            continue;
        }
        ShowProgress(entryPath);
        if (!ContentIsElsewhere(entry.dwFileAttributes) && FileMatchesKnownDigest(entryPath)) {
            ClearStatusLine();
            RecordFind(entryPath);
        }
    } while (Win32.FindNextFileW(search, &entry));
}
