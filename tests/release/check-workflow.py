"""Checks the GitHub workflow, which cannot run here.

    /usr/bin/python3 check-workflow.py SOURCE_DIR VALIDATOR

Fails unless:
  - VALIDATOR (@action-validator/cli) passes .github/workflows/ci.yml, and rejects a copy of it
    with one key misspelt (so it does read the file);
  - the job on an ubuntu runner runs only commands that README.md shows as its own (lines of its
    indented code blocks), and last of all the README's test command (the first command under
    "Test it on Debian 12", in its form for root);
  - the job on windows-latest configures, builds and runs the unit tests with the msvc preset,
    GoogleTest coming from vcpkg.json, and runs the program once through run-once.py with a
    time limit, within a job time limit, after mapping the report host to 127.0.0.1 in the hosts
    file (no test sends anything beyond loopback);
  - README.md says plainly that the Windows job has not yet been seen running.
"""
import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import yaml

problems: list[str] = []


def check(ok: bool, problem: str) -> None:
    if not ok:
        problems.append(problem)


def validate(validator: str, workflow: Path) -> subprocess.CompletedProcess:
    return subprocess.run([validator, str(workflow)], capture_output=True, text=True, timeout=120)


def readme_commands(readme: str) -> tuple[set[str], str]:
    """The README's code lines (comments after # dropped), and its test command for root."""
    commands = set()
    for line in readme.splitlines():
        if line.startswith("    ") and line.strip():
            commands.add(line.split(" #", 1)[0].strip())
    section = readme.split("\n## Test it on Debian 12\n", 1)
    test_line = ""
    if len(section) == 2:
        test_line = next((l for l in section[1].splitlines() if l.startswith("    ")), "")
    as_root = re.search(r"# as root: (.+)$", test_line)
    return commands, (as_root.group(1) if as_root else test_line.split(" #", 1)[0]).strip()


def step_commands(step: dict) -> list[str]:
    return [line.strip() for line in str(step.get("run", "")).splitlines() if line.strip()]


def main() -> int:
    source = Path(sys.argv[1])
    validator = sys.argv[2]
    workflow = source / ".github" / "workflows" / "ci.yml"
    if not Path(validator).is_file():
        print(f"FAIL: no workflow validator at {validator} (scripts/setup-debian.sh installs it)",
              file=sys.stderr)
        return 1

    result = validate(validator, workflow)
    check(result.returncode == 0,
          f"the validator rejects {workflow}:\n{result.stdout}{result.stderr}")
    with tempfile.TemporaryDirectory(prefix="regin-workflow-") as work:
        broken = Path(work, "ci.yml")
        broken.write_text(workflow.read_text().replace("runs-on:", "runs-in:", 1))
        check(validate(validator, broken).returncode != 0,
              "the validator passes a workflow with 'runs-on' misspelt: it checks nothing")

    jobs = (yaml.safe_load(workflow.read_text()) or {}).get("jobs", {})
    linux = [job for job in jobs.values() if str(job.get("runs-on", "")).startswith("ubuntu")]
    windows = [job for job in jobs.values() if job.get("runs-on") == "windows-latest"]
    check(len(jobs) == 2 and len(linux) == 1 and len(windows) == 1,
          "not two jobs, one on an ubuntu runner and one on windows-latest")

    readme = (source / "README.md").read_text()
    commands, test_command = readme_commands(readme)
    check(test_command != "", "README.md shows no test command under 'Test it on Debian 12'")
    for job in linux:
        ran = [c for step in job.get("steps", []) for c in step_commands(step)]
        for command in ran:
            check(command in commands, f"the Linux job runs a command README.md does not show: {command}")
        check(bool(ran) and ran[-1] == test_command,
              f"the Linux job does not end with the README's test command '{test_command}': {ran}")
        check("timeout-minutes" in job, "the Linux job has no time limit")

    for job in windows:
        ran = " \n".join(c for step in job.get("steps", []) for c in step_commands(step))
        for wanted in (r"cmake --preset msvc .*-DCMAKE_TOOLCHAIN_FILE=\S*vcpkg\.cmake",
                       r"cmake --build --preset msvc", r"ctest --preset msvc -L unit",
                       r"python tests/release/run-once\.py --timeout \d+ "
                       r"build/msvc/Release/ReginDetector\.exe"):
            check(re.search(wanted, ran) is not None, f"the Windows job runs nothing like '{wanted}'")
        check("timeout-minutes" in job, "the Windows job has no time limit")
        hosts = re.search(r"drivers\\etc\\hosts\" -Value \"`r`n127\.0\.0\.1 report\.velmora\.example\"", ran)
        run_once = ran.find("tests/release/run-once.py")
        check(hosts is not None and hosts.start() < run_once,
              "the Windows job does not map report.velmora.example to 127.0.0.1 before the program runs")
        try:
            vcpkg = json.loads((source / "vcpkg.json").read_text())
        except (OSError, ValueError) as error:
            vcpkg = {}
            problems.append(f"vcpkg.json cannot be read: {error}")
        check("gtest" in vcpkg.get("dependencies", []), "vcpkg.json does not bring GoogleTest")

    check("The Windows job has not yet been seen running" in " ".join(readme.split()),
          "README.md does not say that the Windows job has not yet been seen running")

    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"workflow ok: the validator passes it; the Linux job runs {test_command!r} as README.md"
          " shows; the Windows job uses the msvc preset, vcpkg's GoogleTest and run-once.py")
    return 0


if __name__ == "__main__":
    sys.exit(main())
