#include "app/StatusLine.h"

#include "app/ConsoleText.h"

#include <stdio.h>
#include <string.h>

char StatusLine[StatusLineSize];

namespace {

// Text after the carriage return may take this many columns.
constexpr size_t TextColumns = StatusLineColumns - 1;

// Appends the characters of text[0, length) while they fit in the columns
// left; returns false (having appended what fitted) when one did not.
bool AppendText(const wchar_t* text, size_t length, size_t* used, size_t* columns) {
    size_t index = 0;
    while (index < length) {
        char converted[MaxCharBytes];
        size_t bytes = 0;
        size_t width = 0;
        size_t units = ConvertConsoleChar(text, length, index, converted, &bytes, &width);
        // Room is kept for the blanks that pad the line and the terminator.
        if (*columns + width > TextColumns ||
            *used + bytes + (TextColumns - *columns - width) >= StatusLineSize) {
            return false;
        }
        memcpy(StatusLine + *used, converted, bytes);
        *used += bytes;
        *columns += width;
        index += units;
    }
    return true;
}

// Start index of the longest tail of `path` whose characters fit in `room` columns.
size_t TailThatFits(const std::wstring& path, size_t room) {
    size_t start = path.size();
    size_t columns = 0;
    while (start > 0) {
        size_t previous = start - 1;
        if (previous > 0 && IsLowSurrogate(path[previous]) && IsHighSurrogate(path[previous - 1])) {
            --previous;
        }
        char converted[MaxCharBytes];
        size_t bytes = 0;
        size_t width = 0;
        ConvertConsoleChar(path.data(), path.size(), previous, converted, &bytes, &width);
        if (columns + width > room) {
            break;
        }
        columns += width;
        start = previous;
    }
    return start;
}

// Writes "\r" + text into StatusLine; false when the text is wider than the line.
bool FormatStatus(const std::wstring& path, size_t headEnd, size_t tailStart, size_t* used,
                  size_t* columns) {
    static const wchar_t Scanning[] = L"Scanning ";
    static const wchar_t Marker[] = L"[...]";
    *used = 0;
    *columns = 0;
    StatusLine[(*used)++] = '\r';
    if (!AppendText(Scanning, 9, used, columns) ||
        !AppendText(path.data(), headEnd, used, columns)) {
        return false;
    }
    if (tailStart < path.size() || headEnd < path.size()) {
        if (!AppendText(Marker, 5, used, columns) ||
            !AppendText(path.data() + tailStart, path.size() - tailStart, used, columns)) {
            return false;
        }
    }
    return true;
}

} // namespace

void ShowProgress(const std::wstring& path) {
    const size_t length = path.size();
    size_t used = 0;
    size_t columns = 0;
    bool fits =
        length < ElisionThreshold
            ? FormatStatus(path, length, length, &used, &columns)
            : FormatStatus(path, ElisionHeadUnits, length - ElisionTailUnits, &used, &columns);
    if (!fits) {
        // Wide characters: keep the head and the marker, and as much of the
        // end of the path (the file's own name) as the line can show.
        const size_t headEnd = length < ElisionHeadUnits ? length : ElisionHeadUnits;
        FormatStatus(path, headEnd, length, &used, &columns);
        size_t tailStart = TailThatFits(path, TextColumns - columns);
        if (tailStart < headEnd) {
            tailStart = headEnd;
        }
        FormatStatus(path, headEnd, tailStart, &used, &columns);
    }
    while (columns < TextColumns) {
        StatusLine[used++] = ' ';
        ++columns;
    }
    StatusLine[used] = '\0';
    printf("%s", StatusLine);
    fflush(stdout);
}

void ClearStatusLine() {
    memset(StatusLine, ' ', StatusLineColumns);
    StatusLine[StatusLineColumns] = '\0';
    printf("\r%s\r", StatusLine);
    fflush(stdout);
}
