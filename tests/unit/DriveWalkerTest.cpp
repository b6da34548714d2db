// The drive walk: which drives are walked, the depth-first order of the walk,
// what it prints for each file and each find, and what it releases on the way.
//
// Directory listings, drive types and directory identities reach the walker
// through the file system fake in `Underlying` (support/FakeFileSystem.h).
#include "scan/DriveWalker.h"
#include "scan/Findings.h"
#include "support/FakeFileSystem.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// What the walk prints.

// The progress line for a path short enough to be shown whole.
std::string Progress(const std::wstring& path) {
    EXPECT_LT(path.size(), 60u) << "a test path must be shown unshortened";
    std::string line = "\rScanning " + Shown(path);
    line.resize(79, ' ');
    return line;
}

const std::string WipedLine = "\r" + std::string(79, ' ') + "\r";

// What follows the progress line of a file that is a known sample.
std::string Find(const std::wstring& path) {
    return WipedLine + "Found: " + Shown(path) + "\n";
}

// ---------------------------------------------------------------------------
// Real trees.

// A fresh folder directly below C:, so that every path in the tree is short
// enough to be shown whole on the progress line.
std::wstring MakeShortRoot() {
    static unsigned sequence = 0;
    for (;;) {
        std::wstring folder =
            L"C:\\dw" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++sequence);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create " << Narrow(folder);
            return folder;
        }
    }
}

class Walker : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ResetListingFake();
        Underlying.FindFirstFileW = FakeFindFirstFileW;
        Underlying.FindNextFileW = FakeFindNextFileW;
        Underlying.FindClose = FakeFindClose;
        InfectionFound = false;
        Root = MakeShortRoot();
        RealRoot = Root;
        SampleA = ReadFixture("sample-a.bin");
        SampleB = ReadFixture("sample-b.bin");
    }
    void TearDown() override {
        RemoveTree(Root);
        ResetListingFake();
        InfectionFound = false;
        PlatformTest::TearDown();
    }

    std::wstring At(const wchar_t* relative) { return Root + L"\\" + relative; }
    void Folder(const wchar_t* relative) {
        MakeFolder(At(relative));
        Folders.insert(At(relative));
    }
    void File(const wchar_t* relative, const std::string& bytes) {
        WriteBytes(At(relative), bytes);
        Files.insert(At(relative));
        if (bytes == SampleA) {
            Samples.insert(At(relative));
        }
    }

    std::string Walk() {
        BeginCapture();
        ScanDirectory(Root);
        return EndCapture();
    }

    // The whole walk that the recorded listings call for: every folder is
    // entered where its entry is met, every other entry is shown and tested.
    std::string ExpectedFromListings(const std::wstring& folder) {
        auto served = Served.find(folder);
        if (served == Served.end()) {
            ADD_FAILURE() << "never listed: " << Narrow(folder);
            return std::string();
        }
        std::string expected;
        for (const std::wstring& name : served->second) {
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = folder + L"\\" + name;
            if (Folders.count(path) != 0) {
                expected += ExpectedFromListings(path);
            } else {
                expected += Progress(path) + (Samples.count(path) != 0 ? Find(path) : "");
            }
        }
        return expected;
    }

    // The small tree of the tests that choose the listing order:
    //   a.txt  found.bin*  m\{inner.bin*  k\{x.txt}  n.txt}  z.txt     (* sample-a)
    void MakeSmallTree() {
        Order = ListingOrder::Chosen;
        File(L"a.txt", "a");
        File(L"found.bin", SampleA);
        Folder(L"m");
        File(L"m\\inner.bin", SampleA);
        Folder(L"m\\k");
        File(L"m\\k\\x.txt", "x");
        File(L"m\\n.txt", "n");
        File(L"z.txt", "z");
    }

    void ExpectNothingHeld() {
        ExpectAllReleased();
        EXPECT_TRUE(Listings.empty()) << Listings.size() << " searches never closed";
        EXPECT_EQ(CallCount(Call::FindClose), static_cast<int>(Served.size()));
    }

    std::wstring Root;
    std::string SampleA;
    std::string SampleB;
    std::set<std::wstring> Folders;
    std::set<std::wstring> Files;
    std::set<std::wstring> Samples;
};

TEST_F(Walker, WalksARealTreeDepthFirstInTheOrderItIsListed) {
    File(L"empty.txt", "");
    File(L"b.bin", SampleB);
    File(L"notes.txt", "hello");
    Folder(L".hidden");
    File(L".hidden\\secret.bin", SampleA);
    Folder(L"a");
    File(L"a\\a.txt", "a");
    Folder(L"a\\b");
    Folder(L"a\\b\\empty");
    Folder(L"a\\b\\c");
    File(L"a\\b\\c\\deep.bin", SampleA);
    File(L"a\\b\\after.txt", SampleA.substr(1));
    File(L"z.txt", "z");
    const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW(At(L".hidden\\secret.bin").c_str(), hiddenSystem));
    ASSERT_TRUE(SetFileAttributesW(At(L".hidden").c_str(), hiddenSystem));
    Folders.insert(Root);

    std::string printed = Walk();

    EXPECT_EQ(printed, ExpectedFromListings(Root));
    EXPECT_TRUE(InfectionFound);
    // Every folder listed once and read to its end, every file opened once.
    EXPECT_EQ(Patterns.size(), Folders.size());
    for (const std::wstring& folder : Folders) {
        SCOPED_TRACE(Narrow(folder));
        EXPECT_EQ(std::count(Patterns.begin(), Patterns.end(), folder + L"\\*"), 1);
        std::set<std::wstring> children = {L".", L".."};
        for (const std::set<std::wstring>* kind : {&Folders, &Files}) {
            for (const std::wstring& path : *kind) {
                if (path.size() > folder.size() + 1 && IsBelow(path, folder) &&
                    path.find(L'\\', folder.size() + 1) == std::wstring::npos) {
                    children.insert(path.substr(folder.size() + 1));
                }
            }
        }
        std::vector<std::wstring> served = Served[folder];
        EXPECT_EQ(std::set<std::wstring>(served.begin(), served.end()), children);
        EXPECT_EQ(served.size(), children.size());
    }
    EXPECT_EQ(CallCount(Call::CreateFileW), static_cast<int>(Files.size()));
    ExpectNothingHeld();
}

TEST_F(Walker, EntersEachFolderWhereItIsMetAndGoesOnShowingAfterAFind) {
    MakeSmallTree();
    std::string expected = Progress(At(L"a.txt")) + Progress(At(L"found.bin")) +
                           Find(At(L"found.bin")) + Progress(At(L"m\\inner.bin")) +
                           Find(At(L"m\\inner.bin")) + Progress(At(L"m\\k\\x.txt")) +
                           Progress(At(L"m\\n.txt")) + Progress(At(L"z.txt"));
    EXPECT_EQ(Walk(), expected);
    EXPECT_TRUE(InfectionFound);
    EXPECT_EQ(Patterns, (std::vector<std::wstring>{Root + L"\\*", At(L"m\\*"), At(L"m\\k\\*")}));
    ExpectNothingHeld();
}

TEST_F(Walker, PlatformFailuresSkipWhatCannotBeReadSilentlyAndReleaseEverything) {
    MakeSmallTree();
    struct Case {
        const char* What;
        const wchar_t* Unlistable; // relative to the root; nullptr: none
        Call Failing;
        int Nth; // 0: no planned failure
        std::vector<const wchar_t*> Shown;
        std::vector<const wchar_t*> Found;
    };
    const std::vector<Case> cases = {
        {"the root cannot be listed", L"", Call::Count, 0, {}, {}},
        {"a subfolder cannot be listed: it is skipped with everything below it",
         L"m",
         Call::Count,
         0,
         {L"a.txt", L"found.bin", L"z.txt"},
         {L"found.bin"}},
        {"a folder below a subfolder cannot be listed",
         L"m\\k",
         Call::Count,
         0,
         {L"a.txt", L"found.bin", L"m\\inner.bin", L"m\\n.txt", L"z.txt"},
         {L"found.bin", L"m\\inner.bin"}},
        // Calls of FindNextFileW in the chosen order: root ".", "found.bin",
        // "m"; then m's second entry is the fourth.
        {"the listing of a subfolder breaks off after its first entry",
         nullptr,
         Call::FindNextFileW,
         4,
         {L"a.txt", L"found.bin", L"m\\inner.bin", L"z.txt"},
         {L"found.bin", L"m\\inner.bin"}},
        {"the listing of the root breaks off after its first entry",
         nullptr,
         Call::FindNextFileW,
         1,
         {L"a.txt"},
         {}},
        // The second file opened is found.bin.
        {"one file cannot be opened",
         nullptr,
         Call::CreateFileW,
         2,
         {L"a.txt", L"found.bin", L"m\\inner.bin", L"m\\k\\x.txt", L"m\\n.txt", L"z.txt"},
         {L"m\\inner.bin"}},
        {"no file can be opened",
         nullptr,
         Call::CreateFileW,
         -1,
         {L"a.txt", L"found.bin", L"m\\inner.bin", L"m\\k\\x.txt", L"m\\n.txt", L"z.txt"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        InstallLedger();
        Patterns.clear();
        Served.clear();
        InfectionFound = false;
        UnlistableFolder = c.Unlistable == nullptr     ? L""
                           : wcslen(c.Unlistable) == 0 ? Root
                                                       : At(c.Unlistable);
        if (c.Nth != 0) {
            FailCall(c.Failing, c.Nth);
        }
        std::string expected;
        for (const wchar_t* shown : c.Shown) {
            expected += Progress(At(shown));
            if (std::find_if(c.Found.begin(), c.Found.end(), [&](const wchar_t* found) {
                    return wcscmp(found, shown) == 0;
                }) != c.Found.end()) {
                expected += Find(At(shown));
            }
        }

        EXPECT_EQ(Walk(), expected);
        EXPECT_EQ(InfectionFound, !c.Found.empty());
        if (c.Nth != 0) {
            EXPECT_TRUE(FailureDelivered(c.Failing));
        }
        if (!UnlistableFolder.empty()) {
            EXPECT_EQ(Patterns.back(), UnlistableFolder + L"\\*")
                << "the unlistable folder is tried when it is met";
            EXPECT_EQ(std::count(Patterns.begin(), Patterns.end(), UnlistableFolder + L"\\*"), 1);
        }
        ExpectNothingHeld();
    }
}

// ---------------------------------------------------------------------------
// Drives, with nothing but scripted folders to list.

class WalkerDrives : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ResetFileSystemFake();
        InstallFileSystemFake();
        InfectionFound = false;
    }
    void TearDown() override {
        ResetFileSystemFake();
        InfectionFound = false;
        PlatformTest::TearDown();
    }

    static std::vector<std::wstring> EveryDriveName() {
        std::vector<std::wstring> names;
        for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
            names.push_back(std::wstring(1, letter) + L":");
        }
        return names;
    }
};

TEST_F(WalkerDrives, AsksCToZInOrderAndWalksEveryDriveThatHasARoot) {
    const UINT types[] = {DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR, DRIVE_REMOVABLE, DRIVE_FIXED,
                          DRIVE_REMOTE,  DRIVE_CDROM,       DRIVE_RAMDISK};
    // Every type in turn from C: on, shifted by one letter for each case, so
    // that each type falls on C: and on Z: once.
    for (int shift = 0; shift < 7; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        InstallLedger();
        DriveNamesAsked.clear();
        Patterns.clear();
        DriveTypes.clear();
        std::vector<std::wstring> walked;
        for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
            UINT type = types[(letter - L'C' + shift) % 7];
            DriveTypes[letter] = type;
            if (type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR) {
                walked.push_back(std::wstring(1, letter) + L":\\*");
            }
        }

        BeginCapture();
        ScanDrives();
        EXPECT_EQ(EndCapture(), "");

        EXPECT_EQ(DriveNamesAsked, EveryDriveName());
        EXPECT_EQ(Patterns, walked);
        ExpectAllReleased();
    }
}

TEST_F(WalkerDrives, NoDriveWithARootMeansNothingIsListed) {
    BeginCapture();
    ScanDrives();
    EXPECT_EQ(EndCapture(), "");
    EXPECT_EQ(DriveNamesAsked, EveryDriveName());
    EXPECT_TRUE(Patterns.empty());
    FailCall(Call::GetDriveTypeW, -1); // every drive's type unknown
    DriveTypes[L'C'] = DRIVE_FIXED;
    ScanDrives();
    EXPECT_TRUE(Patterns.empty());
    ExpectAllReleased();
}

TEST_F(WalkerDrives, PathsBelowADriveRootHaveOneBackslashAndEveryFileIsTested) {
    const DWORD file = FILE_ATTRIBUTE_ARCHIVE;
    const DWORD hiddenSystemFile = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | file;
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    DriveTypes[L'D'] = DRIVE_CDROM; // nothing to list: skipped silently
    DriveTypes[L'Q'] = DRIVE_REMOTE;
    // A drive root lists no "." or "..". Dot-named entries are real names.
    Scripted[L"Q:"] = {{L"a.txt", file},
                       {L".cfg", folder | FILE_ATTRIBUTE_HIDDEN},
                       {L"pagefile.sys", hiddenSystemFile},
                       {L"...", file},
                       {L"sub", folder},
                       {L"z.txt", file}};
    Scripted[L"Q:\\.cfg"] = {{L".", folder}, {L"..", folder}, {L".x", hiddenSystemFile}};
    Scripted[L"Q:\\sub"] = {{L"..", folder}, {L"b.txt", file}, {L".", folder}};

    const std::vector<std::wstring> files = {L"Q:\\a.txt", L"Q:\\.cfg\\.x",   L"Q:\\pagefile.sys",
                                             L"Q:\\...",   L"Q:\\sub\\b.txt", L"Q:\\z.txt"};
    std::string expected;
    for (const std::wstring& path : files) {
        expected += Progress(path);
    }
    BeginCapture();
    ScanDrives();
    EXPECT_EQ(EndCapture(), expected);
    EXPECT_EQ(OpenedPaths, files);
    EXPECT_EQ(Patterns,
              (std::vector<std::wstring>{L"D:\\*", L"Q:\\*", L"Q:\\.cfg\\*", L"Q:\\sub\\*"}));
    EXPECT_FALSE(InfectionFound);
    EXPECT_TRUE(Listings.empty());
    ExpectAllReleased();
}

TEST_F(WalkerDrives, AFileWhoseContentIsElsewhereIsShownButNeverOpened) {
    // Reading such a file would fetch all of it from its cloud or archive store
    // onto this disk. Folders with these attributes are still entered.
    const DWORD file = FILE_ATTRIBUTE_ARCHIVE;
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const DWORD pinned = 0x00080000; // FILE_ATTRIBUTE_PINNED: its content is kept here
    const DWORD elsewhere[] = {FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS, FILE_ATTRIBUTE_RECALL_ON_OPEN,
                               FILE_ATTRIBUTE_OFFLINE};
    for (DWORD attribute : elsewhere) {
        SCOPED_TRACE("attribute " + std::to_string(attribute));
        InstallLedger();
        ResetListingFake();
        OpenedPaths.clear();
        DriveTypes[L'Q'] = DRIVE_FIXED;
        Scripted[L"Q:"] = {{L"cloud.docx", file | attribute},
                           {L"Pictures", folder | attribute},
                           {L"local.txt", file},
                           {L"pinned.txt", file | pinned}};
        Scripted[L"Q:\\Pictures"] = {{L"inner.jpg", file}, {L"online.jpg", file | attribute}};

        BeginCapture();
        ScanDrives();
        EXPECT_EQ(EndCapture(), Progress(L"Q:\\cloud.docx") + Progress(L"Q:\\Pictures\\inner.jpg") +
                                    Progress(L"Q:\\Pictures\\online.jpg") +
                                    Progress(L"Q:\\local.txt") + Progress(L"Q:\\pinned.txt"));
        EXPECT_EQ(OpenedPaths, (std::vector<std::wstring>{L"Q:\\Pictures\\inner.jpg",
                                                          L"Q:\\local.txt", L"Q:\\pinned.txt"}));
        ExpectAllReleased();
    }
}

TEST_F(WalkerDrives, ALinkLeadingBackIsCutByItsIdentityAndNothingElseIs) {
    // Q:\a\back leads back to a folder on the walk's path in the cases that say
    // so; every other folder is one of its own.
    const DWORD link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD plain = FILE_ATTRIBUTE_DIRECTORY;
    const std::vector<std::wstring> all = {L"Q:\\a\\a.txt", L"Q:\\a\\back\\back.txt", L"Q:\\z.txt"};
    const std::vector<std::wstring> cut = {L"Q:\\a\\a.txt", L"Q:\\z.txt"};
    const Identity folderA = {true, 0, 8, true, 8};
    const Identity shareFolder = {true, 0, 8, true, 8, VolumeShare};
    struct Case {
        const char* What;
        UINT DriveType;
        DWORD A, Back; // the attributes of Q:\a and Q:\a\back
        Identity Root, IdA, IdBack;
        std::vector<std::wstring> Shown;
        bool BackChecked; // whether Q:\a\back's identity is read at all
    };
    const std::vector<Case> cases = {
        {"ReFS: 64-bit ids collide, 128-bit ones tell the folders apart",
         DRIVE_FIXED,
         link,
         link,
         {true, 1, 100, true, 5},
         {true, 2, 100, true, 5},
         {true, 1, 100, true, 5},
         cut,
         true},
        {"no 128-bit ids: the 64-bit ones decide",
         DRIVE_FIXED,
         link,
         link,
         {false, 0, 0, true, 5},
         {false, 0, 0, true, 6},
         {false, 0, 0, true, 5},
         cut,
         true},
        {"a 128-bit id of 0 is none: the 64-bit ones decide",
         DRIVE_FIXED,
         link,
         link,
         {true, 0, 0, true, 5},
         {true, 0, 0, true, 6},
         {true, 0, 0, true, 5},
         cut,
         true},
        {"a 128-bit id of all ones is none: the 64-bit ones decide",
         DRIVE_FIXED,
         link,
         link,
         {true, AllOnes, AllOnes, true, 5},
         {true, AllOnes, AllOnes, true, 6},
         {true, AllOnes, AllOnes, true, 5},
         cut,
         true},
        {"64-bit ids of 0 are unknown and never cut",
         DRIVE_FIXED,
         link,
         link,
         {false, 0, 0, true, 0},
         {false, 0, 0, true, 0},
         {false, 0, 0, true, 0},
         all,
         true},
        {"64-bit ids of all ones are unknown and never cut",
         DRIVE_FIXED,
         link,
         link,
         {true, 0, AllOnes, true, AllOnes},
         {true, 0, AllOnes, true, AllOnes},
         {true, 0, AllOnes, true, AllOnes},
         all,
         true},
        {"no identity at all never cuts",
         DRIVE_FIXED,
         link,
         link,
         {false, 0, 0, false, 0},
         {false, 0, 0, false, 0},
         {false, 0, 0, false, 0},
         all,
         true},
        {"a 128-bit and a 64-bit identity never match, even with the same bytes",
         DRIVE_FIXED,
         link,
         link,
         {false, 0, 0, true, 5},
         {false, 0, 0, true, 6},
         {true, 0, 5, true, 5},
         all,
         true},
        {"a link back to the drive's own root is cut", DRIVE_FIXED, plain, link, NtfsRoot(VolumeQ),
         folderA, NtfsRoot(VolumeQ), cut, true},
        {"a junction to another drive's root, whose id is the same, is walked", DRIVE_FIXED, plain,
         link, NtfsRoot(VolumeQ), folderA, NtfsRoot(VolumeD), all, true},
        {"a junction to the root of a drive whose serial has the same low half is walked",
         DRIVE_FIXED, plain, link, NtfsRoot(VolumeQ), folderA, NtfsRoot(VolumeE), all, true},
        {"a network drive: a plain folder that leads back is cut",
         DRIVE_REMOTE,
         plain,
         plain,
         {true, 0, 7, true, 7},
         {true, 0, 8, true, 8},
         {true, 0, 7, true, 7},
         cut,
         true},
        {"a network drive: plain folders of their own are walked",
         DRIVE_REMOTE,
         plain,
         plain,
         {true, 0, 7, true, 7},
         {true, 0, 8, true, 8},
         {true, 0, 9, true, 9},
         all,
         true},
        {"a local link into a share: a plain folder there that leads back is cut",
         DRIVE_FIXED,
         link,
         plain,
         {true, 0, 7, true, 7},
         shareFolder,
         shareFolder,
         cut,
         true},
        {"a local link into a share: plain folders of its own are walked",
         DRIVE_FIXED,
         link,
         plain,
         {true, 0, 7, true, 7},
         shareFolder,
         {true, 0, 9, true, 9, VolumeShare},
         all,
         true},
        {"a local drive: plain folders outside links are never checked",
         DRIVE_FIXED,
         plain,
         plain,
         {true, 0, 7, true, 7},
         {true, 0, 8, true, 8},
         {true, 0, 7, true, 7},
         all,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        InstallLedger();
        ResetListingFake();
        DirectoryOpens.clear();
        DriveTypes[L'Q'] = c.DriveType;
        Scripted[L"Q:"] = {{L"a", c.A}, {L"z.txt", FILE_ATTRIBUTE_ARCHIVE}};
        Scripted[L"Q:\\a"] = {{L".", FILE_ATTRIBUTE_DIRECTORY},
                              {L"..", FILE_ATTRIBUTE_DIRECTORY},
                              {L"a.txt", FILE_ATTRIBUTE_ARCHIVE},
                              {L"back", c.Back}};
        Scripted[L"Q:\\a\\back"] = {{L"back.txt", FILE_ATTRIBUTE_ARCHIVE}};
        Identities = {{L"Q:\\", c.Root}, {L"Q:\\a", c.IdA}, {L"Q:\\a\\back", c.IdBack}};

        std::string expected;
        for (const std::wstring& path : c.Shown) {
            expected += Progress(path);
        }
        BeginCapture();
        ScanDrives();
        EXPECT_EQ(EndCapture(), expected);

        EXPECT_EQ(std::count(DirectoryOpens.begin(), DirectoryOpens.end(), L"Q:\\a\\back"),
                  c.BackChecked ? 1 : 0);
        if (!c.BackChecked) {
            EXPECT_TRUE(DirectoryOpens.empty()) << "a plain local folder cost an extra open";
        } else {
            // Each folder's identity is read once at most, however often it is compared.
            std::vector<std::wstring> opens = DirectoryOpens;
            std::sort(opens.begin(), opens.end());
            EXPECT_TRUE(std::adjacent_find(opens.begin(), opens.end()) == opens.end())
                << "an identity read twice";
        }
        EXPECT_TRUE(OpenDirectories.empty()) << OpenDirectories.size() << " directories left open";
        ExpectAllReleased();
    }
}

TEST_F(WalkerDrives, BelowALinkAFolderLeadingBackIsCutAtAnyDepthAndNothingIsCreated) {
    // A tree on the local drive Q:, each of its folders holding f.txt before
    // its subfolders. Ids are file ids on Q: (an NTFS volume): the same id is
    // the same folder, reached again.
    const DWORD link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD plain = FILE_ATTRIBUTE_DIRECTORY;
    const ULONGLONG root = NtfsRootId;
    const ULONGLONG gone = 0;              // listed, and gone before its identity is read
    const ULONGLONG linkToNothing = ~0ull; // its target does not exist
    struct Folder {
        const wchar_t* Path; // below Q:
        DWORD Attributes;
        ULONGLONG Id;
    };
    struct Case {
        const char* What;
        std::vector<Folder> Tree; // each folder after its parent, in listing order
        std::vector<const wchar_t*> Shown;
        std::vector<const wchar_t*> NeverOpened; // folders whose identity is never read
    };
    const std::vector<Case> cases = {
        {"two levels below a link, a plain folder that leads back to the link is cut",
         {{L"lnk", link, 2}, {L"lnk\\a", plain, 3}, {L"lnk\\a\\back", plain, 2}},
         {L"lnk\\f.txt", L"lnk\\a\\f.txt"},
         {}},
        {"three levels below a link, a plain folder that leads back to the root is cut, and "
         "one of its own beside it is walked",
         {{L"lnk", link, 2},
          {L"lnk\\a", plain, 3},
          {L"lnk\\a\\b", plain, 4},
          {L"lnk\\a\\b\\back", plain, root},
          {L"lnk\\a\\b\\own", plain, 5}},
         {L"lnk\\f.txt", L"lnk\\a\\f.txt", L"lnk\\a\\b\\f.txt", L"lnk\\a\\b\\own\\f.txt"},
         {}},
        {"a link below a link: plain folders below the inner one that lead back to the outer "
         "one are cut",
         {{L"out", link, 2},
          {L"out\\in", link, 3},
          {L"out\\in\\back", plain, 2},
          {L"out\\in\\p", plain, 4},
          {L"out\\in\\p\\back", plain, 2}},
         {L"out\\f.txt", L"out\\in\\f.txt", L"out\\in\\p\\f.txt"},
         {}},
        {"a folder entered after a link was cut never takes over that link's identity",
         {{L"lnk", link, root},
          {L"plain", plain, 6},
          {L"plain\\sub", plain, 7},
          {L"plain\\self", link, 6}},
         {L"plain\\f.txt", L"plain\\sub\\f.txt"},
         {L"plain\\sub"}},
        {"a folder gone since it was listed and a link to nothing are skipped, and no file is "
         "created where they were or pointed",
         {{L"lnk", link, 2},
          {L"lnk\\gone", plain, gone},
          {L"lnk\\void", link, linkToNothing},
          {L"lnk\\after", plain, 3}},
         {L"lnk\\f.txt", L"lnk\\after\\f.txt"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        InstallLedger();
        ResetFileSystemFake();
        DriveTypes[L'Q'] = DRIVE_FIXED;
        Identities[L"Q:\\"] = NtfsRoot(VolumeQ);
        Scripted[L"Q:"] = {};
        for (const Folder& folder : c.Tree) {
            const std::wstring path = std::wstring(L"Q:\\") + folder.Path;
            const size_t parent = path.rfind(L'\\');
            Scripted[path.substr(0, parent == 2 ? 2 : parent)].push_back(
                {path.substr(parent + 1), folder.Attributes});
            if (folder.Id == gone) {
                VanishedFolders.insert(path);
            } else if (folder.Id == linkToNothing) {
                DanglingLinks[path] = L"Q:\\old\\missing";
            } else {
                Scripted[path] = {{L"f.txt", FILE_ATTRIBUTE_ARCHIVE}};
                Identities[path] = Identity{true, 0, folder.Id, true, folder.Id, VolumeQ};
            }
        }

        std::string expected;
        for (const wchar_t* shown : c.Shown) {
            expected += Progress(std::wstring(L"Q:\\") + shown);
        }
        BeginCapture();
        ScanDrives();
        EXPECT_EQ(EndCapture(), expected);

        for (const wchar_t* folder : c.NeverOpened) {
            EXPECT_EQ(std::count(DirectoryOpens.begin(), DirectoryOpens.end(),
                                 std::wstring(L"Q:\\") + folder),
                      0)
                << "a plain local folder outside links cost an open";
        }
        std::vector<std::wstring> opens = DirectoryOpens;
        std::sort(opens.begin(), opens.end());
        EXPECT_TRUE(std::adjacent_find(opens.begin(), opens.end()) == opens.end())
            << "an identity read twice";
        EXPECT_TRUE(CreatedFiles.empty())
            << CreatedFiles.size() << " files created, first " << Narrow(CreatedFiles.front());
        EXPECT_TRUE(OpenDirectories.empty()) << OpenDirectories.size() << " directories left open";
        ExpectAllReleased();
    }
}

TEST_F(WalkerDrives, EveryFolderIsCheckedOnlyWhileOnANetworkDriveOrBelowALink) {
    // Q: holds a link with a plain folder in it, then a plain folder; R: is a
    // local drive with a plain folder. Checking ends where the link or the
    // network drive that called for it ends.
    const DWORD link = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD plain = FILE_ATTRIBUTE_DIRECTORY;
    struct Case {
        const char* What;
        UINT TypeQ;
        std::vector<std::wstring> Checked; // on Q:, in walk order of the check
    };
    const std::vector<Case> cases = {
        {"a local drive with a link", DRIVE_FIXED, {L"Q:\\lnk", L"Q:\\lnk\\inner"}},
        {"a network drive", DRIVE_REMOTE, {L"Q:\\lnk", L"Q:\\lnk\\inner", L"Q:\\after"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        InstallLedger();
        ResetListingFake();
        DirectoryOpens.clear();
        DriveTypes = {{L'Q', c.TypeQ}, {L'R', DRIVE_FIXED}};
        Scripted[L"Q:"] = {{L"lnk", link}, {L"after", plain}};
        Scripted[L"Q:\\lnk"] = {{L"inner", plain}};
        Scripted[L"Q:\\lnk\\inner"] = {{L"x.txt", FILE_ATTRIBUTE_ARCHIVE}};
        Scripted[L"Q:\\after"] = {{L"y.txt", FILE_ATTRIBUTE_ARCHIVE}};
        Scripted[L"R:"] = {{L"sub", plain}};
        Scripted[L"R:\\sub"] = {{L"z.txt", FILE_ATTRIBUTE_ARCHIVE}};
        Identities = {{L"Q:\\", {true, 0, 1, true, 1}},
                      {L"Q:\\lnk", {true, 0, 2, true, 2}},
                      {L"Q:\\lnk\\inner", {true, 0, 3, true, 3}},
                      {L"Q:\\after", {true, 0, 4, true, 4}},
                      {L"R:\\", {true, 0, 1, true, 1, VolumeD}},
                      {L"R:\\sub", {true, 0, 5, true, 5, VolumeD}}};

        BeginCapture();
        ScanDrives();
        EXPECT_EQ(EndCapture(), Progress(L"Q:\\lnk\\inner\\x.txt") + Progress(L"Q:\\after\\y.txt") +
                                    Progress(L"R:\\sub\\z.txt"));
        // Only the folders checked, and the folders on the walk's path they
        // were compared with, are opened for their identity.
        std::vector<std::wstring> checked;
        for (const std::wstring& open : DirectoryOpens) {
            if (open != L"Q:\\") {
                checked.push_back(open);
            }
        }
        EXPECT_EQ(checked, c.Checked);
        EXPECT_TRUE(OpenDirectories.empty()) << OpenDirectories.size() << " directories left open";
        ExpectAllReleased();
    }
}

} // namespace
