#include "support/TestFiles.h"

#include "app/ConsoleText.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::wstring MakeTempFolder() {
    static unsigned sequence = 0;
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) {
        // No folder to stand in: tests plant files in it and remove it whole.
        fprintf(stderr, "no temp folder for the tests\n");
        exit(2);
    }
    std::wstring base(temp, length);
    for (;;) {
        std::wstring folder = base + L"regin-test-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++sequence);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            fprintf(stderr, "cannot create %s for the tests\n", Narrow(folder).c_str());
            exit(2);
        }
    }
}

void MakeFolder(const std::wstring& path) {
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        ADD_FAILURE() << "cannot create folder " << Narrow(path) << ": " << GetLastError();
    }
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create file " << Narrow(path) << ": " << GetLastError();
        return;
    }
    DWORD written = 0;
    if (!bytes.empty() &&
        (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
         written != bytes.size())) {
        ADD_FAILURE() << "cannot write " << Narrow(path);
    }
    CloseHandle(file);
}

void RemoveTree(const std::wstring& path) {
    // The exact form, so that names ending in a blank or a dot can be removed too.
    const std::wstring exact = path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((exact + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = exact + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(child);
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryW(child.c_str());
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(exact.c_str());
}

std::string ReadFixture(const char* name) {
    // The build puts the fixtures beside the test program, so that a copy of the
    // program and its fixtures runs anywhere, on Windows as under Wine.
    static wchar_t program[32768];
    DWORD length = GetModuleFileNameW(nullptr, program, 32768);
    if (length == 0 || length >= 32768) {
        ADD_FAILURE() << "cannot tell where the test program is";
        return std::string();
    }
    std::wstring path(program, length);
    path.erase(path.find_last_of(L'\\') + 1);
    path += L"fixtures\\";
    path.append(name, name + strlen(name));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "missing fixture " << Narrow(path);
        return std::string();
    }
    std::string bytes;
    char piece[4096];
    DWORD read = 0;
    while (ReadFile(file, piece, sizeof(piece), &read, nullptr) && read > 0) {
        bytes.append(piece, read);
    }
    CloseHandle(file);
    return bytes;
}

std::wstring PlainPath(const wchar_t* exactPath) {
    static const wchar_t Prefix[] = L"\\\\?\\";
    std::wstring path = exactPath;
    if (path.compare(0, 4, Prefix) != 0) {
        ADD_FAILURE() << "not the exact form: " << Narrow(path);
        return path;
    }
    return path.substr(4);
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0],
                            size, nullptr, nullptr);
    }
    return result;
}

std::string Shown(const std::wstring& path) {
    return ToConsoleText(path);
}

void BeginCapture() {
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string EndCapture() {
    fflush(stdout);
    std::string text = testing::internal::GetCapturedStdout();
    // Standard output is in text mode: fold line ends back to "\n".
    std::string folded;
    folded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        folded += text[i];
    }
    return folded;
}
