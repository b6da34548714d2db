#include "scan/WalkPath.h"

#include "platform/Platform.h"
#include "scan/ExactPath.h"

#include <vector>

namespace {

struct DirectoryIdentity {
    bool Known = false;
    bool Read = false;
    DWORD Volume = 0;
    DWORD IndexHigh = 0;
    DWORD IndexLow = 0;
};

struct WalkPathEntry {
    const std::wstring* Path;   // the entered directory's own path, alive until it is left
    DirectoryIdentity Identity; // read only when a reparse point needs it
};

std::vector<WalkPathEntry> WalkPath;

DirectoryIdentity ReadIdentity(const std::wstring& path) {
    DirectoryIdentity identity;
    identity.Read = true;
    // A bare drive name opens the volume; its root directory needs the backslash.
    std::wstring directory = path.size() == 2 && path[1] == L':' ? path + L"\\" : path;
    HANDLE handle = Win32.CreateFileW(ExactPath(directory), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (Win32.GetFileInformationByHandle(handle, &information)) {
        identity.Known = true;
        identity.Volume = information.dwVolumeSerialNumber;
        identity.IndexHigh = information.nFileIndexHigh;
        identity.IndexLow = information.nFileIndexLow;
    }
    Win32.CloseHandle(handle);
    return identity;
}

bool SameDirectory(const DirectoryIdentity& a, const DirectoryIdentity& b) {
    return a.Known && b.Known && a.Volume == b.Volume && a.IndexHigh == b.IndexHigh &&
           a.IndexLow == b.IndexLow;
}

} // namespace

void EnterWalkPath(const std::wstring& path) {
    WalkPath.push_back(WalkPathEntry{&path, DirectoryIdentity()});
}

void LeaveWalkPath() {
    if (!WalkPath.empty()) {
        WalkPath.pop_back();
    }
}

bool LeadsBackOnWalkPath(const std::wstring& path) {
    DirectoryIdentity target = ReadIdentity(path);
    if (!target.Known) {
        return false;
    }
    for (WalkPathEntry& entry : WalkPath) {
        if (!entry.Identity.Read) {
            entry.Identity = ReadIdentity(*entry.Path);
        }
        if (SameDirectory(entry.Identity, target)) {
            return true;
        }
    }
    return false;
}
