"""What the scan must never do to the machine it runs on or to the console it prints to:

1. block another program's save, delete or rename of a file while the file is being hashed
   (a helper opens a large file for writing and deleting again and again during the hash);
2. let a file name steer the console: names holding ESC sequences (clear screen, window title),
   CR, LF, BS, BEL, TAB, DEL and C1 controls are shown with '?' for each control character,
   every progress line stays 79 columns, and a find among them is one complete line;
3. let a file name pass for another: under code page 1256, which holds the direction marks
   U+200E and U+200F, every character that reorders or hides text (bidirectional controls and
   marks, invisible characters) is shown as '?', while the joiners U+200C and U+200D and Arabic
   letters are shown as the code page holds them.

What Wine 8 does here (measured):
- Share modes are enforced across processes of one wineserver: while a file is open for reading
  with FILE_SHARE_READ alone, another process's open for writing fails with error 32.
- Names holding ESC, CR, LF, BS, BEL or TAB are listed as they are, but opening them fails
  (ERROR_INVALID_NAME): they are shown, not hashed. Names holding DEL or C1 characters list and
  open, so a sample under such a name is found.
- LC_CTYPE=ar_SA.UTF-8 gives ANSI code page 1256, the one the program writes in when its output
  is not a console. Names holding bidirectional controls, marks and invisible characters list and
  open as they are.
"""
from __future__ import annotations

from pathlib import Path

import pytest

from harness import console, helpers, prefix as wp, transcript as tr
from harness.transcript import expected_shown, parse_bytes, progress_unit, win
from harness.walkmodel import expected_walk, make_tree

pytestmark = pytest.mark.wine

HERE = Path(__file__).resolve().parent
SAMPLE = (HERE.parent / "fixtures" / "sample-a.bin").read_bytes()


@pytest.fixture(scope="module")
def writer_exe(work_dir: Path) -> Path:
    """writer.cpp: REGIN_E2E_WRITER (built by CMake), else built here with MinGW."""
    return helpers.helper_exe("REGIN_E2E_WRITER", "writer.cpp", work_dir, "-municode")


# ================================================================================================
# 1. Others' saves while a file is hashed
# ================================================================================================

BIG = "disk image.vhdx"       # sparse, 512 MiB: about a second and a half of hashing under Wine
BIG_BYTES = 512 * 2**20
AFTER = "after.txt"           # on E:, the next file the walk shows once the big one is hashed


@pytest.fixture(scope="module")
def sharing(template, run_dir, exe, writer_exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        d, e = sb.map_drive("d"), sb.map_drive("e")
        with open(d / BIG, "wb") as f:
            f.truncate(BIG_BYTES)
        (e / AFTER).write_bytes(b"after the image")
        sb.restart_server()
        writer = helpers.Beside(sb, writer_exe, win("d", BIG))
        first = writer.wait_output()
        window: dict[str, int] = {}

        def watch_hashing(run: console.ConsoleRun) -> None:
            """Count the writer's attempts from the image's progress line to the next one."""
            for key, line in (("start", tr.progress_line(win("d", BIG))),
                              ("end", tr.progress_line(win("e", AFTER)))):
                console.wait_until(lambda: line in run.stdout() or run.status() is not None,
                                   console.PROMPT_TIMEOUT)
                window[key] = len(writer.lines())

        try:
            r = console.run_console(sb, exe, during=watch_hashing)
        finally:
            writer.stop()
        yield dict(r=r, first=first, window=window, attempts=writer.lines())
    finally:
        sb.close()


def test_saves_are_never_refused_while_a_file_is_hashed(sharing):
    r, attempts, window = sharing["r"], sharing["attempts"], sharing["window"]
    assert r.status == 0
    t = tr.parse(r.stdout)
    assert t.tail == tr.TAIL_CLEAN
    assert t.shown.count(win("d", BIG)) == 1
    assert sharing["first"].endswith(" ok"), f"the writer could not open the image at all: {sharing['first']!r}"
    assert set(window) == {"start", "end"}, f"the walk never showed the image and the file after it: {window}"
    during = window["end"] - window["start"]
    assert during >= 3, f"only {during} attempts while the image was hashed: cannot tell"
    refused = [a for a in attempts if not a.endswith(" ok")]
    assert refused == [], f"{len(refused)} of {len(attempts)} opens refused (the first: {refused[:3]})"


# ================================================================================================
# 2. Names that would steer the console
# ================================================================================================

# (id, name on G:): none holds the sample but the last
CONTROL_NAMES = [
    ("clear-screen", "\x1b[2J\x1b[Hcleared.txt"),
    ("window-title", "\x1b]0;owned\x07title.txt"),
    ("forged-line", "x\r\x1b[2KFound- fake.dll"),
    ("carriage-return", "line\rreturn.txt"),
    ("line-feed", "line\nfeed.txt"),
    ("backspace", "back\b\b\bspace.txt"),
    ("bell", "bell\a.txt"),
    ("tab", "tab\there.txt"),
    ("delete", "del\x7f.txt"),
    ("c1-controls", "c1\u0081\u008d\u0085.txt"),
    ("csi-in-a-long-name", "long " + "n" * 50 + "\u009b2J\x1b[31mred\x1b[0m.txt"),
]
CONTROL_FIND = "found\x7f\u009b\u0081\u0090.bin"     # DEL and C1 controls, with the sample
CONTROL_TREE = [(name, b"plain") for _, name in CONTROL_NAMES] + [(CONTROL_FIND, SAMPLE)]
CP = "cp1252"                   # what the console shows with LC_CTYPE=C.UTF-8


def stood_in(text: str) -> str:
    return "".join("?" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c for c in text)


def walk_of_g(template, run_dir, exe, tree, locale: str):
    """One run with `tree` as drive G: under `locale`: the run, its progress lines (79 bytes
    each), its finds (whole lines), its tail and the files of G: in walk order."""
    sb = wp.Sandbox(template, run_dir)
    try:
        g = sb.map_drive("g")
        make_tree(g, tree)
        sb.restart_server()
        expected = expected_walk(g, "G:")
        r = console.run_console(sb, exe, env={"LC_CTYPE": locale})
        shown, finds, tail = parse_bytes(r.stdout)
        yield dict(r=r, shown=shown, finds=finds, tail=tail, expected=expected)
    finally:
        sb.close()


@pytest.fixture(scope="module")
def controls(template, run_dir, fixture_exe):
    yield from walk_of_g(template, run_dir, fixture_exe, CONTROL_TREE, "C.UTF-8")


def test_no_control_byte_reaches_the_console(controls):
    """Outside the line structure (CR before each line, LF after a find, CRLF in text mode) the
    output holds no control byte at all, and the lines of G: no C1 byte either."""
    data = tr.normalise(controls["r"].stdout)
    bad = sorted({b for b in data if (b < 0x20 and b not in b"\r\n") or b == 0x7F})
    assert bad == [], f"control bytes in the output: {[hex(b) for b in bad]}"
    for unit in controls["shown"] + controls["finds"]:
        if unit.startswith(tr.PROGRESS_PREFIX + b"G:") or unit.startswith(b"G:"):
            assert not any(0x80 <= b <= 0x9F for b in unit), f"a C1 byte on the console: {unit!r}"
            assert b"\r" not in unit[1:] and b"\n" not in unit


def test_control_names_shown_with_stand_ins_in_79_columns(controls):
    """Every file of G:, in walk order, has one progress line of exactly 79 bytes that shows its
    path with '?' for each control character, shortened where it is long."""
    assert len(controls["expected"]) == len(CONTROL_TREE)
    on_g = [s for s in controls["shown"] if s.startswith(tr.PROGRESS_PREFIX + b"G:")]
    want = [progress_unit(expected_shown(stood_in(p), CP)) for p in controls["expected"]]
    assert on_g == want


def test_a_find_under_a_control_name_is_one_whole_line(controls):
    assert controls["r"].status == 0
    assert controls["tail"] == tr.TAIL_INFECTED
    assert controls["finds"] == [stood_in(win("g", CONTROL_FIND)).encode(CP)]


# ================================================================================================
# 3. Names that would pass for others
# ================================================================================================

# Bidirectional embeddings, overrides and isolates, direction marks, invisible characters.
REORDERING = set("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
                 "\u200e\u200f\u061c\u200b\u2060\u2061\u2062\u2063\u2064\ufeff")
ARABIC_CP = "cp1256"            # LC_CTYPE=ar_SA.UTF-8
# (id, name on G:): none holds the sample but the last
FORMAT_NAMES = [
    ("marks", "mark\u200eleft\u200fright\u061c.txt"),
    ("embeddings", "emb\u202aed\u202b\u202c\u202d.txt"),
    ("isolates", "iso\u2066la\u2067t\u2068ed\u2069.txt"),
    ("invisible", "in\u200bvis\u2060i\u2061b\u2062l\u2063e\u2064\ufeff.txt"),
    ("marks-in-head-and-tail", "\u200f" + "n" * 60 + "\u202e\u200e.txt"),
    ("joiners", "join\u200cer\u200d.txt"),
    ("arabic", "\u0645\u0644\u0641.txt"),
]
FORMAT_FIND = "report\u202efdp.exe"      # shown as it stands, it reads "reportexe.pdf"
FORMAT_TREE = [(name, b"plain") for _, name in FORMAT_NAMES] + [(FORMAT_FIND, SAMPLE)]


def format_stood_in(text: str) -> str:
    return "".join("?" if c in REORDERING else c for c in text)


@pytest.fixture(scope="module")
def formats(template, run_dir, fixture_exe):
    yield from walk_of_g(template, run_dir, fixture_exe, FORMAT_TREE, "ar_SA.UTF-8")


def test_format_names_shown_with_stand_ins_in_79_columns(formats):
    """Every file of G:, in walk order, has one progress line of exactly 79 bytes showing its path
    in code page 1256 with '?' for each character that reorders or hides text."""
    assert len(formats["expected"]) == len(FORMAT_TREE)
    on_g = [s for s in formats["shown"] if s.startswith(tr.PROGRESS_PREFIX + b"G:")]
    want = [progress_unit(expected_shown(format_stood_in(p), ARABIC_CP)) for p in formats["expected"]]
    assert on_g == want


def test_no_direction_mark_reaches_the_console_and_joiners_do(formats):
    """Code page 1256 holds U+200E and U+200F as bytes 0xFD and 0xFE: neither is printed. The
    joiners (0x9D, 0x9E) and Arabic letters are."""
    data = tr.normalise(formats["r"].stdout)
    assert b"\xfd" not in data and b"\xfe" not in data
    shown = [u[len(tr.PROGRESS_PREFIX):].rstrip(b" ") for u in formats["shown"]]
    assert b"G:\\join\x9der\x9e.txt" in shown
    assert "G:\\\u0645\u0644\u0641.txt".encode(ARABIC_CP) in shown


def test_a_find_names_the_file_that_is_there(formats):
    assert formats["r"].status == 0
    assert formats["tail"] == tr.TAIL_INFECTED
    assert formats["finds"] == [b"G:\\report?fdp.exe"]
