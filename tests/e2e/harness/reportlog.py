"""A stand-in for the report host, on 127.0.0.1:80 inside the test's private network namespace.

Modes:
  answering  records each request (request line, headers, arrival time) and answers 200
  silent     accepts and records, but never answers (holds the connection until stopped)
  none       nobody listens, and the hosts file no longer maps the report host (unresolvable)
The hosts file is the one run.sh bind-mounted over /etc/hosts (REGIN_E2E_HOSTS); it is
rewritten in place, never replaced, so the bind mount keeps showing it.
"""
from __future__ import annotations

import dataclasses
import socket
import threading
import time
from pathlib import Path

REPORT_HOST = "report.velmora.example"
ADDR = ("127.0.0.1", 80)
MODES = ("answering", "silent", "none")
HOSTS_BASE = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n"
HOSTS_MAPPED = HOSTS_BASE + f"127.0.0.1\t{REPORT_HOST}\n"
READ_TIMEOUT = 10.0


@dataclasses.dataclass
class Request:
    at: float                          # time.monotonic() when the connection was accepted
    request_line: str
    headers: list[tuple[str, str]]
    raw: bytes

    def header(self, name: str) -> list[str]:
        return [v for k, v in self.headers if k.lower() == name.lower()]


def write_hosts(path: Path, mapped: bool) -> None:
    with open(path, "r+") as f:      # in place: the bind mount follows the inode
        f.seek(0)
        f.truncate()
        f.write(HOSTS_MAPPED if mapped else HOSTS_BASE)


class ReportLogger:
    def __init__(self, mode: str, hosts: Path):
        assert mode in MODES, mode
        self.mode, self.hosts = mode, hosts
        self.requests: list[Request] = []
        self.errors: list[str] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._conns: list[socket.socket] = []
        self._sock = None
        self._thread = None

    def start(self) -> "ReportLogger":
        write_hosts(self.hosts, mapped=self.mode != "none")
        if self.mode == "none":
            return self
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(ADDR)
        s.listen(16)
        s.settimeout(0.2)
        self._sock = s
        self._thread = threading.Thread(target=self._serve, name="report-logger", daemon=True)
        self._thread.start()
        return self

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            at = time.monotonic()
            self._conns.append(conn)
            threading.Thread(target=self._handle, args=(conn, at), daemon=True).start()

    def _handle(self, conn: socket.socket, at: float) -> None:
        conn.settimeout(READ_TIMEOUT)
        data = b""
        try:
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
        except OSError as e:
            self.errors.append(f"read: {e}")
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = head.split("\r\n") if head else [""]
        headers = []
        for line in lines[1:]:
            k, _, v = line.partition(":")
            headers.append((k.strip(), v.strip()))
        with self._lock:
            self.requests.append(Request(at, lines[0], headers, data))
        if self.mode == "answering":
            try:
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
                             b"Connection: close\r\n\r\nOK")
            except OSError as e:
                self.errors.append(f"write: {e}")
            conn.close()
        else:
            self._stop.wait(120)     # silent: hold the connection open, say nothing

    def wait_requests(self, n: int, timeout: float) -> list[Request]:
        end = time.monotonic() + timeout
        while time.monotonic() < end and len(self.requests) < n:
            time.sleep(0.05)
        return list(self.requests)

    def stop(self) -> None:
        self._stop.set()
        if self._sock:
            self._sock.close()
        for c in self._conns:
            try:
                c.close()
            except OSError:
                pass
        if self._thread:
            self._thread.join(timeout=5)
        write_hosts(self.hosts, mapped=True)


def in_private_netns() -> bool:
    """True when the only network interface is loopback (run.sh's `unshare -n`)."""
    try:
        lines = Path("/proc/self/net/dev").read_text().splitlines()[2:]
    except OSError:
        return False
    return [ln.split(":", 1)[0].strip() for ln in lines] == ["lo"]
