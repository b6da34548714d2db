"""Finds by content during the drive walk, with the build whose digest table also holds the MD5
of tests/fixtures/sample-a.bin (sample-b.bin's entry is written in capitals and must never
match). A find shows right after its file's progress line: a blank-out, then "Found: <path>",
with the full path, never shortened."""
from pathlib import Path

import pytest

from harness import transcript as tr

pytestmark = pytest.mark.wine

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"
SAMPLE_A = FIXTURES / "sample-a.bin"
SAMPLE_B = FIXTURES / "sample-b.bin"
LONG_DIR = "Program Files/Velmora test tree/with a rather long folder name/and one more level"

# (case, [(drive letter, path on it, fixture)], expected scan finds in walk order)
PLANTS = [
    ("one-sample-on-c",
     [("c", "windows/system32/drivers/hidden.sys", SAMPLE_A)],
     ["C:\\windows\\system32\\drivers\\hidden.sys"]),
    ("long-path-found-in-full",
     [("c", f"{LONG_DIR}/sample copy.bin", SAMPLE_A)],
     ["C:\\" + LONG_DIR.replace("/", "\\") + "\\sample copy.bin"]),
    ("samples-on-c-and-d",
     [("d", "payload.dat", SAMPLE_A), ("c", "users/Public/a.bin", SAMPLE_A)],
     ["C:\\users\\Public\\a.bin", "D:\\payload.dat"]),
    ("uppercase-digest-never-matches",
     [("c", "windows/temp/b.bin", SAMPLE_B)],
     []),
]


def plant(sb, letter: str, rel: str, src: Path) -> None:
    root = sb.drive_c if letter == "c" else sb.map_drive(letter)
    p = root / rel
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_bytes(src.read_bytes())


def check_finds_follow_their_progress_line(t: tr.Transcript) -> None:
    for i, (kind, data) in enumerate(t.events):
        if kind != "scan_find":
            continue
        path = data[len(tr.CLEAR_FOR_FIND) + len(b"Found: "):-1].decode("latin-1")
        assert i > 0 and t.events[i - 1] == ("progress", tr.progress_line(path)), \
            f"find of {path} does not follow its progress line"


@pytest.mark.parametrize("case,plants,expected", PLANTS, ids=[p[0] for p in PLANTS])
def test_digest_finds(sandbox, fixture_exe, scanner, case, plants, expected):
    for letter, rel, src in plants:
        plant(sandbox, letter, rel, src)
    r = scanner.console(sandbox, fixture_exe)
    assert r.status == 0
    t = tr.parse(r.stdout)
    assert t.finds == []
    assert t.scan_finds == expected
    assert t.tail == (tr.TAIL_INFECTED if expected else tr.TAIL_CLEAN)
    check_finds_follow_their_progress_line(t)
    assert tr.rebuild(t) == tr.normalise(r.stdout)


def test_release_build_does_not_know_the_fixture(sandbox, exe, scanner):
    plant(sandbox, "c", "windows/system32/drivers/hidden.sys", SAMPLE_A)
    r = scanner.console(sandbox, exe)
    assert r.status == 0
    t = tr.parse(r.stdout)
    assert t.all_finds == [] and t.tail == tr.TAIL_CLEAN


def test_name_and_digest_finds_together(sandbox, fixture_exe, scanner):
    sandbox.plant_file("system32/msrdc64.dat")
    plant(sandbox, "c", "windows/Panther/x.bin", SAMPLE_A)
    r = scanner.console(sandbox, fixture_exe)
    t = tr.parse(r.stdout)
    assert t.finds == ["C:\\windows\\system32\\msrdc64.dat"]
    assert t.scan_finds == ["C:\\windows\\Panther\\x.bin"]
    assert t.tail == tr.TAIL_INFECTED
