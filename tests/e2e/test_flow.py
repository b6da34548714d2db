"""ReginDetector from start to end, run as a user would: what it prints on a clean machine and
with indicators planted, how it waits for Enter, and how it ends without a console.

Every transcript is compared byte for byte (CRLF read as LF); progress lines of the drive walk,
if any, are checked for their shape and otherwise taken as printed."""
import time

import pytest

from harness import console, transcript as tr
from harness.keys import KEY_GROUPS

pytestmark = pytest.mark.wine

W = "C:\\windows"


def check_transcript(raw: bytes, finds: list[str]) -> tr.Transcript:
    """Parse `raw` and compare it byte for byte with the transcript expected for `finds`."""
    t = tr.parse(raw)
    assert t.finds == finds, "Found lines (name checks) differ"
    assert t.scan_finds == [], "unexpected finds during the drive walk"
    expected = tr.render(finds, t.progress, infected=bool(finds))
    got = tr.normalise(raw)
    assert got == expected, f"transcript differs; tail was {t.tail!r}"
    return t


def test_clean_machine(sandbox, exe, scanner):
    r = scanner.console(sandbox, exe)
    assert r.status == 0
    check_transcript(r.stdout, [])


# (case, [(path below C:\windows as planted, "file"|"dir")], expected Found paths in order)
INDICATORS = [
    ("several",
     [("system32/msrdc64.dat", "file"), ("Panther/SystemLog.Evt", "file"), ("system32/CACHE", "dir"),
      ("system32/config/SystemLog.Evt", "file"), ("system32/nsreg1.dat", "file")],
     [W + "\\system32\\nsreg1.dat", W + "\\system32\\msrdc64.dat", W + "\\System32\\config\\SystemLog.Evt",
      W + "\\System32\\CACHE", W + "\\Panther\\SystemLog.Evt"]),
    ("fixed-name-as-folder",
     [("system32/bssec3.dat", "dir")],
     [W + "\\system32\\bssec3.dat"]),
    ("planted-in-other-case",      # found, and printed as the program spells the path, not as planted
     [("SYSTEM32/NSREG1.DAT", "file"), ("system32/wbem/Repository/index2.data", "file"),
      ("PCHEALTH/HelpCtr/database/CDATA.edb", "dir"), ("panther/Setup.ETL.000", "file")],
     [W + "\\system32\\nsreg1.dat", W + "\\pchealth\\helpctr\\Database\\cdata.edb",
      W + "\\Panther\\setup.etl.000", W + "\\System32\\wbem\\repository\\INDEX2.DATA"]),
    ("every-name-in-every-folder",
     [(p[len(W) + 1:].replace("\\", "/"), "dir" if i % 3 == 1 else "file")
      for i, p in enumerate(reversed(tr.indicator_paths()))],
     tr.indicator_paths()),
    ("near-misses-only",           # right names in wrong places, and look-alike names: nothing found
     [("nsreg1.dat", "file"), ("system32/config/nsreg1.dat", "file"), ("system32/nsreg1.dat.bak", "file"),
      ("system32/msrdc64.da", "file"), ("system32/CACHE2", "dir"), ("system32/wbem/CACHE", "file"),
      ("system32/SystemLog.Evt.old", "file"), ("SESSIONMGR", "file"), ("Panther/x/UsrClass.dat", "file"),
      ("pchealth/helpctr/cdata.dat", "file"), ("system32/wbem/repository/FS/OBJECTS2.DATA", "file"),
      ("syswow64/mregnx.dat", "file"), ("system32/config/SystemLog", "file")],
     []),
]


@pytest.mark.parametrize("case,plants,expected", INDICATORS, ids=[c[0] for c in INDICATORS])
def test_planted_indicators(sandbox, exe, scanner, case, plants, expected):
    for rel, kind in plants:
        sandbox.plant(rel, kind)
    r = scanner.console(sandbox, exe)
    assert r.status == 0
    check_transcript(r.stdout, expected)


KEY_SETTLE = 0.8   # seconds given to the program to react to a key group


def test_keys_other_than_enter_are_ignored(sandbox, exe, scanner):
    """Letters, digits, arrows, Escape, space, editing keys, Ctrl+letters and a bare line feed (10)
    typed at the prompt: the program keeps waiting and prints nothing; then Enter ends it."""
    run = console.ConsoleRun(sandbox, exe)
    try:
        run.start()
        run.wait_prompt()
        at_prompt = run.stdout()
        check_transcript(at_prompt, [])
        screen = run.screen()
        for name, keys, _codes in KEY_GROUPS:
            run.keys(*keys)
            time.sleep(KEY_SETTLE)
            assert run.running(), f"program ended after {name} keys {keys} (status {run.status()})"
            assert run.stdout() == at_prompt, f"output changed after {name} keys {keys}"
            assert run.screen() == screen, f"console screen changed after {name} keys {keys}"
        run.enter()
        assert run.wait_exit() == 0
        assert run.stdout() == at_prompt, "output after Enter"
        scanner.note(run.result())
    finally:
        run.close()


def test_enter_ends_at_once(sandbox, exe, scanner):
    r = scanner.console(sandbox, exe)
    assert r.status == 0
    assert r.t_exit - r.t_enter < 5, f"{r.t_exit - r.t_enter:.1f}s from Enter to exit"


@pytest.mark.parametrize("stdin", ["devnull", "pipe", "closed-pipe"])
def test_no_console_ends_by_itself(sandbox, exe, scanner, stdin):
    r = scanner.no_console(sandbox, exe, stdin=stdin)
    assert r.t_exit is not None, f"still running {console.EXIT_TIMEOUT:.0f}s after the prompt; stdout tail {r.stdout[-200:]!r}"
    assert r.status == 0
    assert r.t_prompt is not None
    check_transcript(r.stdout, [])
