"""Running the program as a user would: in a tmux console, or with no console at all.

Console run: a tmux server on its own socket (-L), one fixed-size window whose shell `cd`s into
the prefix's drive_c and runs the program with stdout redirected to a file (stdin stays the
tmux console, so _getch reads the keys that send-keys types). The exit status goes to a file.
Every wait is bounded.
"""
from __future__ import annotations

import contextlib
import dataclasses
import os
import shlex
import signal
import subprocess
import termios
import time
import uuid
from pathlib import Path

from . import prefix as wp
from .transcript import PROMPT

TMUX = "tmux"
COLS, ROWS = 80, 25
POLL = 0.05
TIME_SCALE = float(os.environ.get("REGIN_E2E_TIME_SCALE", "1"))
PROMPT_TIMEOUT = 240 * TIME_SCALE     # launch -> prompt (covers a full walk of drive C:)
EXIT_TIMEOUT = 15 * TIME_SCALE        # Enter (or prompt, without a console) -> exit
READING_TIMEOUT = 15 * TIME_SCALE     # prompt -> the program reads the console


class RunError(AssertionError):
    pass


@dataclasses.dataclass
class Result:
    stdout: bytes                 # raw bytes, CRLF as written
    status: int | None            # exit status, None if it never ended
    screen: str                   # console screen while the prompt was shown ("" without a console)
    stderr: bytes
    t_start: float                # time.monotonic() at launch
    t_prompt: float | None        # seconds from launch until the prompt was complete in stdout
    t_exit: float | None          # seconds from launch until the exit status was written
    t_enter: float | None = None  # seconds from launch until Enter was sent
    growth: list[tuple[float, int]] = dataclasses.field(default_factory=list)
    # (seconds from launch, stdout size) each time stdout was seen to grow before the prompt
    t_reading: float | None = None  # seconds from launch until the console was switched to raw input

    def pause_before_tail(self, tail_len: int) -> float:
        """Seconds between the moment everything before the last `tail_len` bytes of stdout was
        written (end of the walk) and the moment the prompt was complete."""
        start = len(self.stdout) - tail_len
        first = next(t for t, size in self.growth if size >= start)
        return self.t_prompt - first

    @property
    def prompt_at(self) -> float | None:
        """Monotonic time at which the prompt was first seen."""
        return None if self.t_prompt is None else self.t_start + self.t_prompt


def wait_until(pred, timeout: float):
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() >= end:
            return v
        time.sleep(POLL)


def descendants(pid: int) -> list[int]:
    """Every process below `pid`, from /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def _stopped(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("T", "t", "Z", "X")
    except OSError:
        return True          # gone


def _read(p: Path) -> bytes:
    try:
        return p.read_bytes()
    except FileNotFoundError:
        return b""


class ConsoleRun:
    """One program run in a private tmux server. Step by step: start(), wait_prompt(), keys(),
    enter(), wait_exit(), close(). Or use run_console()."""

    def __init__(self, sandbox: "wp.Sandbox", exe: Path, env: dict[str, str] | None = None):
        self.sb = sandbox
        self.exe = Path(exe)
        self.socket = f"regin-e2e-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        self.dir = sandbox.dir / f"run-{uuid.uuid4().hex[:6]}"
        self.dir.mkdir()
        self.out, self.err, self.rc = self.dir / "stdout.bin", self.dir / "stderr.bin", self.dir / "status"
        self.extra_env = env or {}
        self.t_start = self.t_prompt = self.t_exit = self.t_enter = self.t_reading = None
        self.screen_at_prompt = ""
        self.growth: list[tuple[float, int]] = []
        self._alive = False

    def tmux(self, *args: str, timeout: float = 15, check: bool = True) -> subprocess.CompletedProcess:
        env = {k: v for k, v in os.environ.items() if k not in ("TMUX", "TMUX_PANE")}
        p = subprocess.run([TMUX, "-L", self.socket, *args], capture_output=True, text=True,
                           timeout=timeout, env=env, stdin=subprocess.DEVNULL)
        if check and p.returncode != 0:
            raise RunError(f"tmux {args} failed: {p.stderr.strip()}")
        return p

    def start(self) -> "ConsoleRun":
        env = self.sb.env(**self.extra_env)
        lines = ["#!/bin/sh", f"cd {shlex.quote(str(self.sb.drive_c))} || exit 97"]
        lines += [f"export {k}={shlex.quote(v)}" for k, v in sorted(env.items())
                  if k in ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "PATH", "HOME") or k in self.extra_env]
        lines += ["unset DISPLAY WAYLAND_DISPLAY LANG LANGUAGE LC_ALL",
                  f"{wp.WINE} {shlex.quote(str(self.exe))} > {shlex.quote(str(self.out))} 2> {shlex.quote(str(self.err))}",
                  f"echo $? > {shlex.quote(str(self.rc))}.tmp && mv {shlex.quote(str(self.rc))}.tmp {shlex.quote(str(self.rc))}"]
        script = self.dir / "launch.sh"
        script.write_text("\n".join(lines) + "\n")
        conf = self.dir / "tmux.conf"
        conf.write_text(f"set -g remain-on-exit on\nset -g status off\nset -g default-size {COLS}x{ROWS}\n"
                        "set -g history-limit 2000\nset -g default-terminal tmux-256color\n")
        self.t_start = time.monotonic()
        self.tmux("-f", str(conf), "new-session", "-d", "-s", "main", "-x", str(COLS), "-y", str(ROWS),
                  f"/bin/sh {shlex.quote(str(script))}")
        self._alive = True
        return self

    # --- observation ------------------------------------------------------------------------
    def stdout(self) -> bytes:
        return _read(self.out)

    def status(self) -> int | None:
        s = _read(self.rc).strip()
        return int(s) if s else None

    def running(self) -> bool:
        if self.status() is not None:
            return False
        p = self.tmux("display-message", "-p", "-t", "main", "#{pane_dead}", check=False)
        return p.returncode == 0 and p.stdout.strip() == "0"

    def screen(self) -> str:
        return self.tmux("capture-pane", "-p", "-t", "main").stdout

    def wait_prompt(self, timeout: float = PROMPT_TIMEOUT) -> float:
        """Wait until stdout ends with the prompt; return seconds since launch."""
        def seen():
            data = self.stdout()
            if not self.growth or len(data) > self.growth[-1][1]:
                self.growth.append((time.monotonic() - self.t_start, len(data)))
            return data.endswith(PROMPT) or self.status() is not None
        wait_until(seen, timeout)
        data = self.stdout()
        if not data.endswith(PROMPT):
            st = self.status()
            when = f"program ended with status {st} before" if st is not None else f"no prompt after {timeout:.0f}s"
            raise RunError(f"{when} the prompt; stdout tail: {data[-400:]!r}; "
                           f"stderr: {_read(self.err)[-400:]!r}")
        self.t_prompt = time.monotonic() - self.t_start
        self.wait_reading()
        self.screen_at_prompt = self.screen()
        return self.t_prompt

    def tty_canonical(self) -> bool | None:
        """Whether the pane's terminal is in canonical (line) mode; None if it cannot be read."""
        tty = self.tmux("display-message", "-p", "-t", "main", "#{pane_tty}", check=False).stdout.strip()
        if not tty:
            return None
        try:
            fd = os.open(tty, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            return None
        try:
            return bool(termios.tcgetattr(fd)[3] & termios.ICANON)
        finally:
            os.close(fd)

    def wait_reading(self, timeout: float = READING_TIMEOUT) -> float:
        """Wait until Wine has switched the console to raw input, i.e. the program reads keys.

        Until the first console read, Wine leaves the terminal in line mode: a key typed then is
        echoed and Enter arrives as 10 instead of 13. Typing before this point would make the
        tests flaky for a reason that is not the program's."""
        ok = wait_until(lambda: self.tty_canonical() is False or self.status() is not None, timeout)
        st = self.status()
        if st is not None:
            raise RunError(f"program ended (status {st}) instead of waiting for a key; "
                           f"stdout tail: {self.stdout()[-300:]!r}")
        if not ok:
            raise RunError(f"the console never switched to raw input within {timeout:.0f}s: the program "
                           f"does not read keys; stdout tail: {self.stdout()[-300:]!r}")
        self.t_reading = time.monotonic() - self.t_start
        return self.t_reading

    def program_pids(self) -> list[int]:
        """The processes below the pane's shell: the program, once it has started."""
        shell = int(self.tmux("display-message", "-p", "-t", "main", "#{pane_pid}").stdout.strip())
        return descendants(shell)

    @contextlib.contextmanager
    def paused(self, pids: list[int] | None = None, timeout: float = 5):
        """Hold the program (SIGSTOP to `pids`, by default every process below the pane's shell)
        for the block, once they are all seen stopped, then let it go on (SIGCONT). Pass the pids
        found beforehand where the moment of the stop matters."""
        pids = self.program_pids() if pids is None else pids
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        try:
            if not wait_until(lambda: all(_stopped(pid) for pid in pids), timeout):
                raise RunError(f"the program did not stop within {timeout:.0f}s")
            yield pids
        finally:
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass

    # --- input ------------------------------------------------------------------------------
    def keys(self, *keys: str, literal: bool = False) -> None:
        """tmux send-keys: key names such as 'a', 'Left', 'Escape', 'Space', 'Enter'."""
        self.tmux("send-keys", "-t", "main", *(["-l"] if literal else []), *keys)

    def enter(self) -> None:
        self.t_enter = time.monotonic() - self.t_start
        self.keys("Enter")

    def wait_exit(self, timeout: float = EXIT_TIMEOUT) -> int:
        wait_until(lambda: self.status() is not None, timeout)
        st = self.status()
        if st is None:
            raise RunError(f"program still running {timeout:.0f}s later; stdout tail: {self.stdout()[-300:]!r}")
        self.t_exit = time.monotonic() - self.t_start
        return st

    def result(self) -> Result:
        return Result(self.stdout(), self.status(), self.screen_at_prompt, _read(self.err),
                      self.t_start, self.t_prompt, self.t_exit, self.t_enter, list(self.growth),
                      self.t_reading)

    def close(self) -> None:
        if self._alive:
            self.tmux("kill-server", check=False)
            self._alive = False


def run_console(sandbox: "wp.Sandbox", exe: Path, keys: tuple[str, ...] = (), env: dict[str, str] | None = None,
                prompt_timeout: float = PROMPT_TIMEOUT, during=None) -> Result:
    """Start the program in tmux, call `during(run)` if given, wait for the prompt, type `keys`,
    press Enter, wait for the exit."""
    run = ConsoleRun(sandbox, exe, env)
    try:
        run.start()
        if during:
            during(run)
        run.wait_prompt(prompt_timeout)
        if keys:
            run.keys(*keys)
        run.enter()
        run.wait_exit()
        return run.result()
    finally:
        run.close()


def run_no_console(sandbox: "wp.Sandbox", exe: Path, stdin: str = "devnull", env: dict[str, str] | None = None,
                   prompt_timeout: float = PROMPT_TIMEOUT, exit_timeout: float = EXIT_TIMEOUT) -> Result:
    """Run the program detached (new session, no terminal) with stdin from /dev/null, from a pipe that
    stays open but is never written ("pipe"), or from a pipe closed at once ("closed-pipe").
    It must end by itself; the wait is bounded."""
    d = sandbox.dir / f"run-{uuid.uuid4().hex[:6]}"
    d.mkdir()
    out, err = d / "stdout.bin", d / "stderr.bin"
    stdin_arg = subprocess.DEVNULL if stdin == "devnull" else subprocess.PIPE
    t0 = time.monotonic()
    with open(out, "wb") as fo, open(err, "wb") as fe:
        proc = subprocess.Popen([wp.WINE, str(exe)], cwd=sandbox.drive_c, env=sandbox.env(**(env or {})),
                                stdin=stdin_arg, stdout=fo, stderr=fe, start_new_session=True)
    if stdin == "closed-pipe":
        proc.stdin.close()
    t_prompt = t_exit = None
    try:
        end = t0 + prompt_timeout
        while time.monotonic() < end and proc.poll() is None and not _read(out).endswith(PROMPT):
            time.sleep(POLL)
        if _read(out).endswith(PROMPT):
            t_prompt = time.monotonic() - t0
        try:
            proc.wait(timeout=exit_timeout if t_prompt is not None else max(0.1, end - time.monotonic()))
            t_exit = time.monotonic() - t0
        except subprocess.TimeoutExpired:
            pass
        if t_prompt is None and t_exit is not None and _read(out).endswith(PROMPT):
            t_prompt = t_exit
    finally:
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            wp.server_stop(sandbox.prefix)
            sandbox.start_server()
            proc.wait(timeout=30)
        if proc.stdin:
            proc.stdin.close()
    status = proc.returncode if t_exit is not None else None
    return Result(_read(out), status, "", _read(err), t0, t_prompt, t_exit)
