"""The drive walk against hostile trees, with the build that knows tests/fixtures/sample-a.bin:

1. directory cycles: links to a folder's own parent, two loops in one folder, links to trees
   that are not on the walk's path (walked), all within a bounded time;
2. long paths: 259, 260 and 261 characters, folder chains to ~400 and ~1000 characters, and a
   chain deeper than the host can name; the walk goes on to the drives after them;
3. files others hold (share mode 0, by a helper process in the same wineserver) and files and
   folders removed while the walk runs: skipped silently, the walk goes on;
4. odd names (accented Latin, Cyrillic, CJK, leading dots and spaces, 255-character names,
   trailing space or dot) under two code pages (1252 and 932): each shown within 79 columns,
   hashed, and found in full;
5. nothing written: the mapped drives and drive_c are the same after a run.

What Wine 8 does here (measured with these trees):
- A Unix symbolic link to a folder lists as a directory reparse point (attributes 0x410);
  GetFileInformationByHandle gives the target folder's inode as its file index, and each drive
  letter its own volume serial.
- Wine has no MAX_PATH limit: FindFirstFileW and CreateFileW work on plain "D:\\..." paths of
  several thousand characters; only where the Unix path passes the host's PATH_MAX (4096 bytes)
  does listing fail (ERROR_GEN_FAILURE), so a folder that deep is skipped.
- A file opened with share mode 0 by another process of the same wineserver fails to open with
  ERROR_SHARING_VIOLATION (32).
- FindFirstFileW/FindNextFileW read a folder in batches of about 8 KiB (71 entries of 9-character
  names): an entry removed after its batch was read is still listed and fails to open; one in a
  later batch is no longer listed. Opening a missing file costs next to nothing.
- Names are read as UTF-8 only when the process has a UTF-8 locale: with the harness's default
  (no LANG/LC_*) every non-ASCII name is mangled and cannot be opened. LC_CTYPE=C.UTF-8 gives
  code page 1252, LC_CTYPE=ja_JP.UTF-8 gives 932. The console launcher unsets LC_ALL (and LANG),
  so the locale is passed as LC_CTYPE.
- As on Windows, a plain path loses trailing spaces and dots: "G:\\x.bin " opens "G:\\x.bin"
  (or nothing); only a "\\\\?\\" path reaches such a file.
"""
from __future__ import annotations

import collections
import hashlib
import os
import shutil
import stat
import sys
import time
from pathlib import Path

import pytest

from harness import console, helpers, prefix as wp, transcript as tr
from harness.walkmodel import expected_walk, make_tree

pytestmark = pytest.mark.wine

HERE = Path(__file__).resolve().parent
SAMPLE = (HERE.parent / "fixtures" / "sample-a.bin").read_bytes()
CYCLE_PROMPT_LIMIT = 60 * console.TIME_SCALE     # a cycle must not hold the walk up


def finds_follow_progress(t: tr.Transcript) -> list[str]:
    """Finds not printed right after their own file's progress line."""
    bad = []
    for i, (kind, data) in enumerate(t.events):
        if kind == "scan_find":
            path = data[len(tr.CLEAR_FOR_FIND) + len(b"Found: "):-1].decode("latin-1")
            if i == 0 or t.events[i - 1] != ("progress", tr.progress_line(path)):
                bad.append(path)
    return bad


# --- the holder helper --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def holder_exe(work_dir: Path) -> Path:
    """holder.cpp: REGIN_E2E_HOLDER (built by CMake), else built here with MinGW."""
    return helpers.helper_exe("REGIN_E2E_HOLDER", "holder.cpp", work_dir, "-municode")


Holder = helpers.Beside     # holder.exe holds its file open with no sharing until stop()


# --- snapshots for "nothing written" ------------------------------------------------------------

def snapshot(root: Path) -> dict[str, tuple]:
    """Every entry below `root`: kind, size, mtime (ns) and SHA-256 (files) or target (links).
    Walks by folder handles, so trees deeper than PATH_MAX are covered too."""
    snap: dict[str, tuple] = {}
    root_s = str(root)
    for top, dirs, files, dfd in os.fwalk(root_s):
        rel_top = top[len(root_s):].lstrip("/")
        for name in dirs + files:
            rel = f"{rel_top}/{name}" if rel_top else name
            st = os.stat(name, dir_fd=dfd, follow_symlinks=False)
            if stat.S_ISLNK(st.st_mode):
                snap[rel] = ("link", os.readlink(name, dir_fd=dfd))
            elif stat.S_ISDIR(st.st_mode):
                snap[rel] = ("dir", st.st_mtime_ns)
            else:
                h = hashlib.sha256()
                fd = os.open(name, os.O_RDONLY, dir_fd=dfd)
                try:
                    with os.fdopen(fd, "rb", closefd=False) as f:
                        for chunk in iter(lambda: f.read(1 << 20), b""):
                            h.update(chunk)
                finally:
                    os.close(fd)
                snap[rel] = ("file", st.st_size, st.st_mtime_ns, h.hexdigest())
    return snap


def changes(before: dict, after: dict) -> set[str]:
    return {k for k in before.keys() | after.keys() if before.get(k) != after.get(k)}


# ================================================================================================
# 1. Directory cycles
# ================================================================================================

# D:\cyc\self       -> D:\cyc           its own folder (the link's parent): a self-loop
# D:\cyc\two\up1    -> D:\cyc           two links back up in one folder
# D:\cyc\two\up2    -> D:\
# D:\cyc\side       -> D:\sib           a sibling tree, not on the walk's path: walked
# D:\sib\back       -> D:\cyc           from D:\sib, D:\cyc is not on the path: walked
# D:\abs            -> D:\cyc\two       an absolute link; below it D:\abs\up1 is walked (D:\cyc is
#                                       not on that path), but D:\abs\up1\two, a plain folder below
#                                       a link, is D:\abs itself: cut
CYCLE_FILES = [("cyc/c1.txt", b"c1"), ("cyc/two/t.txt", b"t"), ("sib/s.txt", b"s"),
               ("sib/deeper/s2.bin", SAMPLE), ("zz-last.txt", b"last on D:")]
CYCLE_LINKS = [("cyc/self", "."), ("cyc/two/up1", ".."), ("cyc/two/up2", "../.."),
               ("cyc/side", "../sib"), ("sib/back", "../cyc"), ("abs", "@cyc/two")]
CYCLE_LINK_NAMES = {Path(p).name for p, _ in CYCLE_LINKS}


@pytest.fixture(scope="module")
def cycles(template, run_dir, fixture_exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        d = sb.map_drive("d")
        e = sb.map_drive("e")
        make_tree(d, CYCLE_FILES)
        (e / "after-cycles.txt").write_bytes(b"E: comes after D:")
        for rel, target in CYCLE_LINKS:
            (d / rel).symlink_to(d / target[1:] if target.startswith("@") else target)
        sb.restart_server()
        expected = expected_walk(d, "D:") + ["E:\\after-cycles.txt"]
        r = console.run_console(sb, fixture_exe, prompt_timeout=CYCLE_PROMPT_LIMIT)
        sb.check_contained()
        yield r, tr.parse(r.stdout), expected
    finally:
        sb.close()


def test_cycles_end_within_bound(cycles):
    r, t, _ = cycles
    assert r.status == 0
    assert r.t_prompt is not None and r.t_prompt < CYCLE_PROMPT_LIMIT
    assert t.tail == tr.TAIL_INFECTED


def test_cycles_every_route_walked_once_in_order(cycles):
    """Every file through every route that does not come back to a folder on its own path,
    exactly once, in walk order; then the next drive."""
    _, t, expected = cycles
    shown = [s for s in t.shown if not s.startswith("C:")]
    assert shown == [tr.shown_path(p) for p in expected]


@pytest.mark.parametrize("path", [
    "D:\\cyc\\c1.txt", "D:\\cyc\\two\\t.txt", "D:\\cyc\\side\\s.txt", "D:\\sib\\s.txt",
    "D:\\sib\\back\\c1.txt", "D:\\sib\\back\\two\\t.txt", "D:\\abs\\t.txt", "D:\\abs\\up1\\c1.txt",
    "D:\\abs\\up1\\side\\s.txt", "D:\\zz-last.txt", "E:\\after-cycles.txt",
], ids=lambda p: p.replace("\\", "/"))
def test_cycles_route_shown(cycles, path):
    _, t, _ = cycles
    assert t.shown.count(tr.shown_path(path)) == 1


def test_cycles_a_plain_folder_below_a_link_that_leads_back_is_cut(cycles):
    """D:\\abs\\up1\\two is no link, but below the link D:\\abs it is D:\\abs itself."""
    _, t, _ = cycles
    assert not any(s.startswith("D:\\abs\\up1\\two\\") for s in t.shown)


def test_cycles_no_path_repeats_a_link(cycles):
    """A link entered twice on one path would be a loop gone round."""
    _, t, expected = cycles
    for p in expected + [s for s in t.shown if not s.startswith("C:")]:
        parts = p.split("\\")
        again = [n for n, c in collections.Counter(parts).items() if c > 1 and n in CYCLE_LINK_NAMES]
        assert not again, f"{p} goes through {again} more than once"


def test_cycles_sample_found_on_every_route(cycles):
    _, t, expected = cycles
    assert t.finds == []
    assert t.scan_finds == [p for p in expected if p.endswith("s2.bin")]
    assert len(t.scan_finds) == 3      # D:\abs\up1\side, D:\cyc\side, D:\sib
    assert finds_follow_progress(t) == []


# ================================================================================================
# 2. Long paths, 3a. held files, 5. nothing written: one run
# ================================================================================================

L_DIR = "long/" + "p" * 100 + "/" + "q" * 100 + "/"          # E:\long\ppp..\qqq..\ = 211 chars


def name_for_total(total: int, tag: str) -> str:
    rest = total - len(tr.win("e", L_DIR))
    return tag + "x" * (rest - len(tag))


def chain(prefix: str, to_length: int) -> str:
    """Folders of 95-100 characters below `prefix` until the path passes `to_length`."""
    path, n = prefix, 0
    while len(tr.win("e", path)) < to_length:
        path += "k" * 95 + f"c{n:03d}" + "/"
        n += 1
    return path


CHAIN_400 = chain("chain400/", 400)
CHAIN_1000 = chain("chain1000/", 1000)
CHAIN_HOST = chain("chain-beyond-host/", 4400)    # its Unix path passes PATH_MAX wherever we are
# (case, path on E:, is the fixture sample, must be shown)
LONG_FILES = [
    ("259-sample", L_DIR + name_for_total(259, "259-sample-"), True),
    ("260", L_DIR + name_for_total(260, "260-plain-"), False),
    ("261-sample", L_DIR + name_for_total(261, "261-sample-"), True),
    ("deep-400-sample", CHAIN_400 + "s400.bin", True),
    ("deep-1000-sample", CHAIN_1000 + "s1000.bin", True),
    ("deep-1000-plain", CHAIN_1000 + "zz.txt", False),
]
BEYOND_HOST = CHAIN_HOST + "beyond.bin"
CHAIN_HOST_FILE = "f.txt"                 # one in every folder of the chain beyond the host
SURE_DEPTH = 3000                         # files in that chain with paths up to this are shown
HELD_FILES = [("held/a-held.bin", SAMPLE), ("held/b-after.bin", SAMPLE), ("held/c-after.txt", b"c"),
              ("zz-after-held.txt", b"z")]
HELD = "held/a-held.bin"
LAST_DRIVE = [("last/last.txt", b"the walk's very last file")]
WINE_OWN = (".reg",)                      # Wine's registry files


def make_deep(root: Path, rel: str, content: bytes | None, per_folder: str | None = None) -> None:
    """Create `rel` below `root` through folder handles (deeper than PATH_MAX is fine)."""
    parts = [p for p in rel.split("/") if p]
    fd = os.open(root, os.O_RDONLY)
    try:
        for part in parts[:-1] if content is not None else parts:
            try:
                os.mkdir(part, dir_fd=fd)
            except FileExistsError:
                pass
            nfd = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = nfd
            if per_folder:
                f = os.open(per_folder, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
                os.write(f, b"f")
                os.close(f)
        if content is not None:
            f = os.open(parts[-1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
            os.write(f, content)
            os.close(f)
    finally:
        os.close(fd)


@pytest.fixture(scope="module")
def hardening(template, run_dir, fixture_exe, holder_exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        e, f, h = sb.map_drive("e"), sb.map_drive("f"), sb.map_drive("h")
        for _, rel, sample in LONG_FILES:
            make_deep(e, rel, SAMPLE if sample else b"plain")
        make_deep(e, CHAIN_HOST, None, per_folder=CHAIN_HOST_FILE)
        make_deep(e, BEYOND_HOST, SAMPLE)
        make_tree(f, HELD_FILES)
        make_tree(h, LAST_DRIVE)
        sb.restart_server()
        roots = {"drive_c": sb.drive_c, "E:": e, "F:": f, "H:": h}
        # Baseline: what Wine itself changes when a trivial program runs (the holder, failing).
        s0 = {k: snapshot(p) for k, p in roots.items()}
        trivial = Holder(sb, holder_exe, "C:\\no such file")
        trivial.wait_output()
        trivial.stop()
        s1 = {k: snapshot(p) for k, p in roots.items()}
        wine_own = {k: changes(s0[k], s1[k]) for k in roots}
        holder = Holder(sb, holder_exe, tr.win("f", HELD))
        held = holder.wait_output()
        try:
            r = console.run_console(sb, fixture_exe)
        finally:
            holder_status = holder.stop()
        s2 = {k: snapshot(p) for k, p in roots.items()}
        written = {k: sorted(p for p in changes(s1[k], s2[k]) - wine_own[k] if not p.endswith(WINE_OWN))
                   for k in roots}
        sb.check_contained()
        yield dict(r=r, t=tr.parse(r.stdout), held=held, holder_status=holder_status,
                   written=written, wine_own=wine_own)
    finally:
        sb.close()


def test_hardening_run_completes(hardening):
    r, t = hardening["r"], hardening["t"]
    assert r.status == 0
    assert t.finds == []
    assert t.tail == tr.TAIL_INFECTED
    assert finds_follow_progress(t) == []


@pytest.mark.parametrize("case,rel,sample", LONG_FILES, ids=[c for c, _, _ in LONG_FILES])
def test_long_path_shown_and_hashed(hardening, case, rel, sample):
    t = hardening["t"]
    path = tr.win("e", rel)
    assert len(path) >= 259
    assert t.shown.count(tr.shown_path(path)) == 1, f"{case}: {len(path)}-character path not shown once"
    assert t.scan_finds.count(path) == (1 if sample else 0), \
        f"{case}: {len(path)}-character path {'not found in full' if sample else 'found'}; finds: {t.scan_finds}"


def test_chain_beyond_host_limit_skipped_silently(hardening):
    """Files in the very deep chain are shown as far as Wine can list (at least to 3000
    characters), each once; the sample beyond the host's limit is not found and no message
    tells of it."""
    t = hardening["t"]
    chain_files = []
    path = "E:"
    for part in [p for p in CHAIN_HOST.split("/") if p]:
        path += "\\" + part
        chain_files.append(path + "\\" + CHAIN_HOST_FILE)
    shown = collections.Counter(t.shown)
    for p in chain_files:
        if len(p) <= SURE_DEPTH:
            assert shown[tr.shown_path(p)] == 1, f"{len(p)}-character path not shown"
    assert all(shown[tr.shown_path(p)] <= 1 for p in chain_files)
    beyond = tr.win("e", BEYOND_HOST)
    assert len(beyond) > 4096 and beyond not in t.scan_finds
    assert tr.shown_path(beyond) not in shown


def test_drives_after_long_paths_walked(hardening):
    t = hardening["t"]
    for p in [tr.win("f", "held/b-after.bin"), tr.win("f", "zz-after-held.txt"), tr.win("h", "last/last.txt")]:
        assert t.shown.count(tr.shown_path(p)) == 1, p
    assert t.shown[-1] == tr.win("h", "last/last.txt")


def test_held_file_skipped_silently(hardening):
    """The sample held open with no sharing cannot be read: shown, but no find and no message;
    the walk goes on in the same folder (the next sample is found) and beyond."""
    t = hardening["t"]
    assert hardening["held"] == "held", f"holder helper: {hardening['held']!r}"
    assert hardening["holder_status"] == 0, "the holder did not hold the file until the run ended"
    assert t.shown.count(tr.win("f", HELD)) == 1
    assert tr.win("f", HELD) not in t.scan_finds
    assert tr.win("f", "held/b-after.bin") in t.scan_finds
    i = t.shown.index(tr.win("f", HELD))
    assert t.shown[i + 1:i + 4] == [tr.win("f", "held/b-after.bin"), tr.win("f", "held/c-after.txt"),
                                    tr.win("f", "zz-after-held.txt")]


def test_all_finds_expected(hardening):
    t = hardening["t"]
    want = [tr.win("e", rel) for _, rel, s in LONG_FILES if s] + [tr.win("f", "held/b-after.bin")]
    assert sorted(t.scan_finds) == sorted(want)


@pytest.mark.parametrize("root", ["drive_c", "E:", "F:", "H:"])
def test_nothing_written(hardening, root):
    """Names, contents (SHA-256) and modification times of every file and folder are the same
    after the run, except Wine's registry files and what Wine changes for any program."""
    assert hardening["written"][root] == [], \
        f"changed by the run on {root}: {hardening['written'][root][:20]} " \
        f"(Wine's own changes, ignored: {sorted(hardening['wine_own'][root])[:10]})"


# ================================================================================================
# 3b. Files and folders removed while the walk runs
# ================================================================================================

# Wine lists a folder in batches of about 8 KiB (71 entries of these names): files removed after
# their batch was read are still listed, and opening them fails; files of later batches and
# folders removed before the walk reaches them are not listed at all.
BIG_A = [f"big/a/f{i:04d}.dat" for i in range(300)]
TRIGGER = "D:\\big\\a\\f0005.dat"       # when this shows, part of the tree is removed:
GONE_NEAR = BIG_A[40:61]                 # in the batch already read: listed, then gone
GONE_FAR = BIG_A[200:]                   # in later batches: no longer listed
SAMPLES_GONE = [BIG_A[50], BIG_A[250]]   # samples among the removed files: never found
BIG_B = [f"big/b/g{i:03d}.dat" for i in range(40)] + ["big/b/inner/h.dat"]
BIG_A_SUB = ["big/a/sub/s.dat"]
GONE_DIRS = ["big/a/sub", "big/b"]       # listed in their parents, removed before entered
BIG_C = [f"big/c/k{i:03d}.dat" for i in range(40)]
# Between the trigger and the first file to remove: sparse files of 4 MiB, about 0.4 s of hashing
# in all, so that the walk is held well before it gets there even when the machine is busy.
SLOW = BIG_A[6:40]
SLOW_BYTES = 4 * 2**20
SAMPLE_KEPT = "big/c/k039.dat"
KEPT = [rel for rel in BIG_A if rel not in GONE_NEAR + GONE_FAR] + BIG_C


@pytest.fixture(scope="module")
def removal(template, run_dir, fixture_exe):
    sb = wp.Sandbox(template, run_dir)
    try:
        d = sb.map_drive("d")
        make_tree(d, [(rel, rel.encode()) for rel in BIG_A + BIG_A_SUB + BIG_B + BIG_C])
        for rel in SAMPLES_GONE + [SAMPLE_KEPT]:
            (d / rel).write_bytes(SAMPLE)
        for rel in SLOW:
            os.truncate(d / rel, SLOW_BYTES)
        sb.restart_server()
        seen = {}

        def remove_part(run: console.ConsoleRun) -> None:
            needle = tr.progress_line(TRIGGER)
            end = time.monotonic() + console.PROMPT_TIMEOUT
            # The program's processes, known before the trigger shows, so that the stop follows it
            # at once (the banner is printed by the program itself).
            console.wait_until(lambda: tr.normalise(run.stdout()).startswith(tr.BANNER) or run.status() is not None,
                               console.PROMPT_TIMEOUT)
            pids = run.program_pids()
            while time.monotonic() < end and run.status() is None:
                out = run.stdout()
                if needle in out:
                    break
                time.sleep(0.005)
            else:
                return
            # The walk is held while the files go, so that how far it got does not depend on
            # how busy the machine is; it goes on from exactly where it was.
            with run.paused(pids):
                out = run.stdout()
                for rel in GONE_NEAR + GONE_FAR:
                    (d / rel).unlink()
                for rel in GONE_DIRS:
                    shutil.rmtree(d / rel)
            seen["before"] = tr.normalise(out)

        r = console.run_console(sb, fixture_exe, during=remove_part)
        yield r, seen.get("before")
    finally:
        sb.close()


def test_removed_while_walking(removal):
    """Files and folders removed while the walk runs: no crash, no message, no find of a removed
    sample; every file still there is shown once, and the walk goes on."""
    r, before = removal
    assert before is not None, "the walk never reached the trigger file"
    assert tr.progress_line(tr.win("d", GONE_NEAR[0])) not in before, \
        "the walk was past the files to remove before they went: cannot tell what happened"
    assert r.status == 0
    t = tr.parse(r.stdout)
    assert t.finds == []
    assert t.scan_finds == [tr.win("d", SAMPLE_KEPT)], "a removed sample was found, or the kept one not"
    assert t.tail == tr.TAIL_INFECTED
    shown = collections.Counter(s for s in t.shown if s.startswith("D:"))
    missing = [rel for rel in KEPT if shown[tr.win("d", rel)] != 1]
    assert not missing, f"files still there not shown once: {missing[:5]}"
    everything = {tr.win("d", rel) for rel in BIG_A + BIG_A_SUB + BIG_B + BIG_C}
    assert set(shown) <= everything and max(shown.values()) == 1
    assert not any(s.startswith(tr.win("d", rel) + "\\") for s in shown for rel in GONE_DIRS), \
        "a folder removed before the walk reached it was still walked"
    listed_then_gone = [rel for rel in GONE_NEAR if shown[tr.win("d", rel)]]
    assert listed_then_gone, "no removed file was listed before it went: no failed open was exercised"


# ================================================================================================
# 4. Odd names under code pages 1252 and 932
# ================================================================================================

LOCALES = [("cp1252", "C.UTF-8"), ("cp932", "ja_JP.UTF-8")]
# (id, path on G:): every one holds the fixture sample, so each find shows the file was hashed
ODD_NAMES = [
    ("latin", "café crème.txt"),
    ("cyrillic", "Привет мир.txt"),
    ("cjk", "名前.txt"),
    ("cjk-katakana", "サンプル.bin"),
    ("leading-dot", ".leading-dot.txt"),
    ("two-leading-dots", "..two-dots.txt"),
    ("leading-space", " leading space.txt"),
    ("inner-spaces", "inner  two  spaces .txt"),
    ("255-chars", "n" * 255),
    ("255-chars-under-cjk", "サブ/" + "m" * 255),
    ("mixed-long", "日本語のフォルダ/Ünïcödé mixed 名前 with a tail long enough to be shortened.txt"),
    ("greek-cjk-long", "Ωmega/Ελληνικά και 中文 混合 名前 ファイル 名前 ファイル 名前 ファイル.bin"),
]
ODD_FILES = [(rel, SAMPLE) for _, rel in ODD_NAMES]
ODD_SAMPLES = [rel for _, rel in ODD_NAMES]
# A plain path drops trailing spaces and dots: "decoy.bin " opens the harmless "decoy.bin".
TRAILING = [("decoy.bin", b"harmless twin"), ("decoy.bin ", SAMPLE), ("dotted.bin.", SAMPLE)]
@pytest.fixture(scope="module", params=LOCALES, ids=[cp for cp, _ in LOCALES])
def odd(request, template, run_dir, fixture_exe):
    cp, locale = request.param
    assert sys.getfilesystemencoding().lower() == "utf-8"
    sb = wp.Sandbox(template, run_dir)
    try:
        g = sb.map_drive("g")
        make_tree(g, ODD_FILES + TRAILING)
        sb.restart_server()
        expected = expected_walk(g, "G:")
        r = console.run_console(sb, fixture_exe, env={"LC_CTYPE": locale})
        shown, finds, tail = tr.parse_bytes(r.stdout)
        yield dict(cp=cp, r=r, shown=shown, finds=finds, tail=tail, expected=expected)
    finally:
        sb.close()


def test_odd_run_completes(odd):
    assert odd["r"].status == 0
    assert odd["tail"] == tr.TAIL_INFECTED


def test_odd_names_each_shown_within_79_columns(odd):
    """Every file of G: has its progress line, in walk order, showing the path as the code page
    holds it ('?' for the rest), shortened where it must be; nothing dropped, nothing extra."""
    cp = odd["cp"]
    on_g = [s for s in odd["shown"] if s.startswith(tr.PROGRESS_PREFIX + b"G:")]
    want = [tr.progress_unit(tr.expected_shown(p, cp)) for p in odd["expected"]]
    assert len(on_g) == len(want), f"{len(on_g)} progress lines on G: for {len(want)} files"
    for got, exp, path in zip(on_g, want, odd["expected"]):
        assert got == exp, f"{path!r}: shown {got.decode(cp, 'replace')!r}, expected {exp.decode(cp, 'replace')!r}"


@pytest.mark.parametrize("rel", ODD_SAMPLES, ids=[i for i, _ in ODD_NAMES])
def test_odd_name_hashed_and_found_in_full(odd, rel):
    path = tr.win("g", rel)
    want = b"Found: " + tr.in_code_page(path, odd["cp"])
    assert odd["finds"].count(tr.in_code_page(path, odd["cp"])) == 1, \
        f"no find {want.decode(odd['cp'], 'replace')!r}; finds: {[f.decode(odd['cp'], 'replace') for f in odd['finds']]}"


@pytest.mark.parametrize("rel", [rel for rel, c in TRAILING if c == SAMPLE], ids=["trailing-space", "trailing-dot"])
def test_trailing_space_or_dot_name_hashed(odd, rel):
    """The program hashes every file: also one whose name ends in a space or a dot. (Its
    progress line is checked with the others; a trailing space vanishes in the padding.)"""
    path = tr.win("g", rel)
    assert tr.in_code_page(path, odd["cp"]) in odd["finds"], \
        f"sample at {path!r} not found (a plain path drops the trailing character: the program " \
        f"hashed {path.rstrip(' .')!r} or nothing instead)"


def test_odd_finds_nothing_else(odd):
    allowed = {tr.in_code_page(tr.win("g", rel), odd["cp"]) for rel in ODD_SAMPLES + [r for r, c in TRAILING if c == SAMPLE]}
    assert set(odd["finds"]) <= allowed


def test_cjk_name_as_code_page_shows_it(odd):
    """Under 932 the CJK name appears as itself; under 1252 as one '?' per character."""
    shown = [u[len(tr.PROGRESS_PREFIX):].rstrip(b" ") for u in odd["shown"]]
    if odd["cp"] == "cp932":
        assert "G:\\名前.txt".encode("cp932") in shown
        assert "G:\\Привет мир.txt".encode("cp932") in shown
    else:
        assert b"G:\\??.txt" in shown
        assert "G:\\café crème.txt".encode("cp1252") in shown
        assert b"G:\\?????? ???.txt" in shown
