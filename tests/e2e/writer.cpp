// Test helper for the ReginDetector end-to-end suite (not part of the program): opens the file
// named on its command line for writing and deleting, as a program saving, replacing or
// rotating it would (letting others read it meanwhile), closes it again, and repeats every few
// milliseconds. Each attempt prints one line, "<milliseconds since start> ok" or
// "<milliseconds> error <code>". Ends when its standard input ends or after 120 seconds.
#include <windows.h>
#include <stdio.h>

static volatile LONG InputEnded = 0;

static DWORD WINAPI DrainInput(LPVOID) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    }
    InterlockedExchange(&InputEnded, 1);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: writer <file>\n");
        return 2;
    }
    HANDLE drain = CreateThread(nullptr, 0, DrainInput, nullptr, 0, nullptr);
    const ULONGLONG start = GetTickCount64();
    while (InterlockedCompareExchange(&InputEnded, 0, 0) == 0 &&
           GetTickCount64() - start < 120 * 1000) {
        HANDLE file = CreateFileW(argv[1], GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const unsigned long long now = GetTickCount64() - start;
        if (file == INVALID_HANDLE_VALUE) {
            printf("%llu error %lu\n", now, GetLastError());
        } else {
            printf("%llu ok\n", now);
            CloseHandle(file);
        }
        fflush(stdout);
        Sleep(5);
    }
    if (drain != nullptr) {
        CloseHandle(drain);
    }
    return 0;
}
