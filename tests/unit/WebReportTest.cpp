// The report request: the session and the request it opens, with which
// arguments, and that every handle it gets is closed. Every internet call is a
// fake that hands out made-up handles: no request ever leaves the test.
#include "report/WebReport.h"
#include "scan/Findings.h"
#include "support/PlatformLedger.h"

#include <string>
#include <vector>

namespace {

const HINTERNET FakeSession = reinterpret_cast<HINTERNET>(0x5E55);
const HINTERNET FakeRequest = reinterpret_cast<HINTERNET>(0x7E0);

struct SessionCall {
    std::wstring Agent;
    DWORD Access;
    bool HasProxy;
    bool HasBypass;
    DWORD Flags;
};

struct RequestCall {
    HINTERNET Session;
    std::wstring Url;
    bool HasHeaders;
    DWORD HeadersLength;
    DWORD Flags;
    DWORD_PTR Context;
};

bool SessionOpens = true;
bool RequestOpens = true;
std::vector<SessionCall> Sessions;
std::vector<RequestCall> Requests;
std::vector<std::string> Events; // every internet call in order

HINTERNET WINAPI FakeInternetOpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass,
                                   DWORD flags) {
    Sessions.push_back(SessionCall{agent != nullptr ? agent : L"(null)", access, proxy != nullptr,
                                   bypass != nullptr, flags});
    Events.push_back("open session");
    if (!SessionOpens) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    return FakeSession;
}

HINTERNET WINAPI FakeInternetOpenUrlW(HINTERNET session, LPCWSTR url, LPCWSTR headers,
                                      DWORD headersLength, DWORD flags, DWORD_PTR context) {
    Requests.push_back(RequestCall{session, url != nullptr ? url : L"(null)", headers != nullptr,
                                   headersLength, flags, context});
    Events.push_back("open request");
    if (!RequestOpens) {
        SetLastError(ERROR_INTERNET_NAME_NOT_RESOLVED);
        return nullptr;
    }
    return FakeRequest;
}

BOOL WINAPI FakeInternetCloseHandle(HINTERNET handle) {
    Events.push_back(handle == FakeSession   ? "close session"
                     : handle == FakeRequest ? "close request"
                                             : "close unknown handle");
    return handle == FakeSession || handle == FakeRequest;
}

class Report : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Underlying.InternetOpenW = FakeInternetOpenW;
        Underlying.InternetOpenUrlW = FakeInternetOpenUrlW;
        Underlying.InternetCloseHandle = FakeInternetCloseHandle;
        InfectionFound = false;
    }
    void TearDown() override {
        InfectionFound = false;
        PlatformTest::TearDown();
    }

    void Reset(bool infected, bool sessionOpens, bool requestOpens) {
        InstallLedger();
        InfectionFound = infected;
        SessionOpens = sessionOpens;
        RequestOpens = requestOpens;
        Sessions.clear();
        Requests.clear();
        Events.clear();
    }
};

TEST_F(Report, RequestsTheVerdictsAddressAndClosesEveryHandleItGets) {
    struct Case {
        bool Infected;
        bool RequestOpens;
        const wchar_t* Url;
        std::vector<std::string> Events;
    };
    const std::vector<Case> cases = {
        {false,
         true,
         L"http://report.velmora.example/regin.php?clean",
         {"open session", "open request", "close request", "close session"}},
        {true,
         true,
         L"http://report.velmora.example/regin.php?infected",
         {"open session", "open request", "close request", "close session"}},
        {false,
         false,
         L"http://report.velmora.example/regin.php?clean",
         {"open session", "open request", "close session"}},
        {true,
         false,
         L"http://report.velmora.example/regin.php?infected",
         {"open session", "open request", "close session"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Infected ? "infected" : "clean") +
                     (c.RequestOpens ? ", request opens" : ", request fails"));
        Reset(c.Infected, true, c.RequestOpens);

        EXPECT_EQ(ReportVerdict(nullptr), 0u);

        ASSERT_EQ(Sessions.size(), 1u);
        EXPECT_EQ(Sessions[0].Agent, L"VelmoraReginDetector");
        EXPECT_EQ(Sessions[0].Access, 4u); // preconfigured, no autoproxy
        EXPECT_FALSE(Sessions[0].HasProxy);
        EXPECT_FALSE(Sessions[0].HasBypass);
        EXPECT_EQ(Sessions[0].Flags, 0u);
        ASSERT_EQ(Requests.size(), 1u);
        EXPECT_EQ(Requests[0].Session, FakeSession);
        EXPECT_EQ(Requests[0].Url, c.Url);
        EXPECT_FALSE(Requests[0].HasHeaders);
        EXPECT_EQ(Requests[0].HeadersLength, 0u);
        // Reload, no cache write, no cookies, no dialogs.
        EXPECT_EQ(Requests[0].Flags, 0x84080200u);
        EXPECT_EQ(Requests[0].Context, 0u);
        // A request that opened is closed at once, the session after it.
        EXPECT_EQ(Events, c.Events);
        ExpectAllReleased();
    }
}

TEST_F(Report, ASessionThatCannotOpenEndsTheReport) {
    for (bool infected : {false, true}) {
        SCOPED_TRACE(infected ? "infected" : "clean");
        Reset(infected, false, true);
        EXPECT_EQ(ReportVerdict(nullptr), 0u);
        EXPECT_EQ(Events, std::vector<std::string>{"open session"});
        EXPECT_EQ(CallCount(Call::InternetOpenUrlW), 0);
        EXPECT_EQ(CallCount(Call::InternetCloseHandle), 0);
        ExpectAllReleased();
    }
}

} // namespace
