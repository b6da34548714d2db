#include "scan/WalkPath.h"

#include "scan/ExactPath.h"

#include <string.h>

#include <vector>

namespace {

enum class IdentityKind {
    Unknown,
    // FileIdInfo: unique on every file system that has it, ReFS included.
    FileId128,
    // BY_HANDLE_FILE_INFORMATION: documented as not unique on ReFS, so only
    // ever compared with another identity of the same kind.
    FileIndex64,
};

struct DirectoryIdentity {
    bool Read = false;
    IdentityKind Kind = IdentityKind::Unknown;
    ULONGLONG Volume = 0;
    BYTE Id[16] = {};
};

struct WalkPathEntry {
    const std::wstring* Path;   // the entered directory's own path, alive until it is left
    DirectoryIdentity Identity; // read only when a check needs it
    // Entered through a reparse point (a junction, symbolic link, mount
    // point or cloud-file folder), or at any depth below one that was.
    bool BelowLink;
};

std::vector<WalkPathEntry> WalkPath;
bool EveryDirectory = false;

// The identity last read for a directory the walk may enter next, and whether
// it is a link: entering it takes both over instead of reading them again.
std::wstring PendingPath;
DirectoryIdentity PendingIdentity;
bool PendingIsLink = false;

// An 8-byte half of an id that is 0 or all ones: FAT, exFAT and some servers
// report these when they have no real id.
bool IsPlaceholderHalf(const BYTE* half) {
    bool zeros = true;
    bool ones = true;
    for (int i = 0; i < 8; ++i) {
        zeros = zeros && half[i] == 0x00;
        ones = ones && half[i] == 0xFF;
    }
    return zeros || ones;
}

bool IsUsableId(const BYTE (&id)[16]) {
    return !(IsPlaceholderHalf(id) && IsPlaceholderHalf(id + 8));
}

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
    FILE_ID_INFO idInfo;
    if (Win32.GetFileInformationByHandleEx(handle, FileIdInfo, &idInfo, sizeof(idInfo))) {
        static_assert(sizeof(idInfo.FileId.Identifier) == sizeof(identity.Id), "128-bit id");
        memcpy(identity.Id, idInfo.FileId.Identifier, sizeof(identity.Id));
        // A file system without 128-bit ids reports 0 here.
        if (IsUsableId(identity.Id)) {
            identity.Kind = IdentityKind::FileId128;
            identity.Volume = idInfo.VolumeSerialNumber;
        }
    }
    if (identity.Kind == IdentityKind::Unknown) {
        memset(identity.Id, 0, sizeof(identity.Id));
        BY_HANDLE_FILE_INFORMATION information;
        if (Win32.GetFileInformationByHandle(handle, &information)) {
            const ULONGLONG index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) |
                                    information.nFileIndexLow;
            memcpy(identity.Id, &index, sizeof(index));
            if (IsUsableId(identity.Id)) {
                identity.Kind = IdentityKind::FileIndex64;
                identity.Volume = information.dwVolumeSerialNumber;
            }
        }
    }
    Win32.CloseHandle(handle);
    return identity;
}

// Whether the directory being listed was entered through a link, or lies below one.
bool InsideLink() {
    return !WalkPath.empty() && WalkPath.back().BelowLink;
}

bool SameDirectory(const DirectoryIdentity& a, const DirectoryIdentity& b) {
    return a.Kind != IdentityKind::Unknown && a.Kind == b.Kind && a.Volume == b.Volume &&
           memcmp(a.Id, b.Id, sizeof(a.Id)) == 0;
}

} // namespace

void ResetWalkPath(bool checkEveryDirectory) {
    EveryDirectory = checkEveryDirectory;
    PendingPath.clear();
    PendingIdentity = DirectoryIdentity();
    PendingIsLink = false;
}

void EnterWalkPath(const std::wstring& path) {
    const bool belowLink = InsideLink();
    WalkPath.push_back(WalkPathEntry{&path, DirectoryIdentity(), belowLink});
    if (PendingIdentity.Read && PendingPath == path) {
        WalkPath.back().Identity = PendingIdentity;
        WalkPath.back().BelowLink = belowLink || PendingIsLink;
    }
    PendingIdentity.Read = false;
}

void LeaveWalkPath() {
    if (!WalkPath.empty()) {
        WalkPath.pop_back();
    }
}

bool LeadsBackOnWalkPath(const std::wstring& path, DWORD attributes) {
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // A link may lead into a file server's share (local-to-remote symbolic
    // links are allowed by default), whose own links look like plain folders:
    // below a link every folder is checked, as on a network drive. Elsewhere
    // on a local drive a plain folder costs nothing extra.
    if (!EveryDirectory && !InsideLink() && !link) {
        return false;
    }
    DirectoryIdentity target = ReadIdentity(path);
    PendingPath.assign(path);
    PendingIdentity = target;
    PendingIsLink = link;
    if (target.Kind == IdentityKind::Unknown) {
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
