"""run-once.py, as the real run on Windows uses it: the verdict it gives, the summary table it
writes and what it prints to the log, for runs played by a stand-in program that writes a
transcript the way the program prints it (CRLF line ends, each progress line a carriage return
and 78 columns) and makes the report request where the program would.

    /usr/bin/python3 -m pytest -q tests/release/test_run_once.py
"""
from __future__ import annotations

import hashlib
import json
import os
import re
import socket
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
AGENT = "VelmoraReginDetector"
INDICATOR = "C:\\Windows\\system32\\msrdc64.dat"
CANDIDATE = "C:\\Windows\\System32\\dnscache.dat"

# Plays a program from the plan (JSON) named by its argument: writes text in text mode as
# Windows does (LF becomes CRLF), makes GET requests to 127.0.0.1, sleeps, and exits.
STAND_IN = """
import json, socket, sys, time
for step in json.load(open(sys.argv[1])):
    kind = step[0]
    if kind == "write":
        sys.stdout.buffer.write(step[1].replace("\\n", "\\r\\n").encode("latin-1"))
        sys.stdout.flush()
    elif kind == "request":
        port, target, agent = step[1:]
        with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
            c.sendall(f"GET {target} HTTP/1.1\\r\\nUser-Agent: {agent}\\r\\n"
                      f"Host: report.velmora.example\\r\\n\\r\\n".encode())
            c.recv(4096)
    elif kind == "sleep":
        time.sleep(step[1])
    elif kind == "exit":
        sys.exit(step[1])
"""


def progress(path: str) -> str:
    return ("\rScanning " + path).ljust(79)


def walk(walked: list[str], finds_in_walk: set[str] = frozenset()) -> str:
    return "".join(progress(p) + (WIPE + f"Found: {p}\n" if p in finds_in_walk else "") for p in walked)


def ending(infected: bool) -> str:
    return "\r" + " " * 79 + "\n" + "\n\n" + (INFECTED if infected else CLEAN) + PROMPT


def transcript(walked: list[str], finds_before: list[str] = (), finds_in_walk: set[str] = frozenset(),
               infected: bool = False) -> str:
    return (BANNER + "".join(f"Found: {f}\n" for f in finds_before) + walk(walked, finds_in_walk) +
            ending(infected))


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reported(port: int, query: str, agent: str = AGENT, wait: float = 0) -> list:
    """The plan of a run whose report is made, then waited for `wait` seconds."""
    return [["request", port, f"/regin.php?{query}", agent], ["sleep", wait]]


def play(tmp_path: Path, plan: list, *options: str, timeout: float = 60, env: dict | None = None):
    stand_in = tmp_path / "stand_in.py"
    stand_in.write_text(STAND_IN)
    played = tmp_path / "plan.json"
    played.write_text(json.dumps(plan))
    summary = tmp_path / "summary.md"
    summary.write_text("# earlier steps\n")
    started = time.monotonic()
    result = subprocess.run([sys.executable, str(RUN_ONCE), "--timeout", str(timeout), "--summary",
                             str(summary), *options, str(played), sys.executable, str(stand_in)],
                            capture_output=True, timeout=120, env=env)
    rows = dict(re.findall(r"^\| ([^|]+?) \| ([^|]+?) \|$", summary.read_text(), re.M))
    return result, rows, summary.read_text(), time.monotonic() - started


def run_once(tmp_path: Path, text: str, status: int = 0, sleep: float = 0, timeout: float = 60):
    return play(tmp_path, [["write", text], ["sleep", sleep], ["exit", status]], timeout=timeout)


def test_a_clean_run_is_counted_file_by_file(tmp_path):
    walked = [f"C:\\Windows\\file{i}.dll" for i in range(7)]
    result, rows, text, _ = run_once(tmp_path, transcript(walked))
    assert result.returncode == 0, result.stderr
    assert text.startswith("# earlier steps\n"), "the summary page's earlier text is kept"
    assert rows["files shown on the progress line"] == "7"
    assert rows["finds"] == "0"
    assert rows["verdict"] == "clean"
    assert rows["exit status"] == "0"
    assert rows["program SHA-256"] == f"`{hashlib.sha256((tmp_path / 'plan.json').read_bytes()).hexdigest()}`"
    seconds = float(re.search(r"\(([\d.]+) s\)", rows["wall time"]).group(1))
    per_file = float(rows["wall time per file"].removesuffix(" ms"))
    assert per_file == pytest.approx(seconds * 1000 / 7, rel=0.01, abs=0.1)


def test_finds_of_every_phase_are_counted_named_and_fail_a_run_that_expects_none(tmp_path):
    walked = ["C:\\a.txt", "C:\\x\\sample.bin", "C:\\z.txt", "D:\\b\\other.sys"]
    text = transcript(walked, finds_before=[INDICATOR],
                      finds_in_walk={"C:\\x\\sample.bin", "D:\\b\\other.sys"}, infected=True)
    result, rows, summary, _ = run_once(tmp_path, text)
    assert result.returncode == 1
    assert rows["files shown on the progress line"] == "4"
    assert rows["drives walked"] == "C:, D:"
    assert rows["finds"] == "3"
    assert rows["verdict"] == "possibly infected"
    for find in (INDICATOR, "C:\\x\\sample.bin", "D:\\b\\other.sys"):
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


def test_a_run_that_cannot_start_is_still_summed_up(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        for why, options, launcher in [
                ("no such program", [], str(tmp_path / "no-such-launcher")),
                ("the report host's address taken", ["--listen", f"127.0.0.1:{port}"], sys.executable)]:
            summary = tmp_path / "summary.md"
            summary.unlink(missing_ok=True)
            result = subprocess.run([sys.executable, str(RUN_ONCE), "--timeout", "10", "--summary",
                                     str(summary), *options, str(tmp_path / "missing.exe"), launcher],
                                    capture_output=True, text=True, timeout=60)
            assert result.returncode == 1, why
            rows = dict(re.findall(r"^\| ([^|]+?) \| ([^|]+?) \|$", summary.read_text(), re.M))
            assert rows["exit status"].startswith("could not start: "), why
            assert rows["program SHA-256"].startswith("`cannot be read: "), why
            assert "- FAIL: the program could not start: " in summary.read_text(), why


def planted_run(port: int, *, finds: list[str] = (INDICATOR, CANDIDATE), query: str = "infected",
                agent: str = AGENT, requests: int = 1, wait: float = 0, infected: bool = True) -> list:
    plan = [["write", BANNER + "".join(f"Found: {f}\n" for f in finds) +
             walk(["C:\\Windows\\a.dll", "D:\\data\\b.txt"])]]
    for _ in range(requests):
        plan += reported(port, query, agent)
    return plan + [["sleep", wait], ["write", ending(infected)], ["exit", 0]]


def test_the_planted_finds_and_their_report_pass_and_are_summed_up(tmp_path):
    port = free_port()
    result, rows, summary, _ = play(tmp_path, planted_run(port), "--expect-find", INDICATOR,
                                    "--expect-find", CANDIDATE, "--listen", f"127.0.0.1:{port}",
                                    "--defender", "off")
    assert result.returncode == 0, result.stderr.decode()
    assert rows["verdict"] == "possibly infected"
    assert rows["finds"] == "2"
    assert rows["drives walked"] == "C:, D:"
    assert rows["wall time per file"].endswith(" ms (Defender real-time protection: off)")
    assert float(rows["verdict after the walk"].removesuffix(" s")) < 5
    assert "  GET /regin.php?infected HTTP/1.1\n" in summary
    assert f"  User-Agent: {AGENT}\n" in summary
    assert "FAIL" not in summary


# Each way a real run with planted finds can go wrong, and what run-once must say of it.
PLANTED_FAULTS = [
    ("finds in the other order", dict(finds=[CANDIDATE, INDICATOR]), "it shows the finds"),
    ("a find too many", dict(finds=[INDICATOR, CANDIDATE, "C:\\x.bin"]), "it shows the finds"),
    ("one find missing", dict(finds=[INDICATOR]), "it shows the finds"),
    ("the clean verdict", dict(infected=False), "does not show the infected verdict"),
    ("the clean report", dict(query="clean"), "GET /regin.php?clean"),
    ("another agent name", dict(agent="Mozilla/5.0"), "with agent ['Mozilla/5.0']"),
    ("two reports", dict(requests=2), "saw 2 requests, not one"),
    ("no report", dict(requests=0), "saw 0 requests, not one"),
]


@pytest.mark.parametrize("fault, change, said", PLANTED_FAULTS, ids=[f[0] for f in PLANTED_FAULTS])
def test_a_real_run_with_planted_finds_fails_for_each_fault(tmp_path, fault, change, said):
    port = free_port()
    result, _, summary, _ = play(tmp_path, planted_run(port, **change), "--expect-find", INDICATOR,
                                 "--expect-find", CANDIDATE, "--listen", f"127.0.0.1:{port}")
    assert result.returncode == 1, fault
    assert said in summary, summary


def test_a_verdict_after_the_report_wait_fails_the_run(tmp_path):
    # The clean wait is 3 s: a verdict later than that means the report outlasted it.
    port = free_port()
    plan = planted_run(port, finds=[], query="clean", infected=False, wait=3.5)
    result, rows, summary, _ = play(tmp_path, plan, "--listen", f"127.0.0.1:{port}")
    assert result.returncode == 1
    assert float(rows["verdict after the walk"].removesuffix(" s")) >= 3
    assert "did not end within its 3 s wait" in summary


def test_what_a_failed_run_prints_is_bounded_and_never_fails_on_the_encoding(tmp_path):
    # A whole machine's progress lines are one line of output: the log shows each line as the
    # console would (after its last carriage return), cut short, whatever the log's encoding.
    walked = [f"C:\\d\\f{i}\u00e9{'x' * (i % 50)}.txt" for i in range(20000)]
    text = BANNER + walk(walked[:-1]) + ("\rScanning " + walked[-1] + "\u00e9" * 2000)
    env = dict(os.environ, PYTHONIOENCODING="ascii")
    result, _, _, _ = play(tmp_path, [["write", text], ["exit", 3]], env=env)
    assert result.returncode == 1
    assert b"Traceback" not in result.stdout + result.stderr, result.stderr.decode(errors="replace")
    assert len(result.stdout) < 4000, f"{len(result.stdout)} bytes printed"
    assert b"\r" not in result.stdout
    assert b"Scanning C:\\d\\f19999\\xe9" in result.stdout
    assert b"FAIL: it exited with 3" in result.stderr
