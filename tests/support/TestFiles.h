// Real files for the tests, in a fresh folder below the Wine prefix's temp folder.
#pragma once

#include <string>

// A new, empty folder; removed again by RemoveTree.
std::wstring MakeTempFolder();

void MakeFolder(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
void RemoveTree(const std::wstring& path);

// The bytes of a file of tests/fixtures, which the build copies beside the test program.
std::string ReadFixture(const char* name);

// The program names files and folders to the platform in the exact "\\?\" form
// ("\\?\C:\dir\*"): the plain path that form names, after checking it is there.
std::wstring PlainPath(const wchar_t* exactPath);

// Narrow text of a path, for messages (UTF-8).
std::string Narrow(const std::wstring& text);

// A path as the program prints it: converted as its console text is, in its
// output code page (the ANSI code page in the tests, as with output to a file).
std::string Shown(const std::wstring& path);

// Captures what the program prints to standard output between the two calls.
void BeginCapture();
std::string EndCapture();
