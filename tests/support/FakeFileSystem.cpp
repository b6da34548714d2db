#include "support/FakeFileSystem.h"

#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

ListingOrder Order = ListingOrder::AsListed;
std::wstring RealRoot;
std::map<std::wstring, std::vector<ScriptedEntry>> Scripted;
std::wstring UnlistableFolder;

std::vector<std::wstring> Patterns;
std::map<std::wstring, std::vector<std::wstring>> Served;
std::map<HANDLE, OpenListing> Listings;

std::vector<std::wstring> DriveNamesAsked;
std::map<wchar_t, UINT> DriveTypes;

std::map<std::wstring, Identity> Identities;
std::vector<std::wstring> OpenedPaths;
std::vector<std::wstring> DirectoryOpens;
std::map<HANDLE, std::wstring> OpenDirectories;
std::set<std::wstring> VanishedFolders;
std::map<std::wstring, std::wstring> DanglingLinks;
std::vector<std::wstring> CreatedFiles;

namespace {

uintptr_t HandleSequence = 0;

bool ListRealFolder(const std::wstring& folder, std::vector<WIN32_FIND_DATAW>* entries) {
    WIN32_FIND_DATAW entry;
    HANDLE search = RealWin32.FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        entries->push_back(entry);
    } while (RealWin32.FindNextFileW(search, &entry));
    RealWin32.FindClose(search);
    return true;
}

void PutInChosenOrder(std::vector<WIN32_FIND_DATAW>* entries) {
    std::vector<WIN32_FIND_DATAW> dots;
    std::vector<WIN32_FIND_DATAW> names;
    for (const WIN32_FIND_DATAW& entry : *entries) {
        std::wstring name = entry.cFileName;
        (name == L"." || name == L".." ? dots : names).push_back(entry);
    }
    std::sort(names.begin(), names.end(), [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
        return wcscmp(a.cFileName, b.cFileName) < 0;
    });
    for (const WIN32_FIND_DATAW& dot : dots) {
        std::wstring name = dot.cFileName;
        names.insert(name == L"." ? names.begin() + std::min<size_t>(1, names.size()) : names.end(),
                     dot);
    }
    *entries = names;
}

WIN32_FIND_DATAW MakeEntry(const ScriptedEntry& scripted) {
    WIN32_FIND_DATAW entry = {};
    entry.dwFileAttributes = scripted.Attributes;
    wcsncpy(entry.cFileName, scripted.Name.c_str(), MAX_PATH - 1);
    return entry;
}

void Hand(OpenListing& listing, LPWIN32_FIND_DATAW data) {
    *data = listing.Entries[listing.Next++];
    Served[listing.Folder].push_back(data->cFileName);
}

// "\\?\X:" without a backslash names the volume device, not its root directory.
bool IsVolumeDevice(const std::wstring& plain) {
    return plain.size() == 2 && plain[1] == L':';
}

// The identity behind an open handle; none for a volume device, whose handle
// is no directory at all.
const Identity* IdentityOf(HANDLE handle) {
    auto open = OpenDirectories.find(handle);
    if (open == OpenDirectories.end()) {
        ADD_FAILURE() << "identity asked of a handle that is not open";
        return nullptr;
    }
    if (IsVolumeDevice(open->second)) {
        return nullptr;
    }
    return &Identities[open->second];
}

// A path the fake knows as a folder: one listed in memory (a drive's root is
// opened as "X:\" and listed as "X:"), one with an identity, one gone since
// it was listed, or a link to nothing.
bool IsFolder(const std::wstring& plain) {
    std::wstring listed = plain.size() == 3 && plain[1] == L':' ? plain.substr(0, 2) : plain;
    return Scripted.count(listed) != 0 || Identities.count(plain) != 0 ||
           VanishedFolders.count(plain) != 0 || DanglingLinks.count(plain) != 0;
}

// Where a file would be created for an open that creates: the folder's own
// path when it is gone, the target of a link to nothing; none when the
// folder is there.
const std::wstring* MissingTarget(const std::wstring& plain) {
    if (VanishedFolders.count(plain) != 0) {
        return &*VanishedFolders.find(plain);
    }
    auto link = DanglingLinks.find(plain);
    return link == DanglingLinks.end() ? nullptr : &link->second;
}

HANDLE OpenHandleTo(const std::wstring& plain) {
    HANDLE handle = reinterpret_cast<HANDLE>(0x7D000 + 0x10 * DirectoryOpens.size());
    OpenDirectories[handle] = plain;
    return handle;
}

// The file an open that creates leaves behind: from then on the path (and a
// link to it) names that file, whose identity is its own.
HANDLE CreateEmptyFile(const std::wstring& plain, std::wstring target) {
    CreatedFiles.push_back(target);
    const ULONGLONG id = 0xF11E000000000000ull + CreatedFiles.size();
    Identities[target] = Identity{true, 0, id, true, id, VolumeQ};
    Identities[plain] = Identities[target];
    VanishedFolders.erase(plain);
    DanglingLinks.erase(plain);
    SetLastError(ERROR_SUCCESS);
    return OpenHandleTo(plain);
}

} // namespace

void ResetListingFake() {
    Order = ListingOrder::AsListed;
    RealRoot.clear();
    Scripted.clear();
    UnlistableFolder.clear();
    Patterns.clear();
    Served.clear();
    Listings.clear();
}

bool IsBelow(const std::wstring& path, const std::wstring& root) {
    return !root.empty() &&
           (path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                             path[root.size()] == L'\\'));
}

HANDLE WINAPI FakeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    std::wstring text = PlainPath(pattern);
    Patterns.push_back(text);
    if (text.size() < 2 || text.compare(text.size() - 2, 2, L"\\*") != 0) {
        ADD_FAILURE() << "unexpected pattern " << Narrow(text);
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    OpenListing listing;
    listing.Folder = text.substr(0, text.size() - 2);
    auto scripted = Scripted.find(listing.Folder);
    if (listing.Folder == UnlistableFolder) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    } else if (MissingTarget(listing.Folder) != nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    } else if (scripted != Scripted.end()) {
        for (const ScriptedEntry& entry : scripted->second) {
            listing.Entries.push_back(MakeEntry(entry));
        }
    } else if (!IsBelow(listing.Folder, RealRoot) ||
               !ListRealFolder(listing.Folder, &listing.Entries)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (Order == ListingOrder::Chosen) {
        PutInChosenOrder(&listing.Entries);
    }
    if (listing.Entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = reinterpret_cast<HANDLE>(0x5E000 + 0x10 * ++HandleSequence);
    OpenListing& open = Listings[search] = listing;
    Hand(open, data);
    return search;
}

BOOL WINAPI FakeFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    auto listing = Listings.find(search);
    if (listing == Listings.end()) {
        ADD_FAILURE() << "FindNextFileW on a search that is not open";
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (listing->second.Next == listing->second.Entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    Hand(listing->second, data);
    return TRUE;
}

BOOL WINAPI FakeFindClose(HANDLE search) {
    if (Listings.erase(search) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

UINT WINAPI FakeGetDriveTypeW(LPCWSTR root) {
    DriveNamesAsked.push_back(root == nullptr ? L"(null)" : root);
    if (root == nullptr || wcslen(root) != 2 || root[1] != L':') {
        return DRIVE_NO_ROOT_DIR;
    }
    auto type = DriveTypes.find(root[0]);
    return type == DriveTypes.end() ? DRIVE_NO_ROOT_DIR : type->second;
}

void ResetFileSystemFake() {
    ResetListingFake();
    DriveNamesAsked.clear();
    DriveTypes.clear();
    Identities.clear();
    VanishedFolders.clear();
    DanglingLinks.clear();
    OpenedPaths.clear();
    DirectoryOpens.clear();
    OpenDirectories.clear();
    CreatedFiles.clear();
}

void InstallFileSystemFake() {
    Underlying.GetDriveTypeW = FakeGetDriveTypeW;
    Underlying.FindFirstFileW = FakeFindFirstFileW;
    Underlying.FindNextFileW = FakeFindNextFileW;
    Underlying.FindClose = FakeFindClose;
    Underlying.CreateFileW = FakeCreateFileW;
    Underlying.GetFileInformationByHandleEx = FakeGetFileInformationByHandleEx;
    Underlying.GetFileInformationByHandle = FakeGetFileInformationByHandle;
    Underlying.CloseHandle = FakeCloseHandle;
}

Identity NtfsRoot(ULONGLONG serial) {
    return Identity{true, 0, NtfsRootId, true, NtfsRootId, serial};
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    std::wstring plain = PlainPath(path);
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) && !IsFolder(plain)) {
        OpenedPaths.push_back(plain);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A folder, opened for its identity: only with what that needs.
    EXPECT_EQ(access, static_cast<DWORD>(FILE_READ_ATTRIBUTES)) << Narrow(plain);
    // Like a file opened for its content, a folder whose identity is read may
    // meanwhile be written, renamed or deleted by others.
    EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        << Narrow(plain);
    EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING)) << Narrow(plain);
    EXPECT_EQ(flags, static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS)) << Narrow(plain);
    EXPECT_TRUE(security == nullptr && templateFile == nullptr) << Narrow(plain);
    DirectoryOpens.push_back(plain);
    const std::wstring* target = MissingTarget(plain);
    if (target != nullptr) {
        if (disposition == OPEN_ALWAYS || disposition == CREATE_NEW ||
            disposition == CREATE_ALWAYS) {
            // As on Windows: an empty file where the folder was, or where the
            // link points.
            return CreateEmptyFile(plain, *target);
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        // Without it, no directory can be opened.
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Anything else the walk has no use for fails, even where Windows would
    // open the folder all the same.
    if (access != FILE_READ_ATTRIBUTES || disposition != OPEN_EXISTING ||
        flags != FILE_FLAG_BACKUP_SEMANTICS || security != nullptr || templateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsVolumeDevice(plain) && Identities.count(plain) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return OpenHandleTo(plain);
}

BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID data, DWORD size) {
    const Identity* identity = IdentityOf(handle);
    EXPECT_EQ(kind, FileIdInfo);
    EXPECT_EQ(size, sizeof(FILE_ID_INFO));
    if (identity == nullptr || !identity->FileIdKnown || kind != FileIdInfo ||
        size < sizeof(FILE_ID_INFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FILE_ID_INFO* info = static_cast<FILE_ID_INFO*>(data);
    info->VolumeSerialNumber = identity->Serial;
    memcpy(info->FileId.Identifier, &identity->IdLow, 8);
    memcpy(info->FileId.Identifier + 8, &identity->IdHigh, 8);
    return TRUE;
}

// The 64-bit call reports the low half of the volume serial.
BOOL WINAPI FakeGetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    const Identity* identity = IdentityOf(handle);
    if (identity == nullptr || !identity->IndexKnown) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *info = BY_HANDLE_FILE_INFORMATION();
    info->dwVolumeSerialNumber = static_cast<DWORD>(identity->Serial);
    info->nFileIndexHigh = static_cast<DWORD>(identity->Index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(identity->Index);
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    return OpenDirectories.erase(handle) == 1;
}
