"""Wine prefixes for the end-to-end tests: one template per build folder, one sandbox per test.

Template: `wineboot --init` once (without Mono/Gecko), then made safe for a full C:..Z: walk:
no z: drive, and every link under drive_c that leads out of the prefix (the user's Desktop,
Documents, ..., AppData\\Roaming\\Microsoft\\Windows\\Templates) replaced by an empty folder.
Creation is serialised with flock, built in a scratch folder and renamed into place.

Sandbox: a copy-on-write view of the template (overlayfs; needs the private mount namespace
that run.sh sets up) or, failing that, a `cp -a` copy. Its own persistent wineserver is
started before the program and killed at teardown.
"""
from __future__ import annotations

import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time
import uuid
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
STAMP = ".regin-e2e-template.json"
TEMPLATE_FORMAT = 1
BOOT_TIMEOUT = 300
SERVER_TIMEOUT = 30
DRIVE_TYPES = ("hd", "cdrom", "network", "floppy")
SILENT_REPEATS: list[str] = []     # Wine tool and helper runs started once more (see _run)


def wine_env(prefix: Path, **extra: str) -> dict[str, str]:
    """A clean environment for Wine tools: no display, no host locale, fixed debug and DLL settings."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMUX", "TMUX_PANE", "LANG", "LANGUAGE")
           and not k.startswith("LC_") and not k.startswith("WINE")}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.update(extra)
    return env


def wine_version() -> str:
    return subprocess.run([WINE, "--version"], capture_output=True, text=True, timeout=30).stdout.strip()


def ended_silently(status: int | None, *outputs: bytes) -> bool:
    """A failing end with nothing printed: how Wine ends a process at its start, now and then."""
    return status not in (None, 0) and not any(outputs)


def _run_once(cmd, prefix: Path, timeout: float, cwd: Path | None) -> subprocess.CompletedProcess:
    """Output goes to unnamed files, not pipes: a wineserver or helper process (services.exe,
    winedevice.exe, ...) started by the tool inherits them and outlives it, and subprocess
    would wait for it to close a pipe."""
    with tempfile.TemporaryFile() as fo, tempfile.TemporaryFile() as fe:
        p = subprocess.run(cmd, env=wine_env(prefix), cwd=cwd or prefix / "drive_c",
                           stdin=subprocess.DEVNULL, stdout=fo, stderr=fe, timeout=timeout)
        fo.seek(0)
        fe.seek(0)
        p.stdout, p.stderr = fo.read(), fe.read()
    return p


def _run(cmd, prefix: Path, timeout: float, cwd: Path | None = None, check: bool = True,
         again_if_silent: bool = False) -> subprocess.CompletedProcess:
    """Run a Wine tool. With `again_if_silent`, a run that fails having printed nothing at all is
    started once more: Wine, rarely, ends a process that way at its start (seen in full test
    runs on a reg.exe query and on the file holder, each seconds after the prefix's server was
    restarted), while every failure of the tools themselves prints a message. The repeat is
    noted in SILENT_REPEATS for the closing summary."""
    p = _run_once(cmd, prefix, timeout, cwd)
    if again_if_silent and ended_silently(p.returncode, p.stdout, p.stderr):
        SILENT_REPEATS.append(f"{' '.join(map(str, cmd))} (status {p.returncode})")
        p = _run_once(cmd, prefix, timeout, cwd)
    if check and p.returncode != 0:
        raise RuntimeError(f"{cmd} failed ({p.returncode}): {p.stdout!r} {p.stderr!r}")
    return p


def server_start(prefix: Path) -> None:
    """Start a persistent wineserver for `prefix` (it forks into the background)."""
    _run([WINESERVER, "-p"], prefix, SERVER_TIMEOUT)


def server_stop(prefix: Path) -> None:
    """Kill the prefix's wineserver and every Wine process attached to it; wait until it is gone."""
    _run([WINESERVER, "-k"], prefix, SERVER_TIMEOUT, check=False)
    try:
        _run([WINESERVER, "-w"], prefix, SERVER_TIMEOUT, check=False)
    except subprocess.TimeoutExpired:
        _run([WINESERVER, "-k", "9"], prefix, SERVER_TIMEOUT, check=False)


def du_bytes(path: Path) -> int:
    out = subprocess.run(["du", "-sb", str(path)], capture_output=True, text=True, timeout=120).stdout
    return int(out.split()[0])


def links_leaving(prefix: Path) -> list[Path]:
    """Links under drive_c whose target lies outside the prefix."""
    root = prefix.resolve()
    leaving = []
    for dirpath, dirnames, filenames in os.walk(prefix / "drive_c"):
        for name in dirnames + filenames:
            p = Path(dirpath, name)
            if p.is_symlink():
                target = Path(os.path.realpath(p))
                if target != root and root not in target.parents:
                    leaving.append(p)
    return leaving


def escaping_links(prefix: Path) -> list[str]:
    """Links under drive_c whose target lies outside the prefix, and drive letters other than c:."""
    bad = [f"{p} -> {os.readlink(p)}" for p in links_leaving(prefix)]
    for entry in (prefix / "dosdevices").iterdir():
        if len(entry.name) == 2 and entry.name.endswith(":") and entry.name != "c:":
            bad.append(f"{entry} (drive letter)")
    return bad


def server_dir_link(prefix: Path) -> Path:
    """Wine 8 keeps the name of its /tmp/wine-XXXXXX folder (where the wineserver sockets live,
    one server-<dev>-<inode> folder per prefix) in the prefix's file "wineserver". Copies of a
    prefix would share that folder and tell their servers apart only by the device and inode of
    the prefix folder, which the file system reuses: a new sandbox could then reach a dying
    server of an old one. Each sandbox drops the file, so Wine makes a folder of its own."""
    return prefix / "wineserver"


def forget_server_dir(prefix: Path) -> None:
    link = server_dir_link(prefix)
    if link.exists():
        link.unlink()


def remove_server_dir(prefix: Path) -> None:
    """Remove the prefix's own /tmp/wine-XXXXXX folder (only once its server has gone)."""
    try:
        name = server_dir_link(prefix).read_text().strip()
    except OSError:
        return
    if name.startswith("wine-") and "/" not in name and len(name) == len("wine-XXXXXX"):
        shutil.rmtree(Path("/tmp") / name, ignore_errors=True)


def make_safe(prefix: Path) -> None:
    """Remove z: and turn every link under drive_c that leads out of the prefix into an empty folder."""
    z = prefix / "dosdevices" / "z:"
    if z.is_symlink() or z.exists():
        z.unlink()
    for p in links_leaving(prefix):
        p.unlink()
        p.mkdir()


def _template_ok(template: Path, version: str) -> bool:
    try:
        stamp = json.loads((template / STAMP).read_text())
    except (OSError, ValueError):
        return False
    return (stamp.get("format") == TEMPLATE_FORMAT and stamp.get("wine") == version
            and (template / "system.reg").is_file()
            and not server_dir_link(template).exists()
            and (template / "drive_c" / "windows" / "system32").is_dir()
            and not escaping_links(template))


def ensure_template(work: Path) -> dict:
    """Return the stamp of a valid template at work/template, creating it if needed (under a lock)."""
    work.mkdir(parents=True, exist_ok=True)
    template = work / "template"
    version = wine_version()
    with open(work / "template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _template_ok(template, version):
            stamp = json.loads((template / STAMP).read_text())
            stamp["reused"] = True
            return stamp
        scratch = work / f"template.new-{os.getpid()}"
        shutil.rmtree(scratch, ignore_errors=True)
        t0 = time.monotonic()
        env = wine_env(scratch)
        log = work / "template-boot.log"
        with open(log, "wb") as f:     # a file, not a pipe: the wineserver it starts inherits it
            p = subprocess.run([WINE, "wineboot", "--init"], env=env, cwd=work, stdin=subprocess.DEVNULL,
                               stdout=f, stderr=f, timeout=BOOT_TIMEOUT)
        if p.returncode != 0:
            raise RuntimeError(f"wineboot --init failed ({p.returncode}), see {log}")
        # wineboot returns while the server still holds the registry in memory: wait until it
        # has written system.reg/user.reg and gone.
        subprocess.run([WINESERVER, "-w"], env=env, cwd=work, timeout=BOOT_TIMEOUT)
        boot_s = time.monotonic() - t0
        remove_server_dir(scratch)
        forget_server_dir(scratch)
        make_safe(scratch)
        bad = escaping_links(scratch)
        if bad:
            raise RuntimeError(f"template still reaches outside itself: {bad}")
        stamp = {"format": TEMPLATE_FORMAT, "wine": version, "boot_seconds": round(boot_s, 2),
                 "bytes": du_bytes(scratch), "files": sum(len(f) for _, _, f in os.walk(scratch)),
                 "created": time.strftime("%Y-%m-%d %H:%M:%S")}
        (scratch / STAMP).write_text(json.dumps(stamp, indent=1))
        shutil.rmtree(template, ignore_errors=True)
        scratch.rename(template)
        stamp["reused"] = False
        return stamp


def _on_same_components(root: Path, rel: str) -> Path:
    """Map a Windows-style relative path onto existing folders case-insensitively, as Wine would.

    Components that do not exist yet keep the spelling given; existing ones keep theirs, so
    planting "System32\\config\\x" in a prefix that has "system32" does not create a second
    "System32" folder beside it.
    """
    cur = root
    for part in [p for p in rel.replace("\\", "/").split("/") if p]:
        match = None
        if cur.is_dir():
            for entry in os.listdir(cur):
                if entry.lower() == part.lower():
                    match = entry
                    break
        cur = cur / (match or part)
    return cur


class Sandbox:
    """A throwaway prefix made from the template. Use as a context manager or call close()."""

    def __init__(self, template: Path, runs: Path, mode: str | None = None):
        mode = mode or os.environ.get("REGIN_E2E_SANDBOX", "auto")
        self.dir = runs / f"sb-{uuid.uuid4().hex[:10]}"
        self.dir.mkdir(parents=True)
        self.template = template
        self.mode = mode
        self.timings: dict[str, float] = {}
        self.mapped: set[str] = set()
        t0 = time.monotonic()
        self.prefix = self.dir / "prefix"
        self.prefix.mkdir()
        self._mounted = False
        if mode in ("auto", "overlay"):
            upper, workdir = self.dir / "upper", self.dir / "ovwork"
            upper.mkdir()
            workdir.mkdir()
            p = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                                f"lowerdir={template},upperdir={upper},workdir={workdir}", str(self.prefix)],
                               capture_output=True, timeout=30)
            if p.returncode == 0:
                self._mounted = True
                self.mode = "overlay"
            elif mode == "overlay":
                raise RuntimeError(f"overlay mount failed: {p.stderr!r}")
        if not self._mounted:
            self.prefix.rmdir()
            subprocess.run(["cp", "-a", str(template), str(self.prefix)], check=True, timeout=300)
            self.mode = "copy"
        self.timings["copy"] = time.monotonic() - t0
        self.drive_c = self.prefix / "drive_c"
        self.windows = self.drive_c / "windows"
        self._server = False
        try:
            if (self.prefix / "dosdevices" / "z:").is_symlink():
                raise RuntimeError("sandbox has a z: drive")
            forget_server_dir(self.prefix)
            self.start_server()
        except BaseException:
            self.close()
            raise

    # --- wineserver -------------------------------------------------------------------------
    def start_server(self) -> None:
        server_start(self.prefix)
        self._server = True

    def restart_server(self) -> None:
        server_stop(self.prefix)
        self.start_server()

    def env(self, **extra: str) -> dict[str, str]:
        return wine_env(self.prefix, **extra)

    # --- planting ---------------------------------------------------------------------------
    def path_in_windows(self, rel: str) -> Path:
        return _on_same_components(self.windows, rel)

    def plant_file(self, rel: str, content: bytes = b"") -> Path:
        """Create a file at `rel` below drive_c/windows (Windows or Unix separators)."""
        p = self.path_in_windows(rel)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content)
        return p

    def plant_dir(self, rel: str) -> Path:
        p = self.path_in_windows(rel)
        p.mkdir(parents=True, exist_ok=True)
        return p

    def plant(self, rel: str, kind: str = "file", content: bytes = b"") -> Path:
        return self.plant_dir(rel) if kind == "dir" else self.plant_file(rel, content)

    # --- drives -----------------------------------------------------------------------------
    def map_drive(self, letter: str, folder: Path | None = None, drive_type: str | None = None,
                  create: bool = True) -> Path:
        """Map `letter`: to `folder` (default: a fresh folder in the sandbox) and optionally set
        its type in HKLM\\Software\\Wine\\Drives. Call restart_server() after the last one."""
        letter = letter.lower().rstrip(":")
        self.mapped.add(letter)
        folder = folder or self.dir / f"drive_{letter}"
        if create:
            folder.mkdir(parents=True, exist_ok=True)
        link = self.prefix / "dosdevices" / f"{letter}:"
        if link.is_symlink():
            link.unlink()
        link.symlink_to(folder)
        if drive_type:
            assert drive_type in DRIVE_TYPES, drive_type
            self.wine(["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", f"{letter}:",
                       "/t", "REG_SZ", "/d", drive_type, "/f"])
        return folder

    def wine(self, args: list[str], timeout: float = 60) -> subprocess.CompletedProcess:
        return _run([WINE, *args], self.prefix, timeout, again_if_silent=True)

    def check_contained(self) -> None:
        """Fail if Wine has given the sandbox a way out (a z: drive or a link leaving it)."""
        bad = [b for b in escaping_links(self.prefix) if not any(
            b.startswith(str(self.prefix / "dosdevices" / f"{d}:")) for d in self.mapped)]
        if bad:
            raise AssertionError(f"sandbox reaches outside itself: {bad}")

    # --- teardown ---------------------------------------------------------------------------
    def close(self) -> None:
        if self._server:
            server_stop(self.prefix)
            self._server = False
            remove_server_dir(self.prefix)
        if self._mounted:
            for _ in range(20):
                if subprocess.run(["umount", str(self.prefix)], capture_output=True, timeout=30).returncode == 0:
                    break
                time.sleep(0.25)
            else:
                subprocess.run(["umount", "-l", str(self.prefix)], capture_output=True, timeout=30)
            self._mounted = False
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
