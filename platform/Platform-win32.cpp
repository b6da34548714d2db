#include "platform/Platform.h"

#include <conio.h>

const PlatformCalls RealWin32 = {
    ::GetWindowsDirectoryW,
    ::GetFileAttributesW,
    ::GetDriveTypeW,
    ::FindFirstFileW,
    ::FindNextFileW,
    ::FindClose,
    ::CreateFileW,
    ::ReadFile,
    ::GetFileInformationByHandle,
    ::GetFileInformationByHandleEx,
    ::CloseHandle,

    ::SetErrorMode,
    ::SetThreadExecutionState,

    ::CreateThread,
    ::WaitForSingleObject,

    ::CryptAcquireContextW,
    ::CryptCreateHash,
    ::CryptHashData,
    ::CryptGetHashParam,
    ::CryptDestroyHash,
    ::CryptReleaseContext,

    ::InternetOpenW,
    ::InternetOpenUrlW,
    ::InternetCloseHandle,

    ::GetStdHandle,
    ::GetConsoleMode,
    ::GetConsoleOutputCP,
    ::GetACP,
    ::WideCharToMultiByte,

    ::_getch,
    ::_vswprintf_c_l,
};

PlatformCalls Win32 = RealWin32;

void RestorePlatformCalls() {
    Win32 = RealWin32;
}

int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    if (count == 0) {
        return -1;
    }
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    int written = Win32._vswprintf_c_l(buffer, count, format, nullptr, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= count) {
        buffer[0] = L'\0';
        return -1;
    }
    return written;
}
