"""Runs ReginDetector.exe once, as a job with no one at the keyboard would, and checks what it
shows: the banner of the project's version first, the clean verdict, and the prompt as the very
end of the output. Exits 0 when all is as it should be, 1 otherwise.

    python run-once.py [--timeout SECONDS] [--summary FILE] EXE [LAUNCHER...]

On Windows the program is started with no console (DETACHED_PROCESS): its wait for Enter then
ends at once, as with input from a file. Elsewhere LAUNCHER runs it (Wine: the caller sets up the
prefix and keeps the network private). Output goes to a file, never a pipe: programs the launcher
starts may hold a pipe open long after the program has ended. The run is bounded in time; on
timeout the program (its whole process group, off Windows) is killed.

With --summary, a Markdown table of the run is appended to FILE (a GitHub job's summary page,
$GITHUB_STEP_SUMMARY), also when the run fails or is killed: the files shown on the progress
line, the wall time and the milliseconds per file, the finds and the verdict.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROMPT = "Please press enter to continue... "
CLEAN = "No known infections of regin found.\nYour system looks clean.\n"
INFECTED = "Your system is possibly infected with Regin.\n"
FINDS_LISTED = 50       # at most this many finds are named in the summary


def project_version() -> str:
    text = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*ReginDetector\s+VERSION\s+([0-9.]+)", text)
    if not found:
        sys.exit("run-once: no project version in CMakeLists.txt")
    return found.group(1)


def run(command: list[str], timeout: float, output: Path) -> int:
    options = {}
    if os.name == "nt":
        options["creationflags"] = subprocess.DETACHED_PROCESS
    else:
        options["start_new_session"] = True
    with open(output, "wb") as sink:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=sink,
                                   stderr=subprocess.STDOUT, **options)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            if os.name == "nt":
                process.kill()
            else:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


def summary(exe: str, raw: bytes, text: str, seconds: float, status: int | None,
            problems: list[str]) -> str:
    """The run as a Markdown table: what the program showed, how long it took, what it found."""
    files = raw.count(b"\rScanning ")
    finds = re.findall(r"(?:^|[\r\n])Found: ([^\r\n]*)", text)
    if CLEAN in text:
        verdict = "clean"
    elif INFECTED in text:
        verdict = "possibly infected"
    else:
        verdict = "none shown"
    per_file = f"{seconds * 1000 / files:.3f} ms" if files else "-"
    minutes, rest = divmod(seconds, 60)
    lines = [f"## {Path(exe).name}: one run over the whole machine", "",
             "| what | value |", "| --- | --- |",
             f"| files shown on the progress line | {files:,} |",
             f"| wall time | {int(minutes)} min {rest:.1f} s ({seconds:.3f} s) |",
             f"| wall time per file | {per_file} |",
             f"| finds | {len(finds)} |",
             f"| verdict | {verdict} |",
             f"| exit status | {'killed at the time limit' if status is None else status} |",
             f"| output | {len(raw):,} bytes |", ""]
    for find in finds[:FINDS_LISTED]:
        lines.append(f"- found: `{find}`")
    if len(finds) > FINDS_LISTED:
        lines.append(f"- and {len(finds) - FINDS_LISTED} more finds")
    for problem in problems:
        lines.append(f"- FAIL: {problem}")
    return "\n".join(lines) + "\n"


def problems_in(text: str, version: str) -> list[str]:
    problems = []
    banner = f"Velmora Antivirus  Regin Detector - {version}\n(c) 2026 Velmora\n\n"
    if not text.startswith(banner):
        problems.append(f"it does not start with the banner of version {version}")
    if "\n" + CLEAN + "\n" not in text:
        problems.append("it does not show the clean verdict")
    if not text.endswith("\n" + PROMPT):
        problems.append("it does not end with the prompt")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timeout", type=float, default=1800, help="seconds (default 1800)")
    parser.add_argument("--summary", type=Path, help="append a Markdown table of the run to this file")
    parser.add_argument("exe")
    parser.add_argument("launcher", nargs="*")
    args = parser.parse_args()
    version = project_version()

    with tempfile.TemporaryDirectory(prefix="regin-run-") as work:
        output = Path(work, "output.txt")
        started = time.monotonic()
        try:
            status = run(args.launcher + [args.exe], args.timeout, output)
        except subprocess.TimeoutExpired:
            status = None
        seconds = time.monotonic() - started
        raw = output.read_bytes()
    # Console text: CRLF line ends, one progress line per file rewritten with CR.
    text = raw.decode("latin-1").replace("\r\n", "\n")
    if status is None:
        problems = [f"it did not end within {args.timeout:.0f} s"]
    else:
        problems = problems_in(text, version)
        if status != 0:
            problems.insert(0, f"it exited with {status}")
    if args.summary:
        with open(args.summary, "a", encoding="utf-8") as sink:
            sink.write(summary(args.exe, raw, text, seconds, status, problems))
    lines = text.split("\n")
    shown = "\n".join(lines[:3] + ["..."] + lines[-6:])
    print(f"{args.exe}: {len(raw)} bytes of output in {seconds:.1f} s, exit status {status}:\n{shown}\n")
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if not problems:
        print("ok: banner, clean verdict, prompt at the end, exit status 0")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
