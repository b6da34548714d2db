"""run-once.py, as the full run on Windows uses it: the verdict it gives and the summary table
it writes, for transcripts the way the program prints them (CRLF line ends, each progress line a
carriage return and 78 columns), played by a stand-in program.

    /usr/bin/python3 -m pytest -q tests/release/test_run_once.py
"""
from __future__ import annotations

import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
RUN_ONCE = HERE / "run-once.py"
VERSION = re.search(r"project\(\s*ReginDetector\s+VERSION\s+([0-9.]+)",
                    (HERE.parents[1] / "CMakeLists.txt").read_text()).group(1)

BANNER = f"Velmora Antivirus  Regin Detector - {VERSION}\n(c) 2026 Velmora\n\n"
WIPE = "\r" + " " * 79 + "\r"
CLEAN = "No known infections of regin found.\nYour system looks clean.\n\n"
INFECTED = ("Your system is possibly infected with Regin.\n"
            "Please contact us immediately at www.velmora.example.\n\n")
PROMPT = "Please press enter to continue... "

# Plays a program: writes the transcript file named by its last argument in text mode as
# Windows does (LF becomes CRLF), then sleeps SLEEP seconds and exits with STATUS.
STAND_IN = """
import sys, time
text, sleep, status = open(sys.argv[3], encoding="latin-1", newline="").read(), float(sys.argv[1]), int(sys.argv[2])
sys.stdout.buffer.write(text.replace("\\n", "\\r\\n").encode("latin-1"))
sys.stdout.flush()
time.sleep(sleep)
sys.exit(status)
"""


def progress(path: str) -> str:
    return ("\rScanning " + path).ljust(79)


def transcript(walked: list[str], finds_before: list[str] = (), finds_in_walk: set[str] = frozenset(),
               infected: bool = False) -> str:
    text = BANNER + "".join(f"Found: {f}\n" for f in finds_before)
    for path in walked:
        text += progress(path)
        if path in finds_in_walk:
            text += WIPE + f"Found: {path}\n"
    return text + "\r" + " " * 79 + "\n" + "\n\n" + (INFECTED if infected else CLEAN) + PROMPT


def run_once(tmp_path: Path, text: str, status: int = 0, sleep: float = 0, timeout: float = 60):
    stand_in = tmp_path / "stand_in.py"
    stand_in.write_text(STAND_IN)
    played = tmp_path / "transcript.txt"
    played.write_text(text, encoding="latin-1", newline="")
    summary = tmp_path / "summary.md"
    summary.write_text("# earlier steps\n")
    started = time.monotonic()
    result = subprocess.run([sys.executable, str(RUN_ONCE), "--timeout", str(timeout), "--summary",
                             str(summary), str(played), sys.executable, str(stand_in), str(sleep),
                             str(status)], capture_output=True, text=True, timeout=120)
    rows = dict(re.findall(r"^\| ([^|]+?) \| ([^|]+?) \|$", summary.read_text(), re.M))
    return result, rows, summary.read_text(), time.monotonic() - started


def test_a_clean_run_is_counted_file_by_file(tmp_path):
    walked = [f"C:\\Windows\\file{i}.dll" for i in range(7)]
    result, rows, text, _ = run_once(tmp_path, transcript(walked))
    assert result.returncode == 0, result.stderr
    assert text.startswith("# earlier steps\n"), "the summary page's earlier text is kept"
    assert rows["files shown on the progress line"] == "7"
    assert rows["finds"] == "0"
    assert rows["verdict"] == "clean"
    assert rows["exit status"] == "0"
    seconds = float(re.search(r"\(([\d.]+) s\)", rows["wall time"]).group(1))
    per_file = float(rows["wall time per file"].removesuffix(" ms"))
    assert per_file == pytest.approx(seconds * 1000 / 7, rel=0.01, abs=0.1)


def test_finds_of_every_phase_are_counted_named_and_fail_the_run(tmp_path):
    walked = ["C:\\a.txt", "C:\\x\\sample.bin", "C:\\z.txt", "D:\\b\\other.sys"]
    text = transcript(walked, finds_before=["C:\\windows\\system32\\nsreg1.dat"],
                      finds_in_walk={"C:\\x\\sample.bin", "D:\\b\\other.sys"}, infected=True)
    result, rows, summary, _ = run_once(tmp_path, text)
    assert result.returncode == 1
    assert rows["files shown on the progress line"] == "4"
    assert rows["finds"] == "3"
    assert rows["verdict"] == "possibly infected"
    for find in ("C:\\windows\\system32\\nsreg1.dat", "C:\\x\\sample.bin", "D:\\b\\other.sys"):
        assert f"- found: `{find}`" in summary
    assert "- FAIL: it does not show the clean verdict" in summary


def test_a_failing_status_is_shown_and_fails_the_run(tmp_path):
    result, rows, summary, _ = run_once(tmp_path, transcript(["C:\\a.txt"]), status=3)
    assert result.returncode == 1
    assert rows["exit status"] == "3"
    assert "- FAIL: it exited with 3" in summary


def test_a_run_past_its_limit_is_killed_and_still_summed_up(tmp_path):
    partial = BANNER + progress("C:\\a.txt") + progress("C:\\b\\c.txt")
    result, rows, summary, took = run_once(tmp_path, partial, sleep=60, timeout=2)
    assert took < 30, "the stand-in was not killed at the time limit"
    assert result.returncode == 1
    assert rows["exit status"] == "killed at the time limit"
    assert rows["files shown on the progress line"] == "2"
    assert rows["verdict"] == "none shown"
    assert "- FAIL: it did not end within 2 s" in summary
