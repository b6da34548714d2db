"""The test bench itself: the template prefix is safe to walk, sandboxes are isolated from it
and from each other, and the report logger behaves in each of its modes. A fault here would
make the program's tests pass or fail for the wrong reason."""
import os
import socket
import subprocess
import time
import types
import urllib.request

import pytest

from harness import console, helpers, prefix as wp, reportlog
from harness.keys import ENTER_CODE, KEY_GROUPS

pytestmark = pytest.mark.wine


def test_template_cannot_reach_outside_itself(template):
    assert not (template / "dosdevices" / "z:").is_symlink()
    assert wp.escaping_links(template) == []
    users = template / "drive_c" / "users"
    for user in users.iterdir():
        for name in ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos"):
            p = user / name
            if p.exists() or p.is_symlink():
                assert p.is_dir() and not p.is_symlink() and not any(p.iterdir()), p


def test_sandbox_writes_stay_in_the_sandbox(sandbox, template):
    planted = sandbox.plant_file("System32\\config\\SystemLog.Evt", b"x")
    # Existing folders are reused whatever the case given: no second "System32" beside "system32".
    assert planted == sandbox.windows / "system32" / "config" / "SystemLog.Evt"
    assert sorted(p.name for p in sandbox.windows.iterdir() if p.name.lower() == "system32") == ["system32"]
    sandbox.plant_dir("Panther\\CACHE")
    assert not (template / "drive_c" / "windows" / "system32" / "config").exists()
    assert not (template / "drive_c" / "windows" / "Panther").exists()


def test_drive_types_reach_the_registry(sandbox):
    sandbox.map_drive("d", drive_type="cdrom")
    sandbox.map_drive("e", drive_type="network")
    sandbox.restart_server()
    out = sandbox.wine(["reg", "query", "HKLM\\Software\\Wine\\Drives"]).stdout.decode("latin-1")
    assert "d:" in out and "cdrom" in out and "e:" in out and "network" in out
    assert os.readlink(sandbox.prefix / "dosdevices" / "d:") == str(sandbox.dir / "drive_d")


# (case, what the program does on its first and later runs, repeat asked, runs expected,
#  status or None if the tool run raises, first line the helper gives)
SILENT_CASES = [
    ("silent failure, then output", 'if [ "$n" = 1 ]; then exit 1; fi; echo ok', True, 2, 0, "ok"),
    ("silent failure twice", "exit 1", True, 2, None, ""),
    ("failure with a message", "echo no such key; exit 1", True, 1, None, "no such key"),
    ("failure with a message on stderr", "echo no such key >&2; exit 1", True, 1, None, ""),
    ("silent success", "exit 0", True, 1, 0, ""),
    ("silent failure, not asked to repeat", 'if [ "$n" = 1 ]; then exit 1; fi; echo ok', False, 1, None, None),
]


# A helper is always started once more after a silent failure: no case without the repeat.
SILENT_RUNS = [("tool", *c) for c in SILENT_CASES] + [("helper", *c) for c in SILENT_CASES if c[2]]


@pytest.mark.parametrize("runner,what,script,again,runs,status,line", SILENT_RUNS,
                         ids=[f"{r[0]}: {r[1]}" for r in SILENT_RUNS])
def test_only_a_silent_failure_is_started_once_more(tmp_path, monkeypatch, runner, what, script, again, runs,
                                                    status, line):
    """Wine tools (prefix._run) and helpers beside the scanner (helpers.Beside) are started
    again only when they fail having printed nothing; the repeat is listed for the summary."""
    monkeypatch.setattr(wp, "SILENT_REPEATS", [])
    count = tmp_path / "count"
    body = f'echo run >> "{count}"; n=$(wc -l < "{count}"); {script}'
    if runner == "tool":
        cmd = ["sh", "-c", body]
        if status is None:
            with pytest.raises(RuntimeError):
                wp._run(cmd, tmp_path, 10, cwd=tmp_path, again_if_silent=again)
        else:
            assert wp._run(cmd, tmp_path, 10, cwd=tmp_path, again_if_silent=again).returncode == status
    else:
        # The helper runs as [WINE, exe, path]: here the shell runs a script in its place.
        monkeypatch.setattr(wp, "WINE", "/bin/sh")
        script_file = tmp_path / "helper.sh"
        script_file.write_text(body + "\n")
        sb = types.SimpleNamespace(dir=tmp_path, drive_c=tmp_path, env=lambda: dict(os.environ))
        helper = helpers.Beside(sb, script_file, "C:\\file")
        assert helper.wait_output(timeout=10) == line
        helper.stop()
    assert count.read_text().count("run") == runs
    assert len(wp.SILENT_REPEATS) == runs - 1


def _get(path: str, timeout: float):
    return urllib.request.urlopen(f"http://{reportlog.REPORT_HOST}{path}", timeout=timeout)


def test_logger_answering_records_the_request(report_logger):
    lg = report_logger("answering")
    req = urllib.request.Request(f"http://{reportlog.REPORT_HOST}/regin.php?clean",
                                 headers={"User-Agent": "probe"})
    with urllib.request.urlopen(req, timeout=5) as r:
        assert r.status == 200
    (got,) = lg.wait_requests(1, 5)
    assert got.request_line == "GET /regin.php?clean HTTP/1.1"
    assert got.header("User-Agent") == ["probe"]
    assert got.header("Host") == [reportlog.REPORT_HOST]


def test_logger_silent_never_answers(report_logger):
    lg = report_logger("silent")
    with pytest.raises((socket.timeout, TimeoutError)):
        _get("/regin.php?infected", timeout=1.0)
    assert [r.request_line for r in lg.wait_requests(1, 2)] == ["GET /regin.php?infected HTTP/1.1"]


def test_logger_none_makes_the_host_unresolvable(report_logger):
    report_logger("none")
    with pytest.raises(socket.gaierror):
        socket.getaddrinfo(reportlog.REPORT_HOST, 80)


def test_nothing_but_loopback_is_reachable(namespaces):
    assert reportlog.in_private_netns()
    p = subprocess.run(["ip", "-o", "route", "show"], capture_output=True, text=True, timeout=10)
    assert "default" not in p.stdout


def test_typed_keys_reach_getch(sandbox, keyecho_exe):
    """Each key group used at the program's prompt arrives as the listed _getch codes; otherwise
    a test that types them would prove nothing."""
    run = console.ConsoleRun(sandbox, keyecho_exe)
    try:
        run.start()

        def codes():
            lines = run.stdout().decode().split()
            return [int(x) for x in lines[1:]] if lines[:1] == ["ready"] else None

        assert console.wait_until(lambda: codes() is not None, 30), "key-echo helper did not start"
        run.wait_reading()
        seen = 0
        for name, keys, expected in KEY_GROUPS:
            run.keys(*keys)
            console.wait_until(lambda: len(codes()) >= seen + len(expected), 5)
            time.sleep(0.3)
            got = codes()[seen:]
            assert got == expected, f"{name}: {keys} arrived as {got}"
            seen += len(got)
        run.enter()
        assert run.wait_exit() == 0
        assert codes()[seen:] == [ENTER_CODE]
    finally:
        run.close()
