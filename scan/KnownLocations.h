// Files the malware leaves under fixed names below the Windows directory.
// Their presence alone is the indicator; their content is never read.
#pragma once

#include <stddef.h>
#include <string>
#include <vector>

constexpr size_t WindowsPathCapacity = 260;

extern const wchar_t* const SystemIndicatorFiles[3];
extern const std::vector<std::wstring> KnownDirectories;
extern const std::vector<std::wstring> KnownFileNames;

// Every known directory joined with every known file name, below the Windows
// directory: filled once, at the start of the candidate check.
extern std::vector<std::wstring> CandidatePaths;

// True when the file system has attributes for the path (a file or a directory).
bool PathExists(const std::wstring& path);

// Copies the Windows directory into `buffer`; false when it cannot be had.
bool FetchWindowsDirectory(wchar_t (&buffer)[WindowsPathCapacity]);

// Tests the three fixed indicator files.
void CheckSystemIndicatorFiles();

// Fills CandidatePaths, directories in the outer loop and names in the inner one.
void BuildCandidatePaths();

// Tests every candidate path in list order.
void CheckCandidatePaths();
