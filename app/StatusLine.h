// The progress line, rewritten in place for every file the drive walk meets.
#pragma once

#include <stddef.h>
#include <string>

// Every status line covers exactly this many columns of the console.
constexpr size_t StatusLineColumns = 79;

// Paths of this many UTF-16 units or more are shown shortened around "[...]".
constexpr size_t ElisionThreshold = 60;
constexpr size_t ElisionHeadUnits = 4;
constexpr size_t ElisionTailUnits = 51;

// A console column can take up to four bytes (UTF-8), so the buffer holds
// 79 columns in any code page; in single- and double-byte code pages a
// printed line is exactly 79 bytes.
constexpr size_t StatusLineSize = StatusLineColumns * 4 + 1;
extern char StatusLine[StatusLineSize];

// Prints "\rScanning " and the path (shortened when long), padded with blanks
// to 79 columns, without a newline.
void ShowProgress(const std::wstring& path);

// Blanks the current line and leaves the cursor at its start.
void ClearStatusLine();
