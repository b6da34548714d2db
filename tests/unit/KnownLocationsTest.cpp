// The fixed indicator files and the candidate paths, checked below a Windows
// directory that the test makes and plants.
#include "scan/Findings.h"
#include "scan/KnownLocations.h"
#include "support/FakeWindowsDirectory.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <string>
#include <vector>

namespace {

class KnownLocations : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        InfectionFound = false;
        CandidatePaths.clear();
        FakeWindowsDirectory = MakeTempFolder();
        Underlying.GetWindowsDirectoryW = FakeGetWindowsDirectoryW;
        for (const wchar_t* folder :
             {L"\\system32", L"\\system32\\config", L"\\Panther", L"\\pchealth",
              L"\\pchealth\\helpctr", L"\\pchealth\\helpctr\\Database", L"\\system32\\wbem",
              L"\\system32\\wbem\\repository"}) {
            MakeFolder(FakeWindowsDirectory + folder);
        }
    }
    void TearDown() override {
        RemoveTree(FakeWindowsDirectory);
        CandidatePaths.clear();
        InfectionFound = false;
        PlatformTest::TearDown();
    }

    void Plant(const wchar_t* relative) { WriteBytes(FakeWindowsDirectory + relative, "x"); }

    // Phases 1 and 2 as the scan runs them; returns what they printed.
    std::string RunKnownLocationPhases() {
        BeginCapture();
        CheckSystemIndicatorFiles();
        BuildCandidatePaths();
        CheckCandidatePaths();
        return EndCapture();
    }

    std::string FoundLine(const wchar_t* relative) {
        return "Found: " + Shown(FakeWindowsDirectory + relative) + "\n";
    }
};

TEST_F(KnownLocations, NothingPlantedPrintsNothingAndFindsNothing) {
    EXPECT_EQ(RunKnownLocationPhases(), "");
    EXPECT_FALSE(InfectionFound);
    EXPECT_EQ(CallCount(Call::GetFileAttributesW), 103);
}

TEST_F(KnownLocations, EveryIndicatorPresentPrintsOneLineEachInTableOrder) {
    // Planted out of table order, in a different letter case than the tables
    // use, with a folder named like an indicator and one name in two places.
    Plant(L"\\system32\\msrdc64.dat");
    Plant(L"\\Panther\\systemlog.evt");
    MakeFolder(FakeWindowsDirectory + L"\\system32\\CACHE");
    Plant(L"\\system32\\config\\SystemLog.Evt");
    Plant(L"\\system32\\nsreg1.dat");
    Plant(L"\\system32\\wbem\\repository\\tapiscfg.dat");

    std::string expected =
        FoundLine(L"\\system32\\nsreg1.dat") + FoundLine(L"\\system32\\msrdc64.dat") +
        FoundLine(L"\\System32\\config\\SystemLog.Evt") + FoundLine(L"\\System32\\CACHE") +
        FoundLine(L"\\Panther\\SystemLog.Evt") +
        FoundLine(L"\\System32\\wbem\\repository\\tapiscfg.dat");
    EXPECT_EQ(RunKnownLocationPhases(), expected);
    EXPECT_TRUE(InfectionFound);
}

TEST_F(KnownLocations, CandidatesRunThroughEveryNameBelowOneDirectoryBeforeTheNext) {
    BuildCandidatePaths();
    ASSERT_EQ(CandidatePaths.size(), 100u);
    const std::wstring& root = FakeWindowsDirectory;
    EXPECT_EQ(CandidatePaths[0], root + L"\\System32\\config\\SystemAudit.Evt");
    EXPECT_EQ(CandidatePaths[19], root + L"\\System32\\config\\tapiscfg.dat");
    EXPECT_EQ(CandidatePaths[20], root + L"\\System32\\SystemAudit.Evt");
    EXPECT_EQ(CandidatePaths[44], root + L"\\pchealth\\helpctr\\Database\\CACHE");
    EXPECT_EQ(CandidatePaths[99], root + L"\\System32\\wbem\\repository\\tapiscfg.dat");
}

TEST_F(KnownLocations, PlatformFailuresCountAsAbsentAndAreSilent) {
    Plant(L"\\system32\\nsreg1.dat");
    Plant(L"\\Panther\\CACHE");
    struct Case {
        Call Failing;
        int Nth;
        std::string Expected;
    };
    const std::vector<Case> cases = {
        // No Windows directory: no path can be formed, nothing is tested.
        {Call::GetWindowsDirectoryW, -1, ""},
        // No attributes for any path.
        {Call::GetFileAttributesW, -1, ""},
        // The first fixed file's attributes fail; the candidate is still found.
        {Call::GetFileAttributesW, 1, FoundLine(L"\\Panther\\CACHE")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CallName(c.Failing));
        InstallLedger();
        InfectionFound = false;
        CandidatePaths.clear();
        FailCall(c.Failing, c.Nth);
        EXPECT_EQ(RunKnownLocationPhases(), c.Expected);
        EXPECT_EQ(InfectionFound, !c.Expected.empty());
    }
}

TEST_F(KnownLocations, AWindowsDirectoryTooLongForAFixedPathIsSkippedSafely) {
    // 250 units: the fixed files' paths would pass 260 units and are skipped.
    const std::wstring folder = FakeWindowsDirectory;
    FakeWindowsDirectory = L"C:\\" + std::wstring(247, L'w');
    EXPECT_EQ(RunKnownLocationPhases(), "");
    EXPECT_EQ(CandidatePaths.size(), 100u);
    EXPECT_FALSE(InfectionFound);
    // The fixture's own folder, which TearDown removes.
    FakeWindowsDirectory = folder;
}

} // namespace
