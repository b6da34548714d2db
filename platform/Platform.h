// The program's only door to the operating system and the C runtime's console.
//
// Every system call goes through the process-wide table `Win32`, whose entries
// default to the real functions. A test replaces one entry at a time to make a
// call fail or to count what is acquired and released, then restores the table.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

// Attributes of files whose content lives elsewhere (a cloud store, tiered or
// archive storage), which older SDK headers lack.
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

struct PlatformCalls {
    // Files, directories and drives.
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::GetDriveTypeW) GetDriveTypeW;
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::ReadFile) ReadFile;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    decltype(&::CloseHandle) CloseHandle;

    // The process's error dialogs and the system's sleep.
    decltype(&::SetErrorMode) SetErrorMode;
    decltype(&::SetThreadExecutionState) SetThreadExecutionState;

    // Threads.
    decltype(&::CreateThread) CreateThread;
    decltype(&::WaitForSingleObject) WaitForSingleObject;

    // MD5 through CryptoAPI.
    decltype(&::CryptAcquireContextW) CryptAcquireContextW;
    decltype(&::CryptCreateHash) CryptCreateHash;
    decltype(&::CryptHashData) CryptHashData;
    decltype(&::CryptGetHashParam) CryptGetHashParam;
    decltype(&::CryptDestroyHash) CryptDestroyHash;
    decltype(&::CryptReleaseContext) CryptReleaseContext;

    // The report request.
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW;
    decltype(&::InternetCloseHandle) InternetCloseHandle;

    // Console text.
    decltype(&::GetStdHandle) GetStdHandle;
    decltype(&::GetConsoleMode) GetConsoleMode;
    decltype(&::GetConsoleOutputCP) GetConsoleOutputCP;
    decltype(&::GetACP) GetACP;
    decltype(&::WideCharToMultiByte) WideCharToMultiByte;

    // The C runtime's keyboard and counted wide formatting.
    int(__cdecl* _getch)(void);
    int(__cdecl* _vswprintf_c_l)(wchar_t* buffer, size_t count, const wchar_t* format,
                                 _locale_t locale, va_list args);
};

// The table the program calls through, and the real calls it starts with.
extern PlatformCalls Win32;
extern const PlatformCalls RealWin32;

// Puts every entry of `Win32` back to the real call.
void RestorePlatformCalls();

// Counted wide formatting through `Win32._vswprintf_c_l` in the C locale.
// Returns the number of characters written, or a negative value when the text
// did not fit in `count` characters (the buffer then holds an empty string).
int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...);
