"""Small Windows helper programs the tests run beside the scanner (key echo, file holder,
file writer)."""
from __future__ import annotations

import os
import shutil
import subprocess
import uuid
from pathlib import Path

import pytest

from . import console, prefix as wp

HERE = Path(__file__).resolve().parent.parent


def helper_exe(env: str, source: str, work_dir: Path, *flags: str) -> Path:
    """The helper CMake built (its path in `env`), else `source` built here with MinGW-w64."""
    p = os.environ.get(env)
    if p:
        return Path(p).resolve()
    src = HERE / source
    out = work_dir / (Path(source).stem + ".exe")
    cxx = shutil.which("x86_64-w64-mingw32-g++-posix") or shutil.which("x86_64-w64-mingw32-g++")
    if not out.is_file() or out.stat().st_mtime < src.stat().st_mtime:
        if not cxx:
            pytest.skip(f"no {source} helper: set {env} or install MinGW-w64")
        work_dir.mkdir(parents=True, exist_ok=True)
        tmp = out.with_suffix(f".{os.getpid()}.exe")
        subprocess.run([cxx, "-O2", "-static", *flags, "-o", str(tmp), str(src)], check=True,
                       timeout=120)
        tmp.replace(out)
    return out


class Beside:
    """A helper program running in the sandbox beside the scanner, with one file path as its
    argument, until stop() ends its standard input. Every helper prints a first line, so one
    that ends with a failing status having printed nothing was ended by Wine at its start; it
    is started once more, and noted in the summary (as for Wine tools, see prefix._run)."""

    def __init__(self, sb: wp.Sandbox, exe: Path, path: str):
        self.sb, self.exe, self.path = sb, Path(exe), path
        self._start()

    def _start(self) -> None:
        self.out = self.sb.dir / f"{self.exe.stem}-{uuid.uuid4().hex[:6]}.out"
        self.err = self.out.with_suffix(".err")
        # Files, not pipes: Wine's helpers inherit stdout and stderr.
        with open(self.out, "wb") as fo, open(self.err, "wb") as fe:
            self.proc = subprocess.Popen([wp.WINE, str(self.exe), self.path], cwd=self.sb.drive_c,
                                         env=self.sb.env(), stdin=subprocess.PIPE, stdout=fo, stderr=fe)

    def _first_line(self, timeout: float) -> str:
        console.wait_until(lambda: self.output() or self.proc.poll() is not None, timeout)
        console.wait_until(lambda: b"\n" in self.out.read_bytes() or self.proc.poll() is not None, 5)
        return self.output().split("\n", 1)[0].strip()

    def wait_output(self, timeout: float = 30) -> str:
        """Its first line, once it has written one (or ended)."""
        line = self._first_line(timeout)
        if wp.ended_silently(self.proc.poll(), self.out.read_bytes(), self.err.read_bytes()):
            wp.SILENT_REPEATS.append(f"{self.exe.name} {self.path} (status {self.proc.returncode})")
            self._start()
            line = self._first_line(timeout)
        return line

    def output(self) -> str:
        return self.out.read_bytes().decode("latin-1").strip()

    def lines(self) -> list[str]:
        return [line.strip() for line in self.out.read_bytes().decode("latin-1").splitlines() if line.strip()]

    def stop(self) -> int | None:
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            return self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            return None       # the sandbox's teardown kills its wineserver and every process
