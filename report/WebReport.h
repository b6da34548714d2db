// The verdict, sent to the maker's report server with one HTTP GET.
#pragma once

#include "platform/Platform.h"

// The host that receives the report: a name under the reserved ".example"
// domain, so that no third party ever receives a request.
extern const wchar_t ReportHost[];
extern const wchar_t ReportAgent[];
extern const wchar_t CleanReportUrl[];
extern const wchar_t InfectedReportUrl[];

// Request flags: always from the server (no cache read or write), no cookies, no dialogs.
constexpr DWORD ReportRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                     INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;

// The report thread's body: requests the URL that InfectionFound selects and
// ignores the answer. Every failure is silent. Returns 0.
DWORD WINAPI ReportVerdict(LPVOID unused);
