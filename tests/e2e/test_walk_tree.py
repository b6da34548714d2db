"""The drive walk over a tree on a mapped drive D:: every file shown exactly once, after every file
of C: and before those of E: (drives in letter order), depth first in the order Wine lists a
folder, each folder walked right where the walk meets it. Folders whose names begin with a dot,
hidden and system files, an empty file, an empty folder and long paths are walked like any
other. The last progress line of the walk stays until the wipe before the verdict.

How Wine lists a folder (Wine 8, checked with a listing helper and by these tests): "." and ".."
first, then every entry sorted by name, compared without case (each UTF-16 unit upper-cased)
and, on a tie, by exact UTF-16 units; so "Beta" < "beta.txt" < "Zulu" < "_under.txt". A name
that begins with a dot is hidden by default. Wine's `attrib` applies only the last of several
flags given in one call, so each flag is set by a call of its own.

The walk is modelled by `harness.walkmodel`.
"""
from __future__ import annotations

import re

import pytest

from harness import prefix as wp, transcript as tr
from harness.console import run_console
from harness.walkmodel import expected_walk, make_tree

pytestmark = pytest.mark.wine

LONG_DIR = "long folder name for the walk/and a second level"
# (path on D:, content); a path ending in "/" is an empty folder
D_TREE = [
    ("alpha.txt", b"alpha"),
    ("Beta/one.txt", b"one"),
    ("Beta/deep1/deep2/deep3/deep4.txt", b"four levels down"),
    ("Beta/deep1/side.txt", b"beside deep2"),
    ("Beta/two.txt", b"two"),
    ("beta.txt", b"after the folder Beta"),
    (".config/settings.ini", b"[x]"),
    (".config/.inner/.dotfile", b"dot in a dot folder"),
    ("empty.dat", b""),
    ("Empty folder/", None),
    ("hidden.sys", b"hidden and system"),
    ("mid.txt", b"right after the long folder's files"),
    (f"{LONG_DIR}/the file with a long name.txt", b"long"),
    (f"{LONG_DIR}/z.txt", b"z"),
    ("zeta.txt", b"zeta"),
    ("Zulu/z.txt", b"zulu"),
    ("_under.txt", b"an underscore sorts after Z"),
]
HIDDEN_SYSTEM = ["hidden.sys"]
E_TREE = [("e-first.txt", b"e"), ("sub/e-second.txt", b"e2")]


def wine_attrib(sb: wp.Sandbox, *args: str) -> str:
    return sb.wine(["attrib", *args]).stdout.decode("latin-1")


def attrib_flags(sb: wp.Sandbox, path: str) -> set[str]:
    """The DOS attribute letters Wine's `attrib` lists for `path`."""
    out = wine_attrib(sb, path).strip()
    m = re.match(r"([A-Z ]+?)\s+[A-Z]:\\", out)
    assert m, f"attrib {path}: {out!r}"
    return set(m.group(1).replace(" ", ""))


# --- one run ----------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def walk(template, run_dir, exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        d, e = sb.map_drive("d"), sb.map_drive("e")
        make_tree(d, D_TREE)
        make_tree(e, E_TREE)
        sb.restart_server()
        flags = {}
        for rel in HIDDEN_SYSTEM:
            win = "D:\\" + rel.replace("/", "\\")
            for flag in ("+h", "+s"):        # one flag per call (see above)
                wine_attrib(sb, flag, win)
            flags[rel] = attrib_flags(sb, win)
        flags[".config"] = attrib_flags(sb, "D:\\.config")
        expected = (expected_walk(sb.drive_c, "C:") + expected_walk(d, "D:") + expected_walk(e, "E:"))
        r = run_console(sb, exe)
        sb.check_contained()
        yield r, expected, flags
    finally:
        sb.close()


@pytest.fixture(scope="module")
def t(walk) -> tr.Transcript:
    return tr.parse(walk[0].stdout)


def d_files() -> list[str]:
    return ["D:\\" + rel.replace("/", "\\") for rel, content in D_TREE if content is not None]


def test_fixture_tree_is_what_it_should_be(walk):
    """The tree holds what the walk checks are about: hidden+system files, a hidden dot folder,
    3+ levels of folders, an empty file and folder, a path of 60+ characters."""
    _, _, flags = walk
    for rel in HIDDEN_SYSTEM:
        assert {"H", "S"} <= flags[rel], f"{rel} is not listed as hidden and system: {flags[rel]}"
    assert "H" in flags[".config"], f"Wine does not list .config as hidden: {flags['.config']}"
    assert any(len(p) >= 60 for p in d_files())
    assert max(p.count("\\") for p in d_files()) >= 5


def test_run_completes_clean(walk, t):
    r, _, _ = walk
    assert r.status == 0
    assert t.finds == [] and t.scan_finds == []
    assert t.tail == tr.TAIL_CLEAN


def test_every_d_file_shown_exactly_once(t):
    for path in d_files():
        assert t.shown.count(tr.shown_path(path)) == 1, f"{path}: shown {t.shown.count(tr.shown_path(path))} times"
    on_d = [s for s in t.shown if s.startswith("D:")]
    assert len(on_d) == len(d_files()), f"D: shows {len(on_d)} lines for {len(d_files())} files: {on_d}"


def test_walk_order_is_depth_first_in_listing_order(walk, t):
    """The whole walk, C: then D: then E:, in exactly the order the model gives."""
    _, expected, _ = walk
    want = [tr.shown_path(p) for p in expected]
    if t.shown != want:
        i = next((i for i, (a, b) in enumerate(zip(t.shown, want)) if a != b), min(len(t.shown), len(want)))
        pytest.fail(f"walk order differs at line {i} of {len(want)}: shown {t.shown[i:i + 4]}, "
                    f"expected {want[i:i + 4]}")


def test_drives_in_letter_order(t):
    letters = [s[0] for s in t.shown]
    assert letters == sorted(letters) and set(letters) == {"C", "D", "E"}


# (folder, the file shown right before its first file (None: it is the first on its drive),
#  the file shown right after its last file)
FOLDERS_MET = [
    ("D:\\.config", None, "D:\\alpha.txt"),
    ("D:\\Beta", "D:\\alpha.txt", "D:\\beta.txt"),
    ("D:\\Beta\\deep1", "D:\\alpha.txt", "D:\\Beta\\one.txt"),
    ("D:\\Beta\\deep1\\deep2", "D:\\alpha.txt", "D:\\Beta\\deep1\\side.txt"),
    ("D:\\" + LONG_DIR.split("/")[0].replace("/", "\\"), "D:\\hidden.sys", "D:\\mid.txt"),
    ("D:\\Zulu", "D:\\zeta.txt", "D:\\_under.txt"),
]


@pytest.mark.parametrize("folder,before,after", FOLDERS_MET,
                         ids=["dot-folder", "Beta", "deep1", "deep2", "long-folder", "Zulu"])
def test_folder_walked_where_met(t, folder, before, after):
    """The files below `folder` are shown together, right after `before` and right before
    `after`: a folder is walked as soon as the listing of its parent reaches it, not after the
    parent's other entries."""
    index = {s: i for i, s in enumerate(t.shown)}
    below = [p for p in d_files() if p.startswith(folder + "\\")]
    missing = [p for p in below if tr.shown_path(p) not in index]
    assert below and not missing, f"not shown below {folder}: {missing}"
    inside = sorted(index[tr.shown_path(p)] for p in below)
    assert inside == list(range(inside[0], inside[-1] + 1)), f"files below {folder} are not together"
    if before is None:
        assert inside[0] == min(i for i, s in enumerate(t.shown) if s.startswith(folder[:2])), \
            f"{folder} is not walked first on its drive"
    else:
        assert inside[0] == index[tr.shown_path(before)] + 1, \
            f"{folder} walked from line {inside[0]}, {before} is at {index[tr.shown_path(before)]}"
    assert inside[-1] + 1 == index[tr.shown_path(after)], \
        f"{folder} walked up to line {inside[-1]}, {after} is at {index[tr.shown_path(after)]}"


@pytest.mark.parametrize("rel", ["hidden.sys", ".config/settings.ini", ".config/.inner/.dotfile",
                                 "empty.dat", f"{LONG_DIR}/the file with a long name.txt"],
                         ids=["hidden-system", "in-dot-folder", "dotfile-in-dot-folder", "empty-file",
                              "long-path"])
def test_special_files_shown(t, rel):
    path = "D:\\" + rel.replace("/", "\\")
    assert t.shown.count(tr.shown_path(path)) == 1, path


def test_folders_are_not_shown(t):
    assert not any(s.rstrip("\\") in ("D:\\Empty folder", "D:\\Beta", "D:\\.config") for s in t.shown)


def test_last_progress_line_stays_until_the_wipe(walk):
    """Nothing between the walk's last progress line (E:'s last file) and the wipe: the line is
    neither blanked nor followed by anything else before it."""
    r, expected, _ = walk
    data = tr.normalise(r.stdout)
    last = tr.progress_line(expected[-1])
    assert last in data, f"no progress line for the walk's last file {expected[-1]}"
    after = data[data.rindex(last) + len(last):]
    assert after == tr.TAIL_CLEAN, f"after the last progress line: {after[:200]!r}"
