"""Fixtures for the ReginDetector end-to-end suite. Run it through run.sh (see README.md)."""
from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import pytest

from harness import console, helpers, prefix as wp, reportlog

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
TIMINGS: list[tuple[str, str, float]] = []     # (what, detail, seconds) for the closing summary


def record(what: str, detail: str, seconds: float | None) -> None:
    if seconds is not None:
        TIMINGS.append((what, detail, seconds))


# --- session-wide --------------------------------------------------------------------------

@pytest.fixture(scope="session")
def namespaces() -> Path:
    """Refuse to run the program unless we are inside run.sh's private namespaces."""
    if not reportlog.in_private_netns():
        pytest.fail("not in a private network namespace: run the suite through tests/e2e/run.sh")
    hosts = os.environ.get("REGIN_E2E_HOSTS")
    if not hosts or os.stat(hosts).st_ino != os.stat("/etc/hosts").st_ino:
        pytest.fail("/etc/hosts is not the suite's own hosts file: run the suite through tests/e2e/run.sh")
    return Path(hosts)


@pytest.fixture(scope="session")
def work_dir() -> Path:
    return Path(os.environ.get("REGIN_E2E_WORK", ROOT / "build" / "mingw" / "e2e"))


@pytest.fixture(scope="session")
def run_dir(work_dir: Path, namespaces) -> Path:
    runs = work_dir / "runs"
    runs.mkdir(parents=True, exist_ok=True)
    # Leftovers of runs that died (their namespace and mounts are gone with them).
    for old in runs.glob("run-*"):
        try:
            pid = int(old.name.split("-", 1)[1])
            os.kill(pid, 0)
        except (ValueError, ProcessLookupError):
            shutil.rmtree(old, ignore_errors=True)
        except PermissionError:
            pass
    d = Path(os.environ.get("REGIN_E2E_RUN") or runs / f"run-{os.getpid()}")
    d.mkdir(parents=True, exist_ok=True)
    return d


@pytest.fixture(scope="session")
def template(work_dir: Path, namespaces) -> Path:
    t0 = time.monotonic()
    stamp = wp.ensure_template(work_dir)
    record("template", "reused" if stamp["reused"] else
           f"created (wineboot {stamp['boot_seconds']}s, {stamp['bytes'] / 2**20:.0f} MiB, {stamp['files']} files)",
           time.monotonic() - t0)
    return work_dir / "template"


def _exe_from_env(var: str, default: Path | None) -> Path | None:
    v = os.environ.get(var)
    return Path(v) if v else default


@pytest.fixture(scope="session")
def exe() -> Path:
    p = _exe_from_env("REGIN_EXE", ROOT / "build" / "mingw" / "ReginDetector.exe")
    if not p.is_file():
        pytest.fail(f"program not found: {p} (build it, or set REGIN_EXE)")
    return p.resolve()


@pytest.fixture(scope="session")
def fixture_exe() -> Path:
    p = _exe_from_env("REGIN_FIXTURE_EXE", None)
    if p is None:
        pytest.skip("REGIN_FIXTURE_EXE not set (the build with the test fixture's digest)")
    if not p.is_file():
        pytest.fail(f"REGIN_FIXTURE_EXE does not exist: {p}")
    return p.resolve()


@pytest.fixture(scope="session")
def keyecho_exe(work_dir: Path) -> Path:
    """The key-echo helper: REGIN_E2E_KEYECHO (built by CMake), else built here with MinGW."""
    return helpers.helper_exe("REGIN_E2E_KEYECHO", "keyecho.cpp", work_dir)


# --- per test ------------------------------------------------------------------------------

@pytest.fixture
def sandbox(template: Path, run_dir: Path, request):
    sb = wp.Sandbox(template, run_dir)
    record("sandbox", sb.mode, sb.timings["copy"])
    try:
        yield sb
    finally:
        t0 = time.monotonic()
        sb.close()
        record("teardown", "", time.monotonic() - t0)


@pytest.fixture
def report_logger(namespaces: Path):
    """Factory: report_logger("answering" | "silent" | "none") -> started ReportLogger."""
    started = []

    def start(mode: str) -> reportlog.ReportLogger:
        lg = reportlog.ReportLogger(mode, namespaces).start()
        started.append(lg)
        return lg

    yield start
    for lg in started:
        lg.stop()


class Scanner:
    """Runs the program and notes its timings for the closing summary."""

    def __init__(self, name: str):
        self.name = name

    def console(self, sb, exe, **kw) -> console.Result:
        r = console.run_console(sb, exe, **kw)
        sb.check_contained()
        return self.note(r)

    def note(self, r: console.Result) -> console.Result:
        record("console run: prompt", self.name, r.t_prompt)
        record("console run: Enter -> exit", self.name, r.t_exit - r.t_enter)
        return r

    def no_console(self, sb, exe, **kw) -> console.Result:
        r = console.run_no_console(sb, exe, **kw)
        sb.check_contained()
        record("no-console run: exit", self.name, r.t_exit)
        return r


@pytest.fixture
def scanner(request) -> Scanner:
    return Scanner(request.node.name)


# --- reporting -----------------------------------------------------------------------------

def pytest_terminal_summary(terminalreporter):
    tr = terminalreporter
    if wp.SILENT_REPEATS:
        tr.section("Wine tools and helpers that ended silently at start and were started once more")
        for line in wp.SILENT_REPEATS:
            tr.write_line(line)
    if not TIMINGS:
        return
    tr.section("e2e timings (seconds)")
    for what, detail, s in TIMINGS:
        tr.write_line(f"{s:8.2f}  {what:28s} {detail}")


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == 5:          # no tests collected: a failure for this suite
        session.exitstatus = 1
