// Narrow console text from UTF-16 paths.
//
// The C runtime's own wide-to-narrow directives cannot be trusted here: one
// character the code page cannot hold ends the whole line (newline included)
// in Microsoft's runtime, and MinGW's printf does not know "%ws" at all. So the
// program converts paths itself, character by character, with a visible "?"
// for whatever the output code page cannot hold, for every control character
// (U+0000-U+001F, U+007F-U+009F), so that no file name can steer the console,
// and for the format characters that reorder or hide text (bidirectional
// controls and marks, invisible characters), so that no name can pass for
// another. Then it prints narrow text.
#pragma once

#include <stddef.h>
#include <string>

// The code page console text is written in: the console's output code page
// when standard output is a console, the ANSI code page otherwise.
extern unsigned OutputCodePage;

// Chooses `OutputCodePage` for the current standard output.
void SelectOutputCodePage();

// The most bytes one character (a surrogate pair counts as one) can take.
constexpr size_t MaxCharBytes = 4;

// The two halves of a UTF-16 surrogate pair.
inline bool IsHighSurrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool IsLowSurrogate(wchar_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Converts the character that starts at text[index] into `out` (room for
// MaxCharBytes). Stores the bytes written in *bytes and the screen columns
// they take in *columns; returns the number of UTF-16 units consumed (1 or 2).
size_t ConvertConsoleChar(const wchar_t* text, size_t length, size_t index, char* out,
                          size_t* bytes, size_t* columns);

// The whole text in the output code page.
std::string ToConsoleText(const std::wstring& text);
