#!/usr/bin/python3
"""Speed and memory benchmark of ReginDetector.exe under Wine.

Started by bench/run-bench.sh, inside a private network namespace (only a
loopback interface): the report request fails to resolve at once, so the run
has no 3 s report wait and nothing leaves the machine.

What it measures, for each data set mapped as drive D: of a sandbox prefix:
  - the program's wall time with the set mapped (run) and without any extra
    drive (baseline: start-up, indicator checks, the walk of the prefix's own
    C: drive, the failed report and exit); runs and baselines alternate;
  - the walk of the data set = median(run) - median(baseline), and, free of
    the C: walk's noise, the time between the first "Scanning D:" progress
    line and the verdict within each run (lines are timestamped as they arrive
    on the pipe: the program flushes once per progress line);
  - the peak resident set of the process that runs the exe (see run_program),
    and its peak anonymous (private) part; Wine's own floor (bench/floor.c);
  - native md5sum and md5deep -m over the same files;
  - small-2k on a tmux console against a pipe: the console's cost per line.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

# The sandbox rules shared with the end-to-end tests: no link below drive_c may
# lead out of the prefix.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness.prefix import escaping_links, make_safe  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
MiB = 1 << 20
GiB = 1 << 30

# Targets printed next to the figures.
TARGET_MS_PER_SMALL_FILE = 3.0
TARGET_LARGE_VS_MD5SUM = 0.5  # program bytes/s at least this share of md5sum's
TARGET_PEAK_MIB = 16.0

DATA_SETS = {
    # name: (kind, files, min size, max size, seed)
    "small-2k": ("small", 2000, 1024, 8192, 2000),
    "small-20k": ("small", 20000, 1024, 8192, 20000),
    "large-512m": ("large", 1, 512 * MiB, 512 * MiB, 512),
    "sparse-5g": ("sparse", 1, 5 * GiB, 5 * GiB, 0),
}
FILES_PER_FOLDER = 100


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- data sets

def data_set_stamp(name):
    kind, files, low, high, seed = DATA_SETS[name]
    return f"{name} {kind} files={files} sizes={low}-{high} seed={seed} v1\n"


def build_data_set(data_root, name):
    """Creates the set's folder once (deterministic content); returns its path."""
    kind, files, low, high, seed = DATA_SETS[name]
    folder = os.path.join(data_root, name)
    stamp = folder + ".ready"
    if os.path.isdir(folder) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == data_set_stamp(name):
                return folder
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(stamp):
        os.remove(stamp)
    os.makedirs(folder)
    started = time.perf_counter()
    log(f"  building data set {name} in {folder} ...")
    rng = random.Random(seed)
    if kind == "small":
        for i in range(files):
            sub = os.path.join(folder, f"dir{i // FILES_PER_FOLDER:04d}")
            if i % FILES_PER_FOLDER == 0:
                os.makedirs(sub)
            size = rng.randint(low, high)
            with open(os.path.join(sub, f"file{i:05d}.bin"), "wb") as f:
                f.write(rng.randbytes(size))
    elif kind == "large":
        with open(os.path.join(folder, "large.bin"), "wb") as f:
            left = low
            while left > 0:
                piece = min(left, 4 * MiB)
                f.write(rng.randbytes(piece))
                left -= piece
    else:  # sparse: a hole of the given size, no blocks on disk
        with open(os.path.join(folder, "sparse.bin"), "wb") as f:
            f.truncate(low)
    with open(stamp, "w") as f:
        f.write(data_set_stamp(name))
    log(f"  built in {time.perf_counter() - started:.1f} s")
    return folder


def data_set_size(folder):
    files = 0
    total = 0
    for root, _dirs, names in os.walk(folder):
        for n in names:
            files += 1
            total += os.path.getsize(os.path.join(root, n))
    return files, total


def made_up_digest_list(path):
    """29 digests that match nothing in the data sets, for md5deep -m."""
    rng = random.Random(29)
    with open(path, "w") as f:
        for i in range(29):
            f.write(f"{rng.randbytes(16).hex()}  made-up-sample-{i:02d}.bin\n")
    return path


# ---------------------------------------------------------------- Wine prefix

class Prefix:
    def __init__(self, path):
        self.path = path
        self.server_pid = None
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        WINEARCH="win64")
        self.dosdevices = os.path.join(path, "dosdevices")
        self.drive_c = os.path.join(path, "drive_c")

    def _run(self, args, timeout):
        subprocess.run(args, env=self.env, cwd=self.drive_c if os.path.isdir(self.drive_c) else "/",
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def make(self):
        marker = os.path.join(self.path, ".bench-sandbox-ready")
        if not os.path.exists(marker):
            log(f"  creating the sandbox prefix {self.path} (about 15-20 s) ...")
            if os.path.isdir(self.path):
                self._run([WINESERVER, "-k"], 30)
            shutil.rmtree(self.path, ignore_errors=True)
            os.makedirs(self.path)
            self._run([WINE, "wineboot", "--init"], 300)
            self._run([WINESERVER, "-w"], 120)
            open(marker, "w").close()
        self.sandbox()

    def sandbox(self):
        """No drive but C:, no link below drive_c: the walk never reaches the host."""
        for entry in os.listdir(self.dosdevices):
            if len(entry) == 2 and entry[1] == ":" and entry != "c:":
                os.remove(os.path.join(self.dosdevices, entry))
            elif entry.endswith("::"):  # raw device names of drives
                os.remove(os.path.join(self.dosdevices, entry))
        make_safe(Path(self.path))
        bad = escaping_links(Path(self.path))
        if bad:
            raise SystemExit(f"sandbox prefix still reaches the host: {bad}")

    def map_d(self, folder):
        link = os.path.join(self.dosdevices, "d:")
        if os.path.lexists(link):
            os.remove(link)
        if folder is not None:
            os.symlink(folder, link)

    def start_server(self):
        # A persistent server (and Wine's services started here, away from the
        # program's pipes) makes each launch cheap and each run alike.
        self._run([WINESERVER, "-k"], 30)
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        self._run([WINE, "wineboot"], 120)
        self.server_pid = self._find_server()

    def _find_server(self):
        """The pid of this prefix's wineserver: it works in <tmp>/server-DEV-INODE of the prefix."""
        st = os.stat(self.path)
        folder = f"/server-{st.st_dev:x}-{st.st_ino:x}"
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if (os.readlink(f"/proc/{entry}/cwd").endswith(folder) and
                            os.readlink(f"/proc/{entry}/exe").endswith("wineserver64")):
                        return int(entry)
                except OSError:
                    continue
        return None

    def server_cpu(self):
        """CPU seconds (user + system) the wineserver has used so far, or 0."""
        if not self.server_pid:
            return 0.0
        try:
            with open(f"/proc/{self.server_pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            return 0.0
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop_server(self):
        self._run([WINESERVER, "-k"], 30)


# ---------------------------------------------------------------- one program run

def read_status(pid):
    """Selected fields of /proc/PID/status in KiB, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            text = f.read()
    except OSError:
        return None
    fields = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "RssShmem"):
            fields[key] = int(value.split()[0])
    return fields


def child_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            kids = f.read().split()
    except OSError:
        return None
    return int(kids[0]) if kids else None


def run_program(prefix, exe, timeout, args=()):
    """Runs the exe once (stdin /dev/null, stdout a pipe); returns timings and memory.

    Peak memory: the exe runs in the very process started as wine64 (wine64
    execs its preloader, which loads the exe into the same process; /proc shows
    its command line rewritten to the exe's path; no child process). Measured:
      - peak_rss_kib: GNU time's %M on wine64, i.e. ru_maxrss from wait4(), the
        kernel's high-water mark of that process's resident set (VmHWM). It is
        exact only because GNU time itself is small: ru_maxrss also keeps the
        resident set of the memory the process had before exec(), which for a
        process forked from this Python script would be Python's own ~20-30 MiB;
      - hwm_polled_kib / anon_peak_kib: /proc/PID/status of that process polled
        every 10 ms: VmHWM (a cross-check; it misses the last ms before exit)
        and the peak of RssAnon, its private anonymous pages (heap, stacks,
        Wine's own allocations; no DLL or .so image pages).
    """
    rss_file = os.path.join(prefix.path, "..", "time-rss.txt")
    server_cpu = prefix.server_cpu()
    started = time.perf_counter()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M %U %S", "-o", rss_file, WINE, exe, *args],
                            env=prefix.env, cwd=prefix.drive_c,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    chunks = []
    memory = {"hwm": 0, "anon": 0, "rss": 0, "samples": 0, "pid": None}
    done = threading.Event()

    def reader():
        fd = proc.stdout.fileno()
        while True:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if not ready:
                if done.is_set():
                    return
                continue
            data = os.read(fd, 1 << 16)
            if not data:
                return
            chunks.append((time.perf_counter(), data))

    def poller():
        pid = None
        while pid is None and not done.is_set():
            pid = child_of(proc.pid)
            time.sleep(0.001)
        memory["pid"] = pid
        while not done.is_set():
            fields = read_status(pid)
            if fields is None:
                return
            memory["hwm"] = max(memory["hwm"], fields.get("VmHWM", 0))
            memory["anon"] = max(memory["anon"], fields.get("RssAnon", 0))
            memory["rss"] = max(memory["rss"], fields.get("VmRSS", 0))
            memory["samples"] += 1
            time.sleep(0.01)

    def kill():
        pid = memory["pid"] or child_of(proc.pid)
        for victim in (pid, proc.pid):
            if victim:
                try:
                    os.kill(victim, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    threads = [threading.Thread(target=reader, daemon=True),
               threading.Thread(target=poller, daemon=True)]
    for t in threads:
        t.start()
    watchdog = threading.Timer(timeout, kill)
    watchdog.start()
    proc.wait()
    ended = time.perf_counter()
    watchdog.cancel()
    done.set()
    for t in threads:
        t.join(2.0)
    proc.stdout.close()
    if proc.returncode != 0:
        raise RuntimeError(f"program exit status {proc.returncode} (killed after {timeout} s?)")
    server_cpu = prefix.server_cpu() - server_cpu
    with open(rss_file) as f:
        rss_text, user_s, system_s = f.read().split()[-3:]
    peak_rss_kib = int(rss_text)
    exe_cpu = float(user_s) + float(system_s)
    if args:  # a probe: memory only
        return {"wall": ended - started, "peak_rss_kib": peak_rss_kib,
                "hwm_polled_kib": memory["hwm"], "anon_peak_kib": memory["anon"],
                "output": b"".join(c for _, c in chunks).decode("latin-1")}

    # Timeline from the timestamped output.
    banner_at = first_c = first_d = last_c = last_d = verdict_at = None
    lines = {"C": 0, "D": 0}
    other = 0
    found = False
    for at, data in chunks:
        text = data.decode("latin-1")
        if banner_at is None and "Regin Detector" in text:
            banner_at = at
        for piece in text.split("\r"):
            if piece.startswith("Scanning ") and len(piece) > 10 and piece[10] == ":":
                drive = piece[9]
                if drive == "C":
                    lines["C"] += 1
                    first_c = first_c or at
                    last_c = at
                elif drive == "D":
                    lines["D"] += 1
                    first_d = first_d or at
                    last_d = at
                else:
                    other += 1
        if "Found:" in text:
            found = True
        if verdict_at is None and ("looks clean" in text or "possibly infected" in text):
            verdict_at = at
    if verdict_at is None or banner_at is None:
        raise RuntimeError("no banner or verdict in the program's output")
    if found or other:
        raise RuntimeError("unexpected finds or drives in the program's output")
    walk_start = first_c or verdict_at
    return {
        "wall": ended - started,
        "startup": banner_at - started,
        "walk_c": (first_d or verdict_at) - walk_start,
        "walk_d_inrun": (verdict_at - first_d) if first_d else 0.0,
        "after_last_file": verdict_at - (last_d or last_c or walk_start),
        "exit": ended - verdict_at,
        "files_c": lines["C"],
        "files_d": lines["D"],
        "peak_rss_kib": peak_rss_kib,
        "cpu_exe": exe_cpu,
        "cpu_server": server_cpu,
        "hwm_polled_kib": memory["hwm"],
        "anon_peak_kib": memory["anon"],
        "poll_samples": memory["samples"],
    }


def run_on_console(prefix, exe, timeout):
    """Runs the exe on a console (a detached tmux pane, 80x25, its own server), as a
    user would; returns (launch -> final prompt on screen, first D: line on screen ->
    prompt), both in s.

    Polls the pane every 50 ms (so each +-50 ms), then presses Enter."""
    work = os.path.dirname(prefix.path)
    socket = f"regin-bench-{os.getpid()}"
    t0_file = os.path.join(work, "console-t0.txt")
    script = os.path.join(work, "console-launch.sh")
    with open(script, "w") as f:
        f.write(f"export WINEPREFIX='{prefix.path}' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='\n"
                f"cd '{prefix.drive_c}'\n"
                f"date +%s.%N > '{t0_file}'\n"
                f"exec '{WINE}' '{exe}'\n")
    if os.path.exists(t0_file):
        os.remove(t0_file)
    tmux = ["tmux", "-L", socket, "-f", "/dev/null"]
    subprocess.run(tmux + ["new-session", "-d", "-x", "80", "-y", "25", f"sh '{script}'"],
                   env=prefix.env, timeout=30, check=True)
    seen = None
    d_seen = None
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            pane = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True,
                                  timeout=10).stdout
            if d_seen is None and "Scanning D:" in pane:
                d_seen = time.time()
            if "press enter" in pane:
                seen = time.time()
                break
            time.sleep(0.05)
        if seen is not None:
            subprocess.run(tmux + ["send-keys", "Enter"], timeout=10)
            # The pane's command ends with the program; the session ends with it.
            for _ in range(100):
                if subprocess.run(tmux + ["has-session"], capture_output=True, timeout=10).returncode:
                    break
                time.sleep(0.05)
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True, timeout=10)
    if seen is None or d_seen is None:
        raise RuntimeError("no D: line or no prompt on the console within the time limit")
    with open(t0_file) as f:
        return seen - float(f.read()), seen - d_seen


# ---------------------------------------------------------------- native tools

def time_command(args, timeout, ok=(0,)):
    started = time.perf_counter()
    result = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, timeout=timeout, check=False)
    took = time.perf_counter() - started
    if result.returncode not in ok:
        raise RuntimeError(f"{args[0]}: exit {result.returncode}: {result.stderr[-300:]!r}")
    return took


def native_runs(folder, digest_list, runs, timeout):
    md5sum = ["sh", "-c", 'find "$1" -type f -print0 | xargs -0 md5sum >/dev/null', "sh", folder]
    # md5deep -m exits 1 when nothing matches (as here: the digests are made up).
    md5deep = ["md5deep", "-r", "-m", digest_list, folder]
    out = {}
    for name, args, ok in (("md5sum", md5sum, (0,)), ("md5deep", md5deep, (0, 1))):
        time_command(args, timeout, ok)  # warm-up
        out[name] = [time_command(args, timeout, ok) for _ in range(runs)]
    return out


# ---------------------------------------------------------------- report

def med(values):
    return statistics.median(values)


def fmt_runs(values, unit="s", digits=2):
    return " ".join(f"{v:.{digits}f}" for v in values) + (f" {unit}" if unit else "")


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def verdict(ok):
    return "MET" if ok else "NOT MET"


def describe(name, files, total):
    kind = DATA_SETS[name][0]
    if kind == "small":
        return f"{files:,} files of 1-8 KiB, {total / MiB:.1f} MiB in all, {files // FILES_PER_FOLDER} folders"
    if kind == "large":
        return f"one file of {total / MiB:.0f} MiB (seeded random content)"
    return f"one sparse file of {total / GiB:.0f} GiB (a hole: reads as zeros, no disk blocks)"


def both(ok_sub, ok_in, walk):
    if walk <= 0:
        return f"{verdict(ok_in)} by the in-run figure (run - baseline <= 0: lost in the C: walk's noise)"
    if ok_sub == ok_in:
        return verdict(ok_in)
    return f"{verdict(ok_in)} by the in-run figure, {verdict(ok_sub)} by run - baseline"


def report_set(res, out):
    name = res["name"]
    kind = DATA_SETS[name][0]
    runs, base = res["runs"], res["baselines"]
    wall, wall_base = med([r["wall"] for r in runs]), med([r["wall"] for r in base])
    walk = wall - wall_base
    inrun = med([r["walk_d_inrun"] for r in runs])
    files, total = res["files"], res["bytes"]
    md5sum, md5deep = med(res["native"]["md5sum"]), med(res["native"]["md5deep"])
    peak = max(r["peak_rss_kib"] for r in runs) / 1024
    peak_base = max(r["peak_rss_kib"] for r in base) / 1024
    anon = max(r["anon_peak_kib"] for r in runs) / 1024
    anon_base = max(r["anon_peak_kib"] for r in base) / 1024
    walks_c = [r["walk_c"] for r in runs + base]
    res["summary"] = dict(walk=walk, inrun=inrun, md5sum=md5sum, md5deep=md5deep, peak=peak,
                          anon=anon, peak_base=peak_base, anon_base=anon_base)
    p = lambda s="": print(s, file=out)
    p(f"== {name}: {describe(name, files, total)}, mapped as D: ==")
    p(f"   load average before/after: {res['load_before']} / {res['load_after']};"
      f" files seen on D: per run {runs[0]['files_d']:,} (expected {files:,})")
    p(f"   run with D: mapped, wall        median {wall:8.3f} s  ({fmt_runs([r['wall'] for r in runs])})")
    p(f"   baseline, no D:, wall           median {wall_base:8.3f} s  ({fmt_runs([r['wall'] for r in base])})")
    p(f"     (the C: walk inside these runs took {min(walks_c):.2f}-{max(walks_c):.2f} s: the noise of run - baseline)")
    cpu = lambda r: r["cpu_exe"] + r["cpu_server"]
    cpu_walk = med([cpu(r) for r in runs]) - med([cpu(r) for r in base])
    res["summary"]["cpu"] = cpu_walk
    cols = (walk, inrun, cpu_walk)
    row = lambda label, f, fmt: p(f"   {label:<34}" + "".join(
        f"{(fmt.format(f(t)) if t > 0 else '(n/a)'):>15}" for t in cols))
    p(f"   {'':<34}{'wall: run-base':>15}{'wall: in-run':>15}{'CPU: run-base':>15}")
    row("walk of the data set, s", lambda t: t, "{:.3f}")
    row("files/s", lambda t: files / t, "{:.1f}")
    row("MB/s (10^6 bytes)", lambda t: total / 1e6 / t, "{:.1f}")
    if kind == "small":
        row("ms per file", lambda t: t * 1000 / files, "{:.2f}")
        ms, ms_in = walk * 1000 / files, inrun * 1000 / files
        p(f"   target <= {TARGET_MS_PER_SMALL_FILE:.0f} ms per file: "
          f"{both(ms <= TARGET_MS_PER_SMALL_FILE, ms_in <= TARGET_MS_PER_SMALL_FILE, ms)}")
    p(f"   md5sum (native) median {md5sum:.3f} s ({fmt_runs(res['native']['md5sum'], digits=3)}),"
      f" md5deep -r -m median {md5deep:.3f} s ({fmt_runs(res['native']['md5deep'], digits=3)})")
    row("program time / md5sum time", lambda t: t / md5sum, "{:.1f}x")
    row("program time / md5deep time", lambda t: t / md5deep, "{:.1f}x")
    if kind == "large":
        row("program bytes/s / md5sum's", lambda t: md5sum / t, "{:.2f}x")
        share, share_in = md5sum / walk if walk > 0 else 0, md5sum / inrun
        p(f"   target >= {TARGET_LARGE_VS_MD5SUM}x md5sum's bytes/s: "
          f"{both(share >= TARGET_LARGE_VS_MD5SUM, share_in >= TARGET_LARGE_VS_MD5SUM, share)}")
    p(f"   (CPU = user + system s of the exe's process, from GNU time, plus the prefix's wineserver;"
      f" run medians {med([cpu(r) for r in runs]):.2f} s, baseline {med([cpu(r) for r in base]):.2f} s)")
    p(f"   peak RSS of the exe's process   max {peak:5.1f} MiB (its baselines {peak_base:.1f} MiB)"
      f"   target < {TARGET_PEAK_MIB:.0f} MiB: {verdict(peak < TARGET_PEAK_MIB)}")
    p(f"   peak private anonymous part     max {anon:5.1f} MiB (its baselines {anon_base:.1f} MiB)")
    p()


def report_summary(results, baseline_info, out):
    p = lambda s="": print(s, file=out)
    p("== summary: walk s = median(run with D:) - median(baseline); in-run s = median time from the")
    p("   first D: progress line to the verdict; rates, ms/file and ratios below use in-run s;")
    p("   CPU ms/f = CPU run - baseline (exe + wineserver) per file ==")
    header = (f"{'data set':<11} {'files':>6} {'MB':>6} {'walk s':>7} {'in-run s':>8} {'files/s':>8} "
              f"{'MB/s':>6} {'ms/file':>7} {'CPU ms/f':>8} {'x md5sum':>8} {'x md5deep':>9} {'peak RSS':>9} {'peak anon':>9}")
    p(header)
    p("-" * len(header))
    for res in results:
        s = res["summary"]
        t = s["inrun"]
        small = DATA_SETS[res["name"]][0] == "small"
        msf = f"{t * 1000 / res['files']:7.2f}" if small else f"{'-':>7}"
        msf += f" {s['cpu'] * 1000 / res['files']:8.2f}" if small else f" {'-':>8}"
        p(f"{res['name']:<11} {res['files']:>6} {res['bytes'] / 1e6:>6.0f} {s['walk']:>7.3f} {t:>8.3f} "
          f"{res['files'] / t:>8.1f} {res['bytes'] / 1e6 / t:>6.1f} {msf} "
          f"{t / s['md5sum']:>7.1f}x {t / s['md5deep']:>8.1f}x "
          f"{s['peak']:>5.1f} MiB {s['anon']:>5.1f} MiB")
    p()
    p("targets:")
    for res in results:
        s = res["summary"]
        kind = DATA_SETS[res["name"]][0]
        if kind == "small":
            ms = s["walk"] * 1000 / res["files"]
            ms_in = s["inrun"] * 1000 / res["files"]
            p(f"  {res['name']:<11} small files <= {TARGET_MS_PER_SMALL_FILE:.0f} ms/file: in-run {ms_in:.2f} ms, "
              f"run - baseline {ms:.2f} ms  {both(ms <= TARGET_MS_PER_SMALL_FILE, ms_in <= TARGET_MS_PER_SMALL_FILE, ms)}")
        if kind == "large":
            share = s["md5sum"] / s["walk"] if s["walk"] > 0 else 0
            share_in = s["md5sum"] / s["inrun"]
            p(f"  {res['name']:<11} large file >= {TARGET_LARGE_VS_MD5SUM}x md5sum's bytes/s: in-run {share_in:.2f}x, "
              f"run - baseline {share:.2f}x  {both(share >= TARGET_LARGE_VS_MD5SUM, share_in >= TARGET_LARGE_VS_MD5SUM, share)}")
    peaks = [(res["name"], res["summary"]["peak"], res["summary"]["anon"]) for res in results]
    peaks.append(("baseline", baseline_info["peak"], baseline_info["anon"]))
    top = max(pk for _, pk, _ in peaks)
    spread = top - min(pk for _, pk, _ in peaks)
    anon_spread = max(a for _, _, a in peaks) - min(a for _, _, a in peaks)
    p(f"  peak memory < {TARGET_PEAK_MIB:.0f} MiB (peak RSS of the process running the exe): max {top:.1f} MiB  {verdict(top < TARGET_PEAK_MIB)}")
    p(f"  peak memory flat in file size: peak RSS spread over all sets {spread:.1f} MiB, "
      f"private anonymous spread {anon_spread:.1f} MiB  {verdict(spread < 2.0)} (flat = within 2 MiB)")
    p("    max per set: " + ", ".join(f"{n} {pk:.1f}/{a:.1f}" for n, pk, a in peaks) + "  (RSS/anon MiB)")
    p()


def report_baseline(all_baselines, out):
    p = lambda s="": print(s, file=out)
    b = all_baselines
    info = {
        "peak": max(r["peak_rss_kib"] for r in b) / 1024,
        "anon": max(r["anon_peak_kib"] for r in b) / 1024,
    }
    p(f"== baseline: no D:, only the prefix's own C: ({b[0]['files_c']} files), {len(b)} runs ==")
    p(f"   wall                          median {med([r['wall'] for r in b]):6.3f} s  (min {min(r['wall'] for r in b):.3f}, max {max(r['wall'] for r in b):.3f})")
    p(f"     start -> banner               median {med([r['startup'] for r in b]):6.3f} s")
    p(f"     first C: line -> verdict      median {med([r['walk_c'] for r in b]):6.3f} s  (the walk of C:)")
    p(f"     last file line -> verdict     median {med([r['after_last_file'] for r in b]):6.3f} s  (last file + failed report)")
    p(f"     verdict -> process gone       median {med([r['exit'] for r in b]):6.3f} s")
    p(f"   CPU: exe's process median {med([r['cpu_exe'] for r in b]):.2f} s, wineserver median {med([r['cpu_server'] for r in b]):.2f} s")
    p(f"   peak RSS {info['peak']:.1f} MiB, peak private anonymous {info['anon']:.1f} MiB")
    p()
    return info


def report_console(console, out):
    p = lambda s="": print(s, file=out)
    pipe, cons = med(console["pipe"]), med(console["console"])
    pipe_d, cons_d = med(console["inrun"]), med(console["console_d"])
    files = console["files"]
    p("== console: small-2k as D:, the run on a tmux console (80x25) vs stdout a pipe, alternating ==")
    p(f"   {'':<40}{'pipe':>10}{'console':>10}   (console times from polling the pane: +-0.05 s)")
    p(f"   {'whole run, s (median)':<40}{pipe:>10.3f}{cons:>10.3f}   "
      f"-> {(cons - pipe) * 1000 / console['lines']:.2f} ms more per progress line ({console['lines']} lines)")
    p(f"   {'first D: line -> verdict/prompt, s':<40}{pipe_d:>10.3f}{cons_d:>10.3f}   "
      f"-> {(cons_d - pipe_d) * 1000 / files:.2f} ms more per file")
    p(f"   {'ms per file on D:':<40}{pipe_d * 1000 / files:>10.2f}{cons_d * 1000 / files:>10.2f}   "
      f"target <= {TARGET_MS_PER_SMALL_FILE:.0f} ms on a console: {verdict(cons_d * 1000 / files <= TARGET_MS_PER_SMALL_FILE)}")
    p(f"   runs: pipe {fmt_runs(console['pipe'])}, console {fmt_runs(console['console'])}; "
      f"D: pipe {fmt_runs(console['inrun'])}, console {fmt_runs(console['console_d'])}")
    p()


def report_floor(floor, baseline_info, out):
    p = lambda s="": print(s, file=out)
    p("== Wine's memory floor (bench/floor.c, same prefix, same measurement) ==")
    for mode, what in (("empty", "a console exe that does nothing"),
                       ("dlls", "one that uses CryptoAPI MD5 and one WinINet request once")):
        probes = floor[mode]
        peak = max(r["peak_rss_kib"] for r in probes) / 1024
        anon = max(r["anon_peak_kib"] for r in probes) / 1024
        inner = probes[-1]["output"].strip()
        p(f"   {what:<58} peak RSS {peak:5.1f} MiB, anon {anon:4.1f} MiB")
        p(f"     as Wine reports it inside: {inner}")
    dlls = max(r["peak_rss_kib"] for r in floor["dlls"]) / 1024
    p(f"   the scanner's baseline peak RSS {baseline_info['peak']:.1f} MiB = this floor "
      f"{dlls:.1f} MiB + {baseline_info['peak'] - dlls:.1f} MiB")
    p()


# ---------------------------------------------------------------- main

def compare_builds(prefix, exe, earlier, sets, folders, runs, timeout, out):
    """The same data sets walked by an earlier build and this one, runs alternating (earlier,
    this, earlier, ...) after one warm-up each, so that both see the same machine. Prints the
    in-run walk time per file (median) of each and the change."""
    rows = []
    for s in sets:
        folder = folders[s]
        files, _ = data_set_size(folder)
        prefix.map_d(folder)
        limit = max(timeout, files / 100)
        for program in (earlier, exe):
            run_program(prefix, program, limit)
        times = {earlier: [], exe: []}
        for i in range(runs):
            for program in (earlier, exe):
                r = run_program(prefix, program, limit)
                if r["files_d"] != files:
                    raise RuntimeError(f"{s}: {program} saw {r['files_d']} files on D:, not {files}")
                times[program].append(r["walk_d_inrun"] / files * 1000)
            log(f"  {s} run {i + 1}: earlier {times[earlier][-1]:.3f} ms/file, "
                f"this {times[exe][-1]:.3f} ms/file")
        rows.append((s, files, med(times[earlier]), med(times[exe])))
    prefix.map_d(None)
    print(file=out)
    print(f"earlier build: {earlier}", file=out)
    print(f"this build:    {exe}", file=out)
    print(f"{runs} alternating runs each after one warm-up; in-run walk time of D: per file, median", file=out)
    print("| data set | files | earlier ms/file | this ms/file | change |", file=out)
    print("| --- | ---: | ---: | ---: | ---: |", file=out)
    for name, files, before, after in rows:
        print(f"| {name} | {files:,} | {before:.3f} | {after:.3f} | {(after / before - 1) * 100:+.1f}% |", file=out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--work", default=os.path.join(REPO, "build", "bench"))
    ap.add_argument("--data", default=os.path.join(REPO, "build", "bench-data"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sets", default=",".join(DATA_SETS))
    ap.add_argument("--timeout", type=float, default=180.0, help="limit of one program run, s")
    ap.add_argument("--floor-exe", help="bench/floor.c built for Windows: Wine's memory floor")
    ap.add_argument("--no-console", action="store_true",
                    help="skip the console comparison (small-2k in a tmux pane vs a pipe)")
    ap.add_argument("--compare", metavar="EARLIER_EXE",
                    help="only time an earlier build against this one on the data sets")
    args = ap.parse_args()
    sets = [s for s in args.sets.split(",") if s]
    if not sets or args.runs < 1:
        raise SystemExit("need at least one data set and one run")
    for s in sets:
        if s not in DATA_SETS:
            raise SystemExit(f"unknown data set {s}; known: {', '.join(DATA_SETS)}")
    exe = os.path.abspath(args.exe)
    os.makedirs(args.work, exist_ok=True)
    os.makedirs(args.data, exist_ok=True)
    began = time.perf_counter()

    log("preparing ...")
    prefix = Prefix(os.path.join(args.work, "prefix"))
    prefix.make()
    digest_list = made_up_digest_list(os.path.join(args.work, "made-up-digests.txt"))
    folders = {s: build_data_set(args.data, s) for s in sets}

    results = []
    all_baselines = []
    floor = {}
    console = None
    prefix.map_d(None)
    prefix.start_server()
    if args.compare:
        try:
            compare_builds(prefix, exe, os.path.abspath(args.compare), sets, folders, args.runs,
                           args.timeout, sys.stdout)
        finally:
            prefix.stop_server()
        return
    try:
        if args.floor_exe:
            for mode in ("empty", "dlls"):
                probes = [run_program(prefix, os.path.abspath(args.floor_exe), 60, (mode,))
                          for _ in range(args.runs + 1)][1:]
                floor[mode] = probes
        for s in sets:
            folder = folders[s]
            files, total = data_set_size(folder)
            log(f"{s}: {files} files, {total} bytes; load {loadavg()}")
            res = {"name": s, "files": files, "bytes": total, "load_before": loadavg()}
            # Timeouts scale with the data: 1 s per 100 files or per 100 MB, at least --timeout.
            timeout = max(args.timeout, files / 100 + total / 100e6)
            # Warm-up: one baseline and one run (page cache, Wine's DLLs).
            prefix.map_d(None)
            run_program(prefix, exe, args.timeout)
            prefix.map_d(folder)
            run_program(prefix, exe, timeout)
            res["runs"], res["baselines"] = [], []
            for i in range(args.runs):
                prefix.map_d(None)
                res["baselines"].append(run_program(prefix, exe, args.timeout))
                prefix.map_d(folder)
                r = run_program(prefix, exe, timeout)
                if r["files_d"] != files:
                    raise RuntimeError(f"{s}: the program saw {r['files_d']} files on D:, not {files}")
                res["runs"].append(r)
                log(f"  run {i + 1}: {r['wall']:.2f} s (baseline {res['baselines'][-1]['wall']:.2f} s), "
                    f"peak RSS {r['peak_rss_kib'] / 1024:.1f} MiB")
            prefix.map_d(None)
            log("  native md5sum / md5deep ...")
            res["native"] = native_runs(folder, digest_list, args.runs, max(120, total / 50e6))
            res["load_after"] = loadavg()
            all_baselines += res["baselines"]
            results.append(res)
        if not args.no_console and shutil.which("tmux"):
            log("console: small-2k on a tmux console vs a pipe ...")
            folder = build_data_set(args.data, "small-2k")
            prefix.map_d(folder)
            run_on_console(prefix, exe, 300)  # warm-up
            console = {"pipe": [], "console": [], "lines": 0, "inrun": [], "console_d": []}
            for _ in range(args.runs):
                r = run_program(prefix, exe, 300)
                console["pipe"].append(r["wall"])
                console["lines"] = r["files_c"] + r["files_d"]
                console["inrun"].append(r["walk_d_inrun"])
                console["files"] = r["files_d"]
                whole, d_walk = run_on_console(prefix, exe, 300)
                console["console"].append(whole)
                console["console_d"].append(d_walk)
            prefix.map_d(None)
    finally:
        prefix.map_d(None)
        prefix.stop_server()

    out = sys.stdout
    lines = []

    class Tee:
        def write(self, s):
            lines.append(s)
            out.write(s)

        def flush(self):
            out.flush()

    tee = Tee()
    print(file=tee)
    print(f"ReginDetector benchmark: {exe}", file=tee)
    print(f"  Wine {subprocess.run([WINE, '--version'], capture_output=True, text=True).stdout.strip()}, "
          f"{os.cpu_count()} CPUs, {args.runs} runs per figure after one warm-up, "
          f"program stdout a pipe, stdin /dev/null, no network (report fails at once)", file=tee)
    for line in (
        "Data set walk time, two ways:",
        "  run - baseline = median(run with the set as D:) - median(baseline run without D:), runs and",
        "    baselines alternating; baseline = start-up + indicator checks + walk of the prefix's own",
        "    C: + failed report + exit. Its noise is the C: walk's (~700 MB), which other load on the",
        "    machine stretches by seconds;",
        "  in-run = within each run, from the arrival of the first 'Scanning D:' progress line to the",
        "    verdict (the program flushes once per progress line; stdout is a pipe read as it comes);",
        "    it holds the D: walk and the failed report attempt (~10 ms), and none of the C: walk.",
        "Peak memory = peak resident set of the process that runs the exe (GNU time %M on wine64 =",
        "  ru_maxrss = VmHWM, incl. Wine's mapped DLL images); 'anon' = its peak private anonymous",
        "  pages (RssAnon from /proc, polled every 10 ms).",
    ):
        print("  " + line, file=tee)
    print(file=tee)
    baseline_info = report_baseline(all_baselines, tee)
    if floor:
        report_floor(floor, baseline_info, tee)
    for res in results:
        report_set(res, tee)
    if console:
        report_console(console, tee)
    report_summary(results, baseline_info, tee)
    print(f"total benchmark time {time.perf_counter() - began:.0f} s", file=tee)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(args.work, f"report-{stamp}.txt"), "w") as f:
        f.write("".join(lines))
    with open(os.path.join(args.work, f"results-{stamp}.json"), "w") as f:
        json.dump({"exe": exe, "runs": args.runs, "results": results,
                   "baselines": all_baselines, "floor": floor, "console": console}, f, indent=1)
    log(f"report saved as {args.work}/report-{stamp}.txt (raw figures: results-{stamp}.json)")


if __name__ == "__main__":
    main()
