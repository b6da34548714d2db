// A file system in memory for the drive walk, reached through the platform
// table's `Underlying` entries: drives and their types, folder listings
// (scripted in memory, or real folders below a root the test names, in Wine's
// order or one the test chooses), what a directory's handle tells of its
// identity, and folders gone since they were listed or links to nothing. It
// records what the walk asks of it, answers as Windows does or more strictly,
// never more leniently, and lists nothing else, so that no real drive is ever
// walked.
#pragma once

#include "platform/Platform.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Listings.

struct ScriptedEntry {
    std::wstring Name;
    DWORD Attributes;
};

enum class ListingOrder {
    // As the real FindFirstFileW/FindNextFileW return it.
    AsListed,
    // Names in ordinal order, "." after the first entry and ".." last: a
    // fixed order in which the dot entries are met in the middle of a folder.
    Chosen,
};

struct OpenListing {
    std::wstring Folder;
    std::vector<WIN32_FIND_DATAW> Entries;
    size_t Next = 0;
};

// Set by each test.
extern ListingOrder Order;
extern std::wstring RealRoot; // real folders below it are listed
extern std::map<std::wstring, std::vector<ScriptedEntry>> Scripted; // folder -> entries
extern std::wstring UnlistableFolder;                               // listing it fails

// Recorded by the fake.
extern std::vector<std::wstring> Patterns;                       // every pattern asked for
extern std::map<std::wstring, std::vector<std::wstring>> Served; // folder -> names handed out
extern std::map<HANDLE, OpenListing> Listings;

void ResetListingFake();

// Whether `path` is `root` or lies below it.
bool IsBelow(const std::wstring& path, const std::wstring& root);

HANDLE WINAPI FakeFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL WINAPI FakeFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
BOOL WINAPI FakeFindClose(HANDLE search);

// ---------------------------------------------------------------------------
// Drives.

extern std::vector<std::wstring> DriveNamesAsked;
extern std::map<wchar_t, UINT> DriveTypes; // a letter not in the table has no root

UINT WINAPI FakeGetDriveTypeW(LPCWSTR root);

// ---------------------------------------------------------------------------
// Identities.

// What a directory's handle tells of its identity, by the directory's path.
// Each volume has a serial of its own; on NTFS every volume's root directory
// has the same file id (MFT record 5), so only the serial tells two roots apart.
// NTFS and ReFS serials are 64 bits wide: the 128-bit id call reports the whole
// serial, the 64-bit one only its low half.
constexpr ULONGLONG VolumeQ = 0x5E11A0B21234ABCD;
constexpr ULONGLONG VolumeD = 0x0C4F9D375678EF01;
constexpr ULONGLONG VolumeE = 0x7B305C641234ABCD;     // another volume, its serial's low half Q's
constexpr ULONGLONG VolumeShare = 0x71D2E8469ABC2345; // a file server's volume
struct Identity {
    bool FileIdKnown; // GetFileInformationByHandleEx(FileIdInfo) succeeds
    ULONGLONG IdHigh;
    ULONGLONG IdLow;
    bool IndexKnown; // GetFileInformationByHandle succeeds
    ULONGLONG Index;
    ULONGLONG Serial = VolumeQ;
};
constexpr ULONGLONG AllOnes = ~0ull;
constexpr ULONGLONG NtfsRootId = 0x0005000000000005;

// The root directory of an NTFS volume.
Identity NtfsRoot(ULONGLONG serial);

// Keyed by the path as Windows opens it: a drive's root directory is "X:\".
// A listed folder with no identity here cannot be opened (access denied).
extern std::map<std::wstring, Identity> Identities;
// Folders listed and gone since, and links whose target does not exist (link ->
// target): opening either fails, unless the open creates a file, as it does on
// Windows.
extern std::set<std::wstring> VanishedFolders;
extern std::map<std::wstring, std::wstring> DanglingLinks;

extern std::vector<std::wstring> OpenedPaths;    // files opened for their content
extern std::vector<std::wstring> DirectoryOpens; // directories opened for their identity
extern std::map<HANDLE, std::wstring> OpenDirectories;
extern std::vector<std::wstring> CreatedFiles; // files an open created

// Clears every table above, the drives' and the listings'.
void ResetFileSystemFake();

// Puts every fake of this file into `Underlying`: drive types, listings,
// directory identities and CloseHandle.
void InstallFileSystemFake();

// Files are opened for their content and fail as if removed meanwhile; a folder
// (any path the tables above name, or any open with FILE_FLAG_BACKUP_SEMANTICS)
// opens only with the identity open's arguments: FILE_READ_ATTRIBUTES, full
// sharing, OPEN_EXISTING and FILE_FLAG_BACKUP_SEMANTICS alone.
HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile);
BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID data, DWORD size);
BOOL WINAPI FakeGetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info);
BOOL WINAPI FakeCloseHandle(HANDLE handle);
