"""The transcript parser itself: well-formed transcripts pass, malformed ones are rejected.

No Wine here; these guard the checks that every program run relies on.
"""
import pytest

from harness import transcript as tr

P = tr.progress_line
FOUND_A = "C:\\windows\\system32\\nsreg1.dat"
FOUND_B = "C:\\windows\\System32\\CACHE"
LONG = "C:\\windows\\winsxs\\amd64_microsoft.windows.common-controls_6595b64144ccf1df\\comctl32.dll"


def crlf(b: bytes) -> bytes:
    return b.replace(b"\n", b"\r\n")


GOOD = [
    # (case, raw transcript, finds, number of progress lines, scan finds, infected)
    ("clean-no-progress", crlf(tr.BANNER) + crlf(tr.TAIL_CLEAN), [], 0, [], False),
    ("clean-with-progress", crlf(tr.BANNER) + P("C:\\a.txt") + P(LONG) + crlf(tr.TAIL_CLEAN), [], 2, [], False),
    ("name-finds", crlf(tr.BANNER + tr.found_line(FOUND_A) + tr.found_line(FOUND_B)) + P("C:\\x") + crlf(tr.TAIL_INFECTED),
     [FOUND_A, FOUND_B], 1, [], True),
    ("scan-find", crlf(tr.BANNER) + P("C:\\x") + tr.CLEAR_FOR_FIND + crlf(tr.found_line("C:\\x")) + P("C:\\y")
     + crlf(tr.TAIL_INFECTED), [], 2, ["C:\\x"], True),
    ("exactly-59-chars", crlf(tr.BANNER) + P("D:\\" + "a" * 56) + crlf(tr.TAIL_CLEAN), [], 1, [], False),
]


@pytest.mark.parametrize("case,raw,finds,nprogress,scan_finds,infected", GOOD, ids=[g[0] for g in GOOD])
def test_well_formed_transcripts_parse(case, raw, finds, nprogress, scan_finds, infected):
    t = tr.parse(raw)
    assert t.finds == finds
    assert len(t.progress) == nprogress
    assert t.scan_finds == scan_finds
    assert t.tail == (tr.TAIL_INFECTED if infected else tr.TAIL_CLEAN)
    assert tr.rebuild(t) == tr.normalise(raw)


BAD_PROGRESS = [
    ("78-bytes", (tr.PROGRESS_PREFIX + b"C:\\a.txt").ljust(78)),
    ("80-bytes", (tr.PROGRESS_PREFIX + b"C:\\a.txt").ljust(80)),
    ("long-path-not-shortened", (tr.PROGRESS_PREFIX + LONG.encode()[:69])),
    ("ellipsis-misplaced", (tr.PROGRESS_PREFIX + b"C:\\wi[...]" + b"x" * 50).ljust(79)),
    ("no-drive", (tr.PROGRESS_PREFIX + b"windows\\x").ljust(79)),
    ("newline-inside", (tr.PROGRESS_PREFIX + b"C:\\a\nb").ljust(79)),
]


@pytest.mark.parametrize("case,unit", BAD_PROGRESS, ids=[b[0] for b in BAD_PROGRESS])
def test_malformed_progress_lines_are_rejected(case, unit):
    raw = crlf(tr.BANNER) + unit + crlf(tr.TAIL_CLEAN)
    try:
        t = tr.parse(raw)
    except tr.TranscriptError:
        return
    # A unit the parser could not recognise as a progress line must leave it in the tail,
    # so the byte comparison against the expected tail fails.
    assert t.tail != tr.TAIL_CLEAN


@pytest.mark.parametrize("case,raw", [
    ("banner-one-blank", crlf(b"Velmora Antivirus Regin Detector - 1.0\n(c) 2026 Velmora\n\n") + crlf(tr.TAIL_CLEAN)),
    ("banner-missing-blank-line", crlf(b"Velmora Antivirus  Regin Detector - 1.0\n(c) 2026 Velmora\n") + crlf(tr.TAIL_CLEAN)),
    ("clear-without-find", crlf(tr.BANNER) + tr.CLEAR_FOR_FIND + b"Scanning C:\\x" + crlf(tr.TAIL_CLEAN)),
])
def test_broken_transcripts_raise(case, raw):
    with pytest.raises(tr.TranscriptError):
        tr.parse(raw)


@pytest.mark.parametrize("case,raw", [
    ("no-wipe", crlf(tr.BANNER) + crlf(b"\n\n" + tr.VERDICT_CLEAN + tr.PROMPT)),
    ("wipe-78-blanks", crlf(tr.BANNER) + crlf(b"\r" + b" " * 78 + b"\n\n\n" + tr.VERDICT_CLEAN + tr.PROMPT)),
    ("prompt-without-blank", crlf(tr.BANNER) + crlf(tr.TAIL_CLEAN).rstrip(b" ")),
    ("find-after-progress-without-clear", crlf(tr.BANNER) + P("C:\\x") + crlf(tr.found_line(FOUND_A) + tr.TAIL_INFECTED)),
    ("double-cr-line-ends", crlf(tr.BANNER) + crlf(tr.TAIL_CLEAN).replace(b"\r\n", b"\r\r\n")),
    ("extra-after-prompt", crlf(tr.BANNER) + crlf(tr.TAIL_CLEAN) + b"\r\n"),
])
def test_wrong_tails_do_not_match(case, raw):
    try:
        t = tr.parse(raw)
    except tr.TranscriptError:
        return
    assert t.tail not in (tr.TAIL_CLEAN, tr.TAIL_INFECTED)


@pytest.mark.parametrize("path,shown", [
    ("D:\\" + "a" * 56, "D:\\" + "a" * 56),                           # 59 chars: as is
    ("D:\\" + "a" * 56 + "b", "D:\\a[...]" + "a" * 50 + "b"),           # 60 chars: shortened
    (LONG, LONG[:4] + "[...]" + LONG[-51:]),
])
def test_shortening_rule(path, shown):
    assert tr.shown_path(path) == shown
    line = tr.progress_line(path)
    assert len(line) == tr.LINE_WIDTH
    tr.check_progress_line(line)


def test_indicator_table_order_and_size():
    paths = tr.indicator_paths()
    assert len(paths) == 3 + 5 * 20 == len(set(paths))
    assert paths[:3] == ["C:\\windows\\system32\\nsreg1.dat", "C:\\windows\\system32\\bssec3.dat",
                         "C:\\windows\\system32\\msrdc64.dat"]
    assert paths[3] == "C:\\windows\\System32\\config\\SystemAudit.Evt"
    assert paths[-1] == "C:\\windows\\System32\\wbem\\repository\\tapiscfg.dat"
