// Test helper for the ReginDetector end-to-end suite (not part of the program): opens the file
// named on its command line for reading and writing with no sharing at all (share mode 0),
// prints "held", and keeps it open until its standard input ends or 120 seconds have passed,
// so that every other process fails to open the file while the helper runs.
#include <windows.h>
#include <stdio.h>

static DWORD WINAPI DrainInput(LPVOID) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    }
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: holder <file>\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("error %lu\n", GetLastError());
        fflush(stdout);
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    HANDLE drain = CreateThread(nullptr, 0, DrainInput, nullptr, 0, nullptr);
    if (drain != nullptr) {
        WaitForSingleObject(drain, 120 * 1000);
    } else {
        Sleep(120 * 1000);
    }
    CloseHandle(file);
    return 0;
}
