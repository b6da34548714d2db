"""Small Windows helper programs the tests run beside the scanner (key echo, file holder)."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

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
