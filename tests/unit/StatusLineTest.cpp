// The progress line and the console text it is made of: exact bytes for ASCII
// paths, and for paths the output code page cannot fully hold, a line that
// still covers exactly 79 columns, stays inside its buffer and shows the end of
// the file name, with '?' for what the code page lacks. The conversions
// expected below are what Wine's WideCharToMultiByte gives (the same as
// Windows' tables for these characters).
#include "app/ConsoleText.h"
#include "app/StatusLine.h"
#include "scan/Findings.h"
#include "support/PlatformLedger.h"
#include "support/TestFiles.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// 1256 (Arabic) is a single-byte code page that holds the direction marks
// U+200E and U+200F and the joiners U+200C and U+200D.
const unsigned CodePages[] = {1252, 437, 1256, 932, 936, CP_UTF8};

// East Asian wide characters among those the tests print: two console columns.
bool IsWide(unsigned long cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) ||
           (cp >= 0x1F300 && cp <= 0x1F64F);
}

// The text decoded from the code page; false when it holds an invalid or
// incomplete sequence.
bool Decode(const std::string& text, unsigned codePage, std::wstring* wide) {
    wide->clear();
    if (text.empty()) {
        return true;
    }
    int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return false;
    }
    wide->resize(size);
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        &(*wide)[0], size);
    return true;
}

// Console columns of narrow text: a byte is a column in single- and
// double-byte code pages; in UTF-8 a character is one column, or two if wide.
size_t Columns(const std::string& text, unsigned codePage) {
    if (codePage != CP_UTF8) {
        return text.size();
    }
    std::wstring wide;
    if (!Decode(text, CP_UTF8, &wide)) {
        ADD_FAILURE() << "invalid UTF-8 in the line";
        return 0;
    }
    size_t columns = 0;
    for (size_t i = 0; i < wide.size(); ++i) {
        unsigned long cp = wide[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        }
        columns += IsWide(cp) ? 2 : 1;
    }
    return columns;
}

std::string Hex(const std::string& bytes) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : bytes) {
        text += Digits[c >> 4];
        text += Digits[c & 0x0F];
        text += ' ';
    }
    return text;
}

// `piece` repeated (cut off where needed) to exactly `units` UTF-16 units.
std::wstring Repeat(const std::wstring& piece, size_t units) {
    std::wstring text;
    while (text.size() < units) {
        text += piece;
    }
    text.resize(units);
    return text;
}

// A path of exactly `units` UTF-16 units made of `piece` and ending in `name`.
std::wstring PathOfUnits(size_t units, const std::wstring& piece, const std::wstring& name) {
    return L"C:\\" + Repeat(piece, units - 3 - name.size()) + name;
}

// A path of ASCII letters ending in a file name, of exactly `units` units.
std::wstring AsciiPath(size_t units) {
    return PathOfUnits(units, L"abcdefghij\\klmnopqrstuvwxyz\\", L"\\report-final.txt");
}

std::string PaddedLine(const std::string& text) {
    std::string line = "\r" + text;
    line.resize(std::max<size_t>(line.size(), StatusLineColumns), ' ');
    return line;
}

bool IsControl(wchar_t unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

// The format characters that may reorder or hide what a line shows:
// bidirectional controls and marks, and invisible characters.
bool HidesOrReorders(wchar_t unit) {
    static const std::vector<wchar_t> Listed = {
        0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069, 0x200E,
        0x200F, 0x061C, 0x200B, 0x2060, 0x2061, 0x2062, 0x2063, 0x2064, 0xFEFF};
    return std::find(Listed.begin(), Listed.end(), unit) != Listed.end();
}

// ESC sequences (clear screen, set the window title), CR, LF, BS, BEL, TAB,
// DEL and C1 controls (CSI, NEL) in one name.
const std::wstring ControlPath = L"C:\\x\x1b[2J\x1b]0;owned\x07y\r\n\b\t\x7f\x9b\x85z.txt";

class ProgressLine : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        SavedCodePage = OutputCodePage;
    }
    void TearDown() override {
        OutputCodePage = SavedCodePage;
        PlatformTest::TearDown();
    }

    std::string Show(const std::wstring& path) {
        BeginCapture();
        ShowProgress(path);
        return EndCapture();
    }

    unsigned SavedCodePage = 0;
};

TEST_F(ProgressLine, AsciiPathsAreShownWholeBelowSixtyUnitsAndShortenedFromSixty) {
    OutputCodePage = 1252;
    struct Case {
        size_t Units;
        bool Shortened;
    };
    for (const Case& c : {Case{25, false}, Case{59, false}, Case{60, true}, Case{200, true}}) {
        std::wstring path = AsciiPath(c.Units);
        ASSERT_EQ(path.size(), c.Units);
        SCOPED_TRACE(Narrow(path));
        std::string expected = c.Shortened
                                   ? PaddedLine("Scanning " + Narrow(path.substr(0, 4)) + "[...]" +
                                                Narrow(path.substr(path.size() - 51)))
                                   : PaddedLine("Scanning " + Narrow(path));
        std::string line = Show(path);
        EXPECT_EQ(line, expected);
        EXPECT_EQ(line.size(), 79u);
        EXPECT_EQ(line, StatusLine);
    }
}

TEST_F(ProgressLine, AShortLineAfterALongOneBlanksAllOfIt) {
    // Double-byte characters fill the long line up to its last column or the
    // one before (a character of two columns may not fit in the last).
    OutputCodePage = 932;
    const std::wstring longPath = PathOfUnits(200, L"\u65e5\u672c\u8a9e\\", L"\\a.txt");
    BeginCapture();
    ShowProgress(longPath);
    ShowProgress(L"C:\\a.txt");
    std::string printed = EndCapture();

    ASSERT_EQ(printed.size(), 2 * StatusLineColumns);
    const std::string longLine = printed.substr(0, StatusLineColumns);
    EXPECT_GE(longLine.find_last_not_of(' '), StatusLineColumns - 2) << longLine;
    EXPECT_EQ(printed.substr(StatusLineColumns), PaddedLine("Scanning C:\\a.txt"));
}

TEST_F(ProgressLine, ClearingPrintsAReturnSeventyNineBlanksAndAReturn) {
    // Whatever the buffer held before (a UTF-8 line can take all of it).
    memset(StatusLine, 'G', StatusLineSize);
    BeginCapture();
    ClearStatusLine();
    EXPECT_EQ(EndCapture(), "\r" + std::string(79, ' ') + "\r");
}

TEST_F(ProgressLine, NonAsciiPathsFillExactlyOneLineInEveryCodePage) {
    std::wstring pairs;
    for (int i = 0; i < 100; ++i) {
        pairs += L"\U0001F600";
    }
    struct Case {
        const char* Name;
        std::wstring Path;
    };
    const std::vector<Case> cases = {
        {"accented Latin", L"C:\\Users\\Jos\u00e9\\Ma\u00f1ana\\caf\u00e9-cr\u00e8me.txt"},
        {"kana and CJK", L"C:\\\u30c7\u30fc\u30bf\\\u65e5\u672c\u8a9e\\\u6587\u4ef6.txt"},
        {"Hangul", L"C:\\\ud55c\uad6d\\\ud30c\uc77c.txt"},
        {"surrogate pair", L"C:\\photos\\smile\U0001F600.png"},
        {"surrogate pair at the end", L"C:\\photos\\\U0001F600"},
        {"unpaired high surrogate", L"C:\\bad\\a\xD83D"
                                    L"b.txt"},
        {"unpaired low surrogate", L"C:\\bad\\a\xDE00"
                                   L"b.txt"},
        {"high surrogate at the end", L"C:\\bad\\ab\xD83D"},
        {"CJK, 59 units",
         PathOfUnits(59, L"\u65e5\u672c\u8a9e\u30d5\u30a9\u30eb\u30c0\\", L"\\\u6587\u4ef6.txt")},
        {"CJK, 60 units",
         PathOfUnits(60, L"\u65e5\u672c\u8a9e\u30d5\u30a9\u30eb\u30c0\\", L"\\\u6587\u4ef6.txt")},
        {"CJK, 200 units",
         PathOfUnits(200, L"\u65e5\u672c\u8a9e\u30d5\u30a9\u30eb\u30c0\\", L"\\\u6587\u4ef6.txt")},
        {"half-width kana, 200 units",
         PathOfUnits(200, L"\uff71\uff72\uff73\uff74\\", L"\\\uff75.txt")},
        {"100 surrogate pairs", L"C:\\" + pairs + L"\\a.txt"},
        {"pair cut by the shown head",
         L"C:\\\U0001F600\\" + Repeat(L"abc\u00e9\u65e5", 60) + L"\\x.txt"},
        {"CJK and pairs, 300 units", PathOfUnits(300, L"\u65e5\U0001F600", L"\\a.txt")},
        // 69 and 70 columns where double-byte and wide: the first fills the
        // line exactly, the second is one column too wide to be shown whole.
        {"CJK filling the line", L"C:\\" + Repeat(L"\u65e5", 30) + L"\\a.txt"},
        {"CJK one column too wide", L"C:\\" + Repeat(L"\u65e5", 30) + L"\\ab.txt"},
        // Names may hold control characters: none may reach the console.
        {"escape sequences and line controls", ControlPath},
        {"control characters in the shown head and tail",
         L"C:\x1b]" + Repeat(L"abc\\", 60) + L"\x1b[2J\r\n\x7f\x9b\x85.txt"},
        // Nor any character that reorders or hides what the line shows.
        {"format characters in a short name", L"C:\\report\u202efdp.exe"},
        {"format characters in the shown head and tail",
         L"C:\u202e\\" + Repeat(L"abc\\", 60) +
             L"\u2066\u200f\u061c\u200b\u2060\u2064\ufeff\u202a\u2069\u200e\u202c.txt"},
    };

    for (unsigned codePage : CodePages) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + " in code page " + std::to_string(codePage));
            OutputCodePage = codePage;
            memset(StatusLine, 'G', StatusLineSize);
            std::string line = Show(c.Path);

            // Terminated inside the buffer, and printed as it stands there.
            ASSERT_NE(memchr(StatusLine, '\0', StatusLineSize), nullptr);
            EXPECT_EQ(line, StatusLine);
            ASSERT_FALSE(line.empty());
            EXPECT_EQ(line[0], '\r');
            const std::string text = line.substr(1);
            SCOPED_TRACE("printed: " + Hex(text));

            // No NUL, newline, return or other control byte after the first.
            EXPECT_TRUE(std::none_of(text.begin(), text.end(),
                                     [](char b) { return static_cast<unsigned char>(b) < 0x20; }));
            std::wstring decoded;
            EXPECT_TRUE(Decode(text, codePage, &decoded)) << "not valid text in the code page";
            EXPECT_TRUE(std::none_of(decoded.begin(), decoded.end(), IsControl))
                << "a control character reaches the console";
            EXPECT_TRUE(std::none_of(decoded.begin(), decoded.end(), HidesOrReorders))
                << "a character that reorders or hides text reaches the console";
            EXPECT_EQ(1 + Columns(text, codePage), StatusLineColumns);
            if (codePage != CP_UTF8) {
                EXPECT_EQ(line.size(), StatusLineColumns);
            }

            ASSERT_EQ(text.compare(0, 9, "Scanning "), 0);
            const size_t shownEnd = text.find_last_not_of(' ') + 1;
            const std::string shown = text.substr(9, shownEnd - 9);
            const size_t padding = text.size() - shownEnd;
            const std::string whole = ToConsoleText(c.Path);
            if (c.Path.size() < ElisionThreshold && 9 + Columns(whole, codePage) <= 78) {
                EXPECT_EQ(shown, whole);
                continue;
            }

            // Shortened: the head, the marker, then a tail of the path that
            // holds the whole file name: the last 51 units, or as much as fits.
            const std::string head = ToConsoleText(c.Path.substr(0, ElisionHeadUnits));
            ASSERT_EQ(shown.compare(0, head.size() + 5, head + "[...]"), 0);
            const std::string tail = shown.substr(head.size() + 5);
            const std::string name = ToConsoleText(c.Path.substr(c.Path.rfind(L'\\') + 1));
            ASSERT_GE(tail.size(), name.size());
            EXPECT_EQ(tail.substr(tail.size() - name.size()), name) << "the file name is cut";
            if (c.Path.size() >= ElisionTailUnits &&
                ToConsoleText(c.Path.substr(c.Path.size() - ElisionTailUnits)) == tail) {
                continue;
            }
            // Not the last 51 units because they do not fit: the tail is all
            // that fits, the character before it would not have.
            size_t tailStart = c.Path.size() + 1;
            for (size_t k = ElisionHeadUnits; k <= c.Path.size(); ++k) {
                if (ToConsoleText(c.Path.substr(k)) == tail) {
                    tailStart = k;
                    break;
                }
            }
            ASSERT_LE(tailStart, c.Path.size()) << "the tail is no end of the path";
            size_t before = tailStart - 1;
            if (before > 0 && c.Path[before] >= 0xDC00 && c.Path[before] <= 0xDFFF &&
                c.Path[before - 1] >= 0xD800 && c.Path[before - 1] <= 0xDBFF) {
                --before;
            }
            const std::string previous = ToConsoleText(c.Path.substr(before, tailStart - before));
            EXPECT_GT(Columns(previous, codePage), padding);
        }
    }
}

class ConsoleConversion : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        SavedCodePage = OutputCodePage;
    }
    void TearDown() override {
        OutputCodePage = SavedCodePage;
        PlatformTest::TearDown();
    }
    unsigned SavedCodePage = 0;
};

TEST_F(ConsoleConversion, OneCharacterBecomesItsBytesColumnsAndUnits) {
    struct Case {
        unsigned CodePage;
        std::wstring Text;
        size_t Length; // units of Text the call may look at
        size_t Index;
        std::string Bytes;
        size_t Columns;
        size_t Units;
    };
    const std::wstring pair = L"\U0001F600";
    const std::wstring high(1, static_cast<wchar_t>(0xD83D));
    const std::wstring low(1, static_cast<wchar_t>(0xDE00));
    const std::vector<Case> cases = {
        {1252, L"A", 1, 0, "A", 1, 1},
        {1252, L"x\u00e9", 2, 1, "\xE9", 1, 1},
        // No best fit: a-macron is not shown as 'a'.
        {1252, L"\u0101", 1, 0, "?", 1, 1},
        {1252, L"\u20ac", 1, 0, "\x80", 1, 1},
        {1252, L"\u65e5", 1, 0, "?", 1, 1},
        {1252, pair, 2, 0, "?", 1, 2},
        {437, L"\u00e9", 1, 0, "\x82", 1, 1},
        // No best fit: these would become a line feed and a carriage return.
        {437, L"\u25d9", 1, 0, "?", 1, 1},
        {437, L"\u266a", 1, 0, "?", 1, 1},
        {932, L"\u65e5", 1, 0, "\x93\xFA", 2, 1},
        {932, L"\uff71", 1, 0, "\xB1", 1, 1},
        {932, L"\u8fd9", 1, 0, "?", 1, 1},
        {932, L"\u00e9", 1, 0, "?", 1, 1},
        {932, L"\ud55c", 1, 0, "?", 1, 1},
        {932, pair, 2, 0, "?", 1, 2},
        {936, L"\u8fd9", 1, 0, "\xD5\xE2", 2, 1},
        {936, L"\u00e9", 1, 0, "\xA8\xA6", 2, 1},
        {936, L"\u20ac", 1, 0, "\x80", 1, 1},
        {936, L"\uff71", 1, 0, "?", 1, 1},
        {CP_UTF8, L"\u00e9", 1, 0, "\xC3\xA9", 1, 1},
        {CP_UTF8, L"\u65e5", 1, 0, "\xE6\x97\xA5", 2, 1},
        {CP_UTF8, L"\uff71", 1, 0, "\xEF\xBD\xB1", 1, 1},
        {CP_UTF8, L"\ud55c", 1, 0, "\xED\x95\x9C", 2, 1},
        {CP_UTF8, pair, 2, 0, "\xF0\x9F\x98\x80", 2, 2},
        // Halves of a pair, also a pair cut by the length the call is given.
        {CP_UTF8, high + L"b", 2, 0, "?", 1, 1},
        {CP_UTF8, L"a" + low, 2, 1, "?", 1, 1},
        {CP_UTF8, pair, 1, 0, "?", 1, 1},
        {CP_UTF8, pair, 2, 1, "?", 1, 1},
        {932, high + L"b", 2, 0, "?", 1, 1},
        {932, pair, 1, 0, "?", 1, 1},
        {1252, low, 1, 0, "?", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code page " + std::to_string(c.CodePage) + ", unit " +
                     std::to_string(static_cast<unsigned>(c.Text[c.Index])));
        OutputCodePage = c.CodePage;
        char out[MaxCharBytes + 4];
        memset(out, 'G', sizeof(out));
        size_t bytes = 99;
        size_t columns = 99;
        size_t units = ConvertConsoleChar(c.Text.c_str(), c.Length, c.Index, out, &bytes, &columns);
        ASSERT_LE(bytes, MaxCharBytes);
        EXPECT_EQ(Hex(std::string(out, bytes)), Hex(c.Bytes));
        EXPECT_EQ(columns, c.Columns);
        EXPECT_EQ(units, c.Units);
        EXPECT_EQ(std::string(out + MaxCharBytes, 4), "GGGG") << "written past the character";
    }
}

// Every kind of character at once: accented Latin, CJK, a pair, characters
// only some code pages hold, halves of pairs, and a half at the very end.
const std::wstring MixedPath = L"C:\\Jos\u00e9\\\u65e5\u672c\\\u6587\u4ef6\U0001F600\\"
                               L"\u0101\u20ac\ud55c\uff71\\a\xDE00"
                               L"b\xD83D"
                               L"c.txt\xD83D";

TEST_F(ConsoleConversion, AWholePathIsConvertedWithAStandInForEachMissingCharacter) {
    struct Case {
        unsigned CodePage;
        std::string Expected;
    };
    const Case cases[] = {
        {1252, "C:\\Jos\xE9\\??\\???\\?\x80??\\a?b?c.txt?"},
        {437, "C:\\Jos\x82\\??\\???\\????\\a?b?c.txt?"},
        {932, "C:\\Jos?\\\x93\xFA\x96{\\\x95\xB6\x8C\x8F?\\???\xB1\\a?b?c.txt?"},
        {936, "C:\\Jos\xA8\xA6\\\xC8\xD5\xB1\xBE\\\xCE\xC4\xBC\xFE?\\\xA8\xA1\x80??\\a?b?c.txt?"},
        {CP_UTF8, "C:\\Jos\xC3\xA9\\\xE6\x97\xA5\xE6\x9C\xAC\\\xE6\x96\x87\xE4\xBB\xB6\xF0\x9F\x98"
                  "\x80\\\xC4\x81\xE2\x82\xAC\xED\x95\x9C\xEF\xBD\xB1\\a?b?c.txt?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code page " + std::to_string(c.CodePage));
        OutputCodePage = c.CodePage;
        EXPECT_EQ(Hex(ToConsoleText(MixedPath)), Hex(c.Expected));
    }
}

TEST_F(ConsoleConversion, EveryControlCharacterOfAPathIsAStandInInEveryCodePage) {
    for (unsigned codePage : CodePages) {
        SCOPED_TRACE("code page " + std::to_string(codePage));
        OutputCodePage = codePage;
        EXPECT_EQ(ToConsoleText(ControlPath), "C:\\x?[2J?]0;owned?y???????z.txt");
    }
    // The edges: U+001F/U+0020, U+007E/U+007F and U+009F/U+00A0.
    OutputCodePage = CP_UTF8;
    for (unsigned unit = 0; unit <= 0xA0; ++unit) {
        SCOPED_TRACE("U+" + Hex(std::string(1, static_cast<char>(unit))));
        const std::string expected = unit == 0xA0      ? "\xC2\xA0"
                                     : IsControl(unit) ? "?"
                                                       : std::string(1, static_cast<char>(unit));
        EXPECT_EQ(ToConsoleText(std::wstring(1, static_cast<wchar_t>(unit))), expected);
    }
}

TEST_F(ConsoleConversion, CharactersThatReorderOrHideTextAreStandInsAndJoinersStay) {
    // Around each listed character, in a single-byte code page that holds some
    // of them and in UTF-8, which holds them all: every listed character is a
    // stand-in, every neighbour is what the code page makes of it.
    const std::vector<std::pair<unsigned, unsigned>> blocks = {
        {0x0600, 0x0700}, {0x2000, 0x2070}, {0xFE00, 0xFF01}};
    for (unsigned codePage : {1256u, static_cast<unsigned>(CP_UTF8)}) {
        OutputCodePage = codePage;
        for (const auto& block : blocks) {
            for (unsigned unit = block.first; unit < block.second; ++unit) {
                SCOPED_TRACE("U+" + Hex(std::string(1, static_cast<char>(unit >> 8))) +
                             Hex(std::string(1, static_cast<char>(unit & 0xFF))) +
                             " in code page " + std::to_string(codePage));
                const wchar_t character = static_cast<wchar_t>(unit);
                std::string expected = "?";
                if (!HidesOrReorders(character)) {
                    char bytes[8] = {};
                    BOOL usedDefault = FALSE;
                    const int size = RealWin32.WideCharToMultiByte(
                        codePage, codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, &character, 1,
                        bytes, static_cast<int>(sizeof(bytes)), codePage == CP_UTF8 ? nullptr : "?",
                        codePage == CP_UTF8 ? nullptr : &usedDefault);
                    expected = size > 0 && !usedDefault ? std::string(bytes, size) : "?";
                }
                EXPECT_EQ(Hex(ToConsoleText(std::wstring(L"a") + character + L"b")),
                          Hex("a" + expected + "b"));
            }
        }
    }
    // What the code pages hold of them, as the loop above relies on.
    OutputCodePage = 1256;
    EXPECT_EQ(Hex(ToConsoleText(L"\u200c\u200d\u200e\u200f")), Hex("\x9D\x9E??"));
    OutputCodePage = CP_UTF8;
    EXPECT_EQ(Hex(ToConsoleText(L"\u200c\u200d\u202e")), Hex("\xE2\x80\x8C\xE2\x80\x8D?"));
}

TEST_F(ConsoleConversion, AFoundLineNamesTheFileThatIsThereNotTheOneItWouldShow) {
    // Shown as it stands, "report" U+202E "fdp.exe" reads "reportexe.pdf".
    for (unsigned codePage : CodePages) {
        SCOPED_TRACE("code page " + std::to_string(codePage));
        OutputCodePage = codePage;
        InfectionFound = false;
        BeginCapture();
        RecordFind(L"C:\\Users\\ann\\report\u202efdp.exe");
        EXPECT_EQ(EndCapture(), "Found: C:\\Users\\ann\\report?fdp.exe\n");
        EXPECT_TRUE(InfectionFound);
    }
    InfectionFound = false;
}

std::vector<DWORD> ConversionFlags;

int WINAPI FailingWideCharToMultiByte(UINT, DWORD flags, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) {
    ConversionFlags.push_back(flags);
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

int WINAPI NoBestFitRefusingWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int length,
                                                LPSTR out, int size, LPCCH fallback,
                                                LPBOOL usedFallback) {
    ConversionFlags.push_back(flags);
    if (flags & WC_NO_BEST_FIT_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return RealWin32.WideCharToMultiByte(codePage, flags, text, length, out, size, fallback,
                                         usedFallback);
}

TEST_F(ConsoleConversion, AFailingConversionStillGivesEveryCharacterAStandIn) {
    OutputCodePage = 932;
    ConversionFlags.clear();
    Win32.WideCharToMultiByte = FailingWideCharToMultiByte;
    EXPECT_EQ(ToConsoleText(MixedPath), "C:\\Jos?\\??\\???\\????\\a?b?c.txt?");
    // Tried with and without the no-best-fit flag for each of the 10 characters
    // that reach the conversion (halves of pairs never do).
    EXPECT_EQ(ConversionFlags.size(), 20u);

    // A code page that refuses the flag is converted without it.
    OutputCodePage = 1252;
    ConversionFlags.clear();
    Win32.WideCharToMultiByte = NoBestFitRefusingWideCharToMultiByte;
    EXPECT_EQ(ToConsoleText(L"C:\\Jos\u00e9\\\u65e5\u672c.txt"), "C:\\Jos\xE9\\??.txt");
    EXPECT_EQ(ConversionFlags, (std::vector<DWORD>{WC_NO_BEST_FIT_CHARS, 0, WC_NO_BEST_FIT_CHARS, 0,
                                                   WC_NO_BEST_FIT_CHARS, 0}));
}

// The console's code page when standard output is a console, else the ANSI one.
HANDLE FakeOutput;
BOOL FakeIsConsole;
UINT FakeConsoleCodePage;

HANDLE WINAPI FakeGetStdHandle(DWORD) {
    return FakeOutput;
}
BOOL WINAPI FakeGetConsoleMode(HANDLE, LPDWORD mode) {
    *mode = 3;
    return FakeIsConsole;
}
UINT WINAPI FakeGetConsoleOutputCP() {
    return FakeConsoleCodePage;
}
// An ANSI code page other than Wine's own, so that the real one cannot pass.
UINT WINAPI FakeGetACP() {
    return 1251;
}

TEST_F(ConsoleConversion, TheOutputCodePageIsTheConsolesOrElseTheAnsiOne) {
    struct Case {
        HANDLE Output;
        BOOL IsConsole;
        UINT ConsoleCodePage;
        unsigned Expected;
    };
    const Case cases[] = {
        {reinterpret_cast<HANDLE>(0x44), TRUE, 932, 932},
        {reinterpret_cast<HANDLE>(0x44), TRUE, CP_UTF8, CP_UTF8},
        {reinterpret_cast<HANDLE>(0x44), FALSE, 932, 1251},
        {reinterpret_cast<HANDLE>(0x44), TRUE, 0, 1251},
        {nullptr, TRUE, 932, 1251},
        {INVALID_HANDLE_VALUE, TRUE, 932, 1251},
    };
    Win32.GetStdHandle = FakeGetStdHandle;
    Win32.GetConsoleMode = FakeGetConsoleMode;
    Win32.GetConsoleOutputCP = FakeGetConsoleOutputCP;
    Win32.GetACP = FakeGetACP;
    for (const Case& c : cases) {
        SCOPED_TRACE("console code page " + std::to_string(c.ConsoleCodePage) +
                     (c.IsConsole ? ", a console" : ", no console"));
        FakeOutput = c.Output;
        FakeIsConsole = c.IsConsole;
        FakeConsoleCodePage = c.ConsoleCodePage;
        OutputCodePage = 0;
        SelectOutputCodePage();
        EXPECT_EQ(OutputCodePage, c.Expected);
    }
}

} // namespace
