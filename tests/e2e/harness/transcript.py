"""What ReginDetector prints, and a parser for its stdout transcript.

The parser works on the bytes the program wrote to a redirected stdout. Under Wine that stream
is in text mode, so line ends arrive as CRLF; `normalise` turns them back into LF. Bare CRs
(progress lines, the wipe) are kept.
"""
from __future__ import annotations

import dataclasses
import re

BANNER = b"Velmora Antivirus  Regin Detector - 1.0\n(c) 2026 Velmora\n\n"
LINE_WIDTH = 79                      # every progress line / blank-out is exactly this many bytes
BLANKS = b"\r" + b" " * LINE_WIDTH   # "\r" + 79 blanks
WIPE = BLANKS + b"\n"                # printed once after the scan
CLEAR_FOR_FIND = BLANKS + b"\r"      # printed before a find made while progress lines are shown
PROGRESS_PREFIX = b"\rScanning "
SHORTEN_FROM = 60                    # paths with this many characters or more are shortened
SHORT_HEAD, SHORT_TAIL, ELLIPSIS = 4, 51, b"[...]"

VERDICT_CLEAN = b"No known infections of regin found.\nYour system looks clean.\n\n"
VERDICT_INFECTED = (b"Your system is possibly infected with Regin.\n"
                    b"Please contact us immediately at www.velmora.example.\n\n")
PROMPT = b"Please press enter to continue... "
TAIL_CLEAN = WIPE + b"\n\n" + VERDICT_CLEAN + PROMPT
TAIL_INFECTED = WIPE + b"\n\n" + VERDICT_INFECTED + PROMPT

WINDIR = "C:\\windows"
FIXED_FILES = ["system32\\nsreg1.dat", "system32\\bssec3.dat", "system32\\msrdc64.dat"]
FOLDERS = ["\\System32\\config\\", "\\System32\\", "\\pchealth\\helpctr\\Database\\",
           "\\Panther\\", "\\System32\\wbem\\repository\\"]
NAMES = ["SystemAudit.Evt", "SystemLog.Evt", "SecurityLog.Evt", "SecurityAudit.Evt", "CACHE",
         "SESSIONMGR", "UsrClass.dat", "cdata.dat", "cdata.edb", "UsrEvent.evt",
         "ApplicationLog.Evt", "setup.etl.000", "INDEX2.DATA", "OBJECTS2.DATA", "dnscache.dat",
         "mregnx.dat", "displn32.dat", "dmdskwk.dat", "nvwrsnu.dat", "tapiscfg.dat"]


def indicator_paths() -> list[str]:
    """Every path the program checks by name, as it prints them, in the order it checks them."""
    first = [WINDIR + "\\" + f for f in FIXED_FILES]
    return first + [WINDIR + folder + name for folder in FOLDERS for name in NAMES]


def found_line(path: str) -> bytes:
    return b"Found: " + path.encode("ascii") + b"\n"


def shown_path(path: str) -> str:
    """How a progress line shows `path`."""
    if len(path) >= SHORTEN_FROM:
        return path[:SHORT_HEAD] + ELLIPSIS.decode() + path[-SHORT_TAIL:]
    return path


def progress_line(path: str) -> bytes:
    return (PROGRESS_PREFIX + shown_path(path).encode("latin-1")).ljust(LINE_WIDTH, b" ")


def normalise(raw: bytes) -> bytes:
    return raw.replace(b"\r\n", b"\n")


class TranscriptError(AssertionError):
    pass


@dataclasses.dataclass
class Transcript:
    banner: bytes
    finds: list[str]                 # "Found:" lines before any progress line (name checks)
    progress: list[bytes]            # each a 79-byte progress line, as printed
    scan_finds: list[str]            # "Found:" lines made during the walk (after a blank-out)
    tail: bytes                      # everything after the walk: wipe, blank lines, verdict, prompt
    events: list[tuple[str, bytes]]  # ("find"|"progress"|"scan_find", bytes) in output order

    @property
    def shown(self) -> list[str]:
        """The text shown by each progress line, padding removed."""
        return [p[len(PROGRESS_PREFIX):].rstrip(b" ").decode("latin-1") for p in self.progress]

    @property
    def all_finds(self) -> list[str]:
        return self.finds + self.scan_finds


_FOUND = re.compile(rb"Found: ([^\r\n]*)\n")


def parse(raw: bytes) -> Transcript:
    """Split a transcript into its parts. Raises TranscriptError on anything malformed.

    Accepted shape (after CRLF -> LF):
      BANNER, "Found: P\\n"*, then any mix of progress lines ("\\rScanning ..." padded to 79
      bytes) and scan finds ("\\r"+79 blanks+"\\r" + "Found: P\\n"), then the tail.
    The tail is returned as is; callers compare it byte for byte.
    """
    data = normalise(raw)
    if not data.startswith(BANNER):
        raise TranscriptError(f"transcript does not start with the banner: {data[:120]!r}")
    pos = len(BANNER)
    finds: list[str] = []
    progress: list[bytes] = []
    scan_finds: list[str] = []
    events: list[tuple[str, bytes]] = []
    while True:
        m = _FOUND.match(data, pos)
        if not m:
            break
        finds.append(m.group(1).decode("latin-1"))
        events.append(("find", m.group(0)))
        pos = m.end()
    while True:
        if data.startswith(PROGRESS_PREFIX, pos):
            unit = data[pos:pos + LINE_WIDTH]
            check_progress_line(unit, offset=pos)
            progress.append(unit)
            events.append(("progress", unit))
            pos += LINE_WIDTH
        elif data.startswith(CLEAR_FOR_FIND, pos):
            m = _FOUND.match(data, pos + len(CLEAR_FOR_FIND))
            if not m:
                raise TranscriptError(
                    f"blank-out at byte {pos} not followed by a Found line: "
                    f"{data[pos + len(CLEAR_FOR_FIND):pos + len(CLEAR_FOR_FIND) + 80]!r}")
            scan_finds.append(m.group(1).decode("latin-1"))
            events.append(("scan_find", data[pos:m.end()]))
            pos = m.end()
        else:
            break
    return Transcript(BANNER, finds, progress, scan_finds, data[pos:], events)


def check_progress_line(unit: bytes, offset: int = 0) -> None:
    if len(unit) != LINE_WIDTH:
        raise TranscriptError(f"progress line at byte {offset} is {len(unit)} bytes, not {LINE_WIDTH}: {unit!r}")
    if b"\n" in unit or b"\r" in unit[1:]:
        raise TranscriptError(f"progress line at byte {offset} contains a line break: {unit!r}")
    shown = unit[len(PROGRESS_PREFIX):].rstrip(b" ")
    if not shown:
        raise TranscriptError(f"progress line at byte {offset} shows no path: {unit!r}")
    if len(shown) >= SHORTEN_FROM:
        if len(shown) != SHORT_HEAD + len(ELLIPSIS) + SHORT_TAIL or shown[SHORT_HEAD:SHORT_HEAD + len(ELLIPSIS)] != ELLIPSIS:
            raise TranscriptError(f"progress line at byte {offset} shows a long path not shortened as "
                                  f"{SHORT_HEAD} chars + [...] + {SHORT_TAIL} chars: {unit!r}")
    if not re.match(rb"[A-Z]:\\", shown):
        raise TranscriptError(f"progress line at byte {offset} does not show a drive path: {unit!r}")


def render(finds: list[str], progress: list[bytes], infected: bool, scan_finds: list[str] = ()) -> bytes:
    """The exact transcript (LF line ends) for the given finds, progress lines and verdict.

    Scan finds are placed after all progress lines, so only use them where the order does not
    matter or the caller built `progress` accordingly.
    """
    out = BANNER + b"".join(found_line(p) for p in finds) + b"".join(progress)
    out += b"".join(CLEAR_FOR_FIND + found_line(p) for p in scan_finds)
    return out + (TAIL_INFECTED if infected else TAIL_CLEAN)


def rebuild(t: Transcript) -> bytes:
    """The transcript `t` was parsed from (LF line ends), from its events in order."""
    return t.banner + b"".join(e[1] for e in t.events) + t.tail


def win(letter: str, rel: str) -> str:
    """The Windows path of `rel` (Unix separators) on drive `letter`."""
    return f"{letter.upper()}:\\" + rel.replace("/", "\\")


# --- transcripts in a code page other than ASCII -----------------------------------------------

TEXT_COLUMNS = LINE_WIDTH - len(PROGRESS_PREFIX)      # 69 columns for the path


def in_code_page(text: str, cp: str) -> bytes:
    """`text` as the program prints it: character by character, '?' for what `cp` cannot hold."""
    out = b""
    for ch in text:
        try:
            out += ch.encode(cp)
        except UnicodeEncodeError:
            out += b"?"
    return out


def expected_shown(path: str, cp: str) -> bytes:
    """The progress line's path part for `path` (BMP characters only): whole when it has fewer
    than 60 characters and fits in 69 columns, else the first 4 characters, "[...]" and the last
    51 characters; when that is wider than 69 columns, as much of the end as fits."""
    cols = lambda s: len(in_code_page(s, cp))      # a byte is a column in 1252 and 932
    if len(path) < SHORTEN_FROM and cols(path) <= TEXT_COLUMNS:
        return in_code_page(path, cp)
    head = path[:SHORT_HEAD]
    if len(path) >= SHORTEN_FROM:
        tail = path[-SHORT_TAIL:]
        if cols(head) + len(ELLIPSIS) + cols(tail) <= TEXT_COLUMNS:
            return in_code_page(head, cp) + ELLIPSIS + in_code_page(tail, cp)
    room = TEXT_COLUMNS - cols(head) - len(ELLIPSIS)
    start, used = len(path), 0
    while start > len(head) and used + cols(path[start - 1]) <= room:
        used += cols(path[start - 1])
        start -= 1
    return in_code_page(head, cp) + ELLIPSIS + in_code_page(path[start:], cp)


def progress_unit(shown: bytes) -> bytes:
    return (PROGRESS_PREFIX + shown).ljust(LINE_WIDTH, b" ")


def parse_bytes(raw: bytes) -> tuple[list[bytes], list[bytes], bytes]:
    """Progress lines (79 bytes each, as printed) and finds (path bytes) of a transcript in a
    multibyte code page, checking that each progress line is exactly 79 bytes and each find
    is a whole line; returns (progress lines, finds, tail)."""
    data = normalise(raw)
    assert data.startswith(BANNER)
    pos, shown, finds = len(BANNER), [], []
    while True:
        if data.startswith(PROGRESS_PREFIX, pos):
            unit = data[pos:pos + LINE_WIDTH]
            assert len(unit) == LINE_WIDTH and b"\r" not in unit[1:] and b"\n" not in unit, \
                f"progress line at byte {pos} is not {LINE_WIDTH} bytes: {data[pos:pos + 2 * LINE_WIDTH]!r}"
            shown.append(unit)
            pos += LINE_WIDTH
        elif data.startswith(CLEAR_FOR_FIND + b"Found: ", pos):
            start = pos + len(CLEAR_FOR_FIND) + len(b"Found: ")
            end = data.find(b"\n", start)
            assert end > 0 and b"\r" not in data[start:end], f"find at byte {pos} is not a whole line"
            finds.append(data[start:end])
            pos = end + 1
        else:
            return shown, finds, data[pos:]
