"""Runs ReginDetector.exe once, as a job with no one at the keyboard would, and checks what it
shows: the banner of the project's version first, the expected finds in order and nothing else,
the verdict they call for, and the prompt as the very end of the output. Exits 0 when all is as
it should be, 1 otherwise.

    python run-once.py [--timeout SECONDS] [--summary FILE] [--expect-find PATH ...]
                       [--listen HOST:PORT ...] [--defender STATE] EXE [LAUNCHER...]

On Windows the program is started with no console (DETACHED_PROCESS): _getch then fails at once,
so its wait for Enter ends at once. (With a console, redirected input would not end it: _getch
reads the console, not standard input.) Elsewhere LAUNCHER runs it (Wine: the caller sets up the
prefix and keeps the network private). Output goes to a file, never a pipe: programs the launcher
starts may hold a pipe open long after the program has ended. The run is bounded in time; on
timeout the program (its whole process group, off Windows) is killed.

--expect-find, once for each find in the order the program prints them: the run must show
exactly those, and then the infected verdict; without it, no find and the clean verdict.

--listen: a stand-in for the report host on that address (the caller maps the host to it),
started before the program. It records every request and answers 200 with no body. The run must
then make exactly one request, GET /regin.php?infected or ?clean as the verdict says, with the
program's agent name, and show the verdict less than the report wait (10 s infected, 3 s clean)
after the walk's last progress line: the report ended within the wait.

With --summary, a Markdown table of the run is appended to FILE (a GitHub job's summary page,
$GITHUB_STEP_SUMMARY), also when the run fails, is killed or cannot start at all: the program's
SHA-256, the drives walked, the files shown on the progress line, the wall time and the
milliseconds per file (with --defender, next to the state of the virus scanner's real-time
protection, which slows every open), the finds, the verdict and the requests the listener saw.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

PROMPT = "Please press enter to continue... "
CLEAN = "No known infections of regin found.\nYour system looks clean.\n"
INFECTED = "Your system is possibly infected with Regin.\n"
AGENT = "VelmoraReginDetector"
REPORT_WAIT = {"infected": 10.0, "clean": 3.0}
PROGRESS = b"\rScanning "
VERDICT_LINES = [v.split("\n", 1)[0].encode() for v in (CLEAN, INFECTED)]
FINDS_LISTED = 50       # at most this many finds are named in the summary
LOG_LINES = 3, 6        # lines of output printed to the log from its start and from its end
LOG_LINE_CHARS = 300    # and at most this much of each


def project_version() -> str:
    text = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*ReginDetector\s+VERSION\s+([0-9.]+)", text)
    if not found:
        sys.exit("run-once: no project version in CMakeLists.txt")
    return found.group(1)


# --- the report host's stand-in -----------------------------------------------------------------

@dataclass
class Listener:
    """Accepts on its addresses, records each request's head and answers 200 with no body."""
    addresses: list[tuple[str, int]]
    requests: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    sockets: list[socket.socket] = field(default_factory=list)

    def start(self) -> None:
        for host, port in self.addresses:
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            server = socket.socket(family, socket.SOCK_STREAM)
            if family == socket.AF_INET6:
                server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            server.bind((host, port))
            server.listen(8)
            self.sockets.append(server)
            threading.Thread(target=self.serve, args=(server,), daemon=True).start()

    def serve(self, server: socket.socket) -> None:
        while True:
            try:
                connection, _ = server.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(10)
                head = b""
                try:
                    while b"\r\n\r\n" not in head and len(head) < 65536:
                        chunk = connection.recv(4096)
                        if not chunk:
                            break
                        head += chunk
                    self.requests.append(head.split(b"\r\n\r\n", 1)[0].decode("latin-1"))
                    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                except OSError as error:
                    self.errors.append(f"{error}")

    def stop(self) -> None:
        for server in self.sockets:
            server.close()


def address(text: str) -> tuple[str, int]:
    found = re.fullmatch(r"\[?([0-9A-Fa-f:.]+?)\]?:(\d+)", text)
    if not found:
        raise argparse.ArgumentTypeError(f"not HOST:PORT or [HOST]:PORT: {text}")
    return found.group(1), int(found.group(2))


# --- the run ------------------------------------------------------------------------------------

@dataclass
class Run:
    raw: bytes = b""
    seconds: float = 0.0
    status: int | str | None = None     # exit status; None killed at the limit; text: no start
    walk_ended: float | None = None     # seconds from the start: last progress line seen
    verdict_shown: float | None = None  # seconds from the start: the verdict first seen


def watch(command: list[str], timeout: float, output: Path) -> Run:
    """Runs the command with its output to a file, noting when the walk ends and the verdict shows."""
    options = {}
    if os.name == "nt":
        options["creationflags"] = subprocess.DETACHED_PROCESS
    else:
        options["start_new_session"] = True
    run = Run()
    started = time.monotonic()
    with open(output, "wb") as sink, open(output, "rb") as source:
        try:
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=sink,
                                       stderr=subprocess.STDOUT, **options)
        except OSError as error:
            run.status = f"could not start: {error}"
            return run
        tail = b""
        while True:
            ended = process.poll() is not None
            now = time.monotonic() - started
            chunk = source.read()
            if chunk:
                if PROGRESS in tail[-len(PROGRESS):] + chunk:
                    run.walk_ended = now
                tail = (tail + chunk)[-4096:]
                if run.verdict_shown is None and any(v in tail for v in VERDICT_LINES):
                    run.verdict_shown = now
            if ended:
                run.status = process.returncode
                break
            if now > timeout:
                if os.name == "nt":
                    process.kill()
                else:
                    os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                break
            time.sleep(0.05)
    run.seconds = time.monotonic() - started
    run.raw = output.read_bytes()
    return run


def decode(raw: bytes) -> str:
    """Console text as the program wrote it: with no console, in the ANSI code page; CRLF ends."""
    text = raw.decode("mbcs", "replace") if os.name == "nt" else raw.decode("latin-1")
    return text.replace("\r\n", "\n")


def finds_in(text: str) -> list[str]:
    return re.findall(r"(?:^|[\r\n])Found: ([^\r\n]*)", text)


def drives_in(raw: bytes) -> list[str]:
    return sorted({m.decode() for m in re.findall(rb"\rScanning ([A-Za-z]):", raw)})


def problems_in(run: Run, text: str, version: str, timeout: float, expected: list[str],
                listener: Listener | None) -> list[str]:
    if isinstance(run.status, str):
        return [f"the program {run.status}"]
    problems = []
    if run.status is None:
        problems.append(f"it did not end within {timeout:.0f} s")
    elif run.status != 0:
        problems.append(f"it exited with {run.status}")
    verdict = "infected" if expected else "clean"
    banner = f"Velmora Antivirus  Regin Detector - {version}\n(c) 2026 Velmora\n\n"
    if not text.startswith(banner):
        problems.append(f"it does not start with the banner of version {version}")
    finds = finds_in(text)
    if finds != expected:
        problems.append(f"it shows the finds {finds[:FINDS_LISTED]}, not {expected}")
    if "\n" + (INFECTED if expected else CLEAN) not in text:
        problems.append(f"it does not show the {verdict} verdict")
    if not text.endswith("\n" + PROMPT):
        problems.append("it does not end with the prompt")
    if listener is not None:
        wanted = f"GET /regin.php?{verdict} "
        if len(listener.requests) != 1:
            problems.append(f"the report host saw {len(listener.requests)} requests, not one")
        for request in listener.requests:
            line, *headers = request.split("\r\n")
            agents = [h.split(":", 1)[1].strip() for h in headers if h.lower().startswith("user-agent:")]
            if not line.startswith(wanted) or agents != [AGENT]:
                problems.append(f"the report host saw '{line}' with agent {agents}, not "
                                f"'{wanted.strip()}' with agent {AGENT}")
        problems += [f"the report host's stand-in failed: {e}" for e in listener.errors]
        if run.walk_ended is not None and run.verdict_shown is not None:
            gap = run.verdict_shown - run.walk_ended
            if gap >= REPORT_WAIT[verdict]:
                problems.append(f"the verdict came {gap:.1f} s after the walk: the report did not "
                                f"end within its {REPORT_WAIT[verdict]:.0f} s wait")
        else:
            problems.append("no walk followed by a verdict was seen, so the report's wait is unknown")
    return problems


def summary(exe: str, run: Run, text: str, problems: list[str], listener: Listener | None,
            defender: str | None) -> str:
    """The run as a Markdown table: what the program showed, how long it took, what it found."""
    files = run.raw.count(PROGRESS)
    finds = finds_in(text)
    if CLEAN in text:
        verdict = "clean"
    elif INFECTED in text:
        verdict = "possibly infected"
    else:
        verdict = "none shown"
    per_file = f"{run.seconds * 1000 / files:.3f} ms" if files else "-"
    if defender:
        per_file += f" (Defender real-time protection: {defender})"
    try:
        digest = hashlib.sha256(Path(exe).read_bytes()).hexdigest()
    except OSError as error:
        digest = f"cannot be read: {error}"
    status = "killed at the time limit" if run.status is None else run.status
    after_walk = ("-" if run.walk_ended is None or run.verdict_shown is None
                  else f"{run.verdict_shown - run.walk_ended:.2f} s")
    minutes, rest = divmod(run.seconds, 60)
    lines = [f"## {Path(exe).name}: one run over the whole machine", "",
             "| what | value |", "| --- | --- |",
             f"| program SHA-256 | `{digest}` |",
             f"| drives walked | {', '.join(d + ':' for d in drives_in(run.raw)) or '-'} |",
             f"| files shown on the progress line | {files:,} |",
             f"| wall time | {int(minutes)} min {rest:.1f} s ({run.seconds:.3f} s) |",
             f"| wall time per file | {per_file} |",
             f"| finds | {len(finds)} |",
             f"| verdict | {verdict} |",
             f"| verdict after the walk | {after_walk} |",
             f"| exit status | {status} |",
             f"| output | {len(run.raw):,} bytes |", ""]
    for find in finds[:FINDS_LISTED]:
        lines.append(f"- found: `{find}`")
    if len(finds) > FINDS_LISTED:
        lines.append(f"- and {len(finds) - FINDS_LISTED} more finds")
    if listener is not None:
        if not listener.requests:
            lines.append("- the report host saw no request")
        for request in listener.requests:
            lines += ["- the report host saw:", "", "  ```"]
            lines += [f"  {line}" for line in request.split("\r\n")] + ["  ```", ""]
    for problem in problems:
        lines.append(f"- FAIL: {problem}")
    return "\n".join(lines) + "\n"


def shown_lines(text: str) -> str:
    """A few lines of the output, each as the console leaves it (after its last carriage
    return) and cut short: a whole machine's progress lines make one line of some 100 MB."""
    lines = [line.rsplit("\r", 1)[-1] for line in text.split("\n")]
    lines = [line if len(line) <= LOG_LINE_CHARS else line[:LOG_LINE_CHARS] + " [...]" for line in lines]
    head, tail = LOG_LINES
    if len(lines) > head + tail:
        lines = lines[:head] + [f"[... {len(lines) - head - tail} lines ...]"] + lines[-tail:]
    return "\n".join(lines)


def main() -> int:
    # Whatever the log's encoding, printing never fails.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timeout", type=float, default=1800, help="seconds (default 1800)")
    parser.add_argument("--summary", type=Path, help="append a Markdown table of the run to this file")
    parser.add_argument("--expect-find", action="append", default=[], metavar="PATH",
                        help="a find the run must show, in order (once for each)")
    parser.add_argument("--listen", action="append", default=[], type=address, metavar="HOST:PORT",
                        help="stand in for the report host there")
    parser.add_argument("--defender", help="the state of real-time protection, for the summary")
    parser.add_argument("exe")
    parser.add_argument("launcher", nargs="*")
    args = parser.parse_args()
    version = project_version()

    listener = Listener(args.listen) if args.listen else None
    run = None
    if listener is not None:
        try:
            listener.start()
        except OSError as error:
            run = Run(status=f"could not start: nothing can stand in for the report host ({error})")
    if run is None:
        with tempfile.TemporaryDirectory(prefix="regin-run-") as work:
            run = watch(args.launcher + [args.exe], args.timeout, Path(work, "output.txt"))
    if listener is not None:
        listener.stop()
    text = decode(run.raw)
    problems = problems_in(run, text, version, args.timeout, args.expect_find, listener)
    if args.summary:
        with open(args.summary, "a", encoding="utf-8") as sink:
            sink.write(summary(args.exe, run, text, problems, listener, args.defender))
    print(f"{args.exe}: {len(run.raw)} bytes of output in {run.seconds:.1f} s, exit status "
          f"{run.status}:\n{shown_lines(text)}\n")
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if not problems:
        print(f"ok: banner, {len(args.expect_find)} finds as expected, the verdict, the prompt at the "
              "end, exit status 0" + (", one report within its wait" if listener else ""))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
