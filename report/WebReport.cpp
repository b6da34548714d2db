#include "report/WebReport.h"

#include "scan/Findings.h"

#define REPORT_HOST L"report.velmora.example"

const wchar_t ReportHost[] = REPORT_HOST;
const wchar_t ReportAgent[] = L"VelmoraReginDetector";
const wchar_t CleanReportUrl[] = L"http://" REPORT_HOST L"/regin.php?clean";
const wchar_t InfectedReportUrl[] = L"http://" REPORT_HOST L"/regin.php?infected";

static_assert(ReportRequestFlags == 0x84080200, "report request flags");

DWORD WINAPI ReportVerdict(LPVOID) {
    HINTERNET session = Win32.InternetOpenW(
        ReportAgent, INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, nullptr, nullptr, 0);
    if (session == nullptr) {
        return 0;
    }
    const wchar_t* url = InfectionFound ? InfectedReportUrl : CleanReportUrl;
    HINTERNET request = Win32.InternetOpenUrlW(session, url, nullptr, 0, ReportRequestFlags, 0);
    if (request != nullptr) {
        Win32.InternetCloseHandle(request);
    }
    Win32.InternetCloseHandle(session);
    return 0;
}
