"""The drive walk: every file of every drive C:..Z: that is present gets one progress line, long
paths are shortened, drives of every type are walked, a drive that cannot be listed does not stop
the run. One run serves every check here."""
import collections
import os
from pathlib import Path

import pytest

from harness import prefix as wp, transcript as tr
from harness.console import run_console

pytestmark = pytest.mark.wine

NAME_59 = "a" * 56                       # "D:\" + 56 chars = 59 characters: shown as is
NAME_60 = "b" * 57                       # 60 characters: the first length that is shortened
DEEP = "deeper folder/" * 6 + "the last file name is here.txt"
# (drive letter, type or None for a plain folder, files to create relative to the drive root)
DRIVES = [
    ("d", None, [NAME_59, NAME_60, DEEP, "plain.txt"]),
    ("e", "cdrom", ["disc/readme.txt"]),
    ("f", "network", ["share/data.bin"]),
    ("g", "floppy", ["a.txt"]),
    ("h", "hd", ["h-drive.txt"]),
]
MISSING_CDROM = "k"                      # mapped as cdrom, folder absent: listing it fails


@pytest.fixture(scope="module")
def walk(template, run_dir, exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        for letter, kind, files in DRIVES:
            root = sb.map_drive(letter, drive_type=kind)
            for rel in files:
                p = root / rel
                p.parent.mkdir(parents=True, exist_ok=True)
                p.write_bytes(rel.encode())
        sb.map_drive(MISSING_CDROM, sb.dir / "no-such-disc", drive_type="cdrom", create=False)
        sb.restart_server()
        r = run_console(sb, exe)
        t = tr.parse(r.stdout)
        c_files = sorted("C:\\" + str(Path(dp, f).relative_to(sb.drive_c)).replace("/", "\\")
                         for dp, _, fs in os.walk(sb.drive_c) for f in fs)
        yield r, t, c_files
    finally:
        sb.close()


@pytest.fixture(scope="module")
def shown(walk):
    r, t, _ = walk
    assert t.progress, "the program printed no progress lines during the walk"
    return collections.Counter(t.shown)


def test_walk_run_completes(walk):
    r, t, _ = walk
    assert r.status == 0
    assert t.tail == tr.TAIL_CLEAN
    assert t.finds == [] and t.scan_finds == []


def test_every_file_on_c_once(walk, shown):
    _, _, c_files = walk
    expected = collections.Counter(tr.shown_path(p) for p in c_files)
    on_c = collections.Counter({k: v for k, v in shown.items() if k.startswith("C:")})
    missing = expected - on_c
    extra = on_c - expected
    assert not missing and not extra, f"missing {list(missing)[:10]}, extra {list(extra)[:10]}"


@pytest.mark.parametrize("letter,kind,rel", [(d, k, f) for d, k, fs in DRIVES for f in fs],
                         ids=[f"{d}-{k or 'folder'}-{len(f)}chars" for d, k, fs in DRIVES for f in fs])
def test_files_on_mapped_drives(shown, letter, kind, rel):
    path = tr.win(letter, rel)
    assert shown[tr.shown_path(path)] == 1, f"{path} ({kind or 'folder'} drive)"


@pytest.mark.parametrize("path,expected", [
    (tr.win("d", NAME_59), tr.win("d", NAME_59)),
    (tr.win("d", NAME_60), "D:\\b[...]" + "b" * 51),
    (tr.win("d", DEEP), "D:\\d[...]" + tr.win("d", DEEP)[-51:]),
], ids=["59-chars-as-is", "60-chars-shortened", "deep-path-shortened"])
def test_long_paths_are_shortened(shown, path, expected):
    assert shown[expected] == 1, f"{path}: expected {expected!r}"


def test_drives_in_letter_order(walk, shown):
    _, t, _ = walk
    letters = [s[0] for s in t.shown]
    assert letters == sorted(letters)
    assert set(letters) == {"C"} | {d.upper() for d, _, _ in DRIVES}


def test_folders_get_no_progress_line(walk, shown):
    assert shown["D:\\deeper folder"] == 0
    assert not any(s.endswith("\\") for s in shown)
