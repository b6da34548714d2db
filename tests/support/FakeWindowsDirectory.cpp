#include "support/FakeWindowsDirectory.h"

#include <wchar.h>

std::wstring FakeWindowsDirectory;

UINT WINAPI FakeGetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    if (FakeWindowsDirectory.size() >= size) {
        return static_cast<UINT>(FakeWindowsDirectory.size() + 1);
    }
    wcscpy(buffer, FakeWindowsDirectory.c_str());
    return static_cast<UINT>(FakeWindowsDirectory.size());
}
