#include "app/ConsoleText.h"

#include "platform/Platform.h"

unsigned OutputCodePage = CP_ACP;

void SelectOutputCodePage() {
    DWORD mode = 0;
    HANDLE output = Win32.GetStdHandle(STD_OUTPUT_HANDLE);
    unsigned codePage = 0;
    if (output != nullptr && output != INVALID_HANDLE_VALUE &&
        Win32.GetConsoleMode(output, &mode)) {
        codePage = Win32.GetConsoleOutputCP();
    }
    OutputCodePage = codePage != 0 ? codePage : Win32.GetACP();
}

// The visible stand-in for what the code page cannot hold.
static void WriteStandIn(char* out, size_t* bytes, size_t* columns) {
    out[0] = '?';
    *bytes = 1;
    *columns = 1;
}

// Format characters that reorder or hide what a line shows: the bidirectional
// embeddings, overrides and isolates (U+202A-U+202E, U+2066-U+2069), the
// direction marks (U+200E, U+200F, U+061C) and the invisible characters
// (U+200B, U+2060-U+2064, U+FEFF). A file named "report" U+202E "fdp.exe"
// would show as "reportexe.pdf". The joiners U+200C and U+200D stay: Persian,
// Indic scripts and emoji need them.
static bool HidesOrReordersText(wchar_t unit) {
    return unit == 0x061C || unit == 0x200B || unit == 0x200E || unit == 0x200F ||
           (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2060 && unit <= 0x2064) ||
           (unit >= 0x2066 && unit <= 0x2069) || unit == 0xFEFF;
}

// East Asian wide and fullwidth characters take two columns on a console.
static bool IsWideCodePoint(unsigned long cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
           (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
           (cp >= 0x1F680 && cp <= 0x1F6FF) || (cp >= 0x1F900 && cp <= 0x1F9FF) ||
           (cp >= 0x1FA70 && cp <= 0x1FAFF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

size_t ConvertConsoleChar(const wchar_t* text, size_t length, size_t index, char* out,
                          size_t* bytes, size_t* columns) {
    wchar_t unit = text[index];
    // A name may hold any control character (a file server or a Unix file
    // system lets it): printed raw, ESC sequences could clear the screen or
    // forge a line, CR, LF and BS break the progress line.
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
        WriteStandIn(out, bytes, columns);
        return 1;
    }
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        *bytes = 1;
        *columns = 1;
        return 1;
    }
    if (HidesOrReordersText(unit)) {
        WriteStandIn(out, bytes, columns);
        return 1;
    }

    size_t units = 1;
    unsigned long codePoint = unit;
    if (IsHighSurrogate(unit) && index + 1 < length && IsLowSurrogate(text[index + 1])) {
        units = 2;
        codePoint = 0x10000 + ((unit - 0xD800) << 10) + (text[index + 1] - 0xDC00);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
        // Half a pair is no character at all.
        WriteStandIn(out, bytes, columns);
        return 1;
    }

    const int wide = static_cast<int>(units);
    int written = 0;
    if (OutputCodePage == CP_UTF8) {
        written = Win32.WideCharToMultiByte(CP_UTF8, 0, text + index, wide, out,
                                            static_cast<int>(MaxCharBytes), nullptr, nullptr);
    } else {
        BOOL usedDefault = FALSE;
        written =
            Win32.WideCharToMultiByte(OutputCodePage, WC_NO_BEST_FIT_CHARS, text + index, wide, out,
                                      static_cast<int>(MaxCharBytes), "?", &usedDefault);
        if (written <= 0) {
            // Some code pages refuse the no-best-fit flag.
            usedDefault = FALSE;
            written = Win32.WideCharToMultiByte(OutputCodePage, 0, text + index, wide, out,
                                                static_cast<int>(MaxCharBytes), "?", &usedDefault);
        }
        if (written > 0 && usedDefault) {
            written = 0;
        }
    }
    if (written <= 0) {
        WriteStandIn(out, bytes, columns);
        return units;
    }

    *bytes = static_cast<size_t>(written);
    if (OutputCodePage == CP_UTF8) {
        *columns = IsWideCodePoint(codePoint) ? 2 : 1;
    } else {
        // In single- and double-byte code pages a byte is a column.
        *columns = *bytes;
    }
    return units;
}

std::string ToConsoleText(const std::wstring& text) {
    std::string result;
    result.reserve(text.size());
    char converted[MaxCharBytes];
    size_t index = 0;
    while (index < text.size()) {
        size_t bytes = 0;
        size_t columns = 0;
        index += ConvertConsoleChar(text.data(), text.size(), index, converted, &bytes, &columns);
        result.append(converted, bytes);
    }
    return result;
}
