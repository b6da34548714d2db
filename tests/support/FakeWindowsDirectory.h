// A Windows directory the test chooses: put FakeGetWindowsDirectoryW into
// `Underlying` and the program's indicator checks look below FakeWindowsDirectory.
#pragma once

#include <windows.h>

#include <string>

extern std::wstring FakeWindowsDirectory;

// Behaves as GetWindowsDirectoryW does: the length copied, or the size needed
// when the buffer is too small.
UINT WINAPI FakeGetWindowsDirectoryW(LPWSTR buffer, UINT size);
