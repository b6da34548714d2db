"""The report request sent between the scan and the verdict: one GET to the report host with the
program's User-Agent, and a bounded wait for it (3 s when clean, 10 s when infected).

REGIN_E2E_REPORT=0 leaves them out."""
import os

import pytest

from harness import reportlog, transcript as tr

pytestmark = [
    pytest.mark.wine, pytest.mark.report,
    pytest.mark.skipif(os.environ.get("REGIN_E2E_REPORT") == "0", reason="REGIN_E2E_REPORT=0"),
]

AGENT = "VelmoraReginDetector"
INFECTING = "system32/nsreg1.dat"
# verdict -> (query, longest wait for the answer in seconds)
VERDICTS = {"clean": ("clean", 3.0), "infected": ("infected", 10.0)}
SLACK = 1.5          # scheduling and polling allowance on the upper side


def tail_bytes(verdict):
    """The tail as written under Wine (CRLF line ends)."""
    return (tr.TAIL_INFECTED if verdict == "infected" else tr.TAIL_CLEAN).replace(b"\n", b"\r\n")


def run(sandbox, exe, scanner, verdict):
    if verdict == "infected":
        sandbox.plant_file(INFECTING)
    r = scanner.console(sandbox, exe)
    assert r.status == 0
    t = tr.parse(r.stdout)
    assert t.tail == (tr.TAIL_INFECTED if verdict == "infected" else tr.TAIL_CLEAN)
    return r


@pytest.mark.parametrize("verdict", VERDICTS)
def test_one_request_with_the_verdict(sandbox, exe, scanner, report_logger, verdict):
    lg = report_logger("answering")
    r = run(sandbox, exe, scanner, verdict)
    reqs = lg.requests
    assert len(reqs) == 1, [q.request_line for q in reqs]
    (q,) = reqs
    assert q.request_line == f"GET /regin.php?{VERDICTS[verdict][0]} HTTP/1.1"
    assert q.header("User-Agent") == [AGENT]
    assert q.header("Host") == [reportlog.REPORT_HOST]
    assert q.at < r.prompt_at
    assert r.prompt_at - q.at < SLACK, "verdict waited although the report was answered"


@pytest.mark.parametrize("verdict", VERDICTS)
def test_silent_host_is_waited_for_at_most_the_limit(sandbox, exe, scanner, report_logger, verdict):
    lg = report_logger("silent")
    r = run(sandbox, exe, scanner, verdict)
    (q,) = lg.requests
    waited = r.prompt_at - q.at
    limit = VERDICTS[verdict][1]
    assert limit - 0.1 <= waited <= limit + SLACK, f"waited {waited:.2f}s for a silent host, limit {limit}s"
    pause = r.pause_before_tail(len(tail_bytes(verdict)))
    assert limit - 0.1 <= pause <= limit + SLACK, f"{pause:.2f}s between the walk and the verdict, limit {limit}s"


@pytest.mark.parametrize("verdict", VERDICTS)
def test_unresolvable_host_does_not_delay(sandbox, exe, scanner, report_logger, verdict):
    lg = report_logger("none")
    r = run(sandbox, exe, scanner, verdict)
    assert lg.requests == []
    pause = r.pause_before_tail(len(tail_bytes(verdict)))
    assert pause < SLACK, f"{pause:.2f}s between the walk and the verdict with an unresolvable host"
