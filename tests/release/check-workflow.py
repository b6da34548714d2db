"""Checks the GitHub workflows and the Windows build settings, which cannot run here.

    /usr/bin/python3 check-workflow.py SOURCE_DIR VALIDATOR

Fails unless:
  - VALIDATOR (@action-validator/cli) passes .github/workflows/ci.yml and full-run.yml, and
    rejects a copy of ci.yml with one key misspelt (so it does read the file);
  - every job and every step of both workflows has a time limit, and every action they use is
    at a version that runs on the runners' Node 24;
  - ci.yml runs on every push and pull request with two jobs: on an ubuntu runner only commands
    that README.md shows as its own (lines of its indented code blocks), the README's test
    command last (the first command under "Test it on Debian 12", in its form for root); on
    windows-latest, within about half an hour, the README's Windows commands: the program
    alone, then the unit tests with GoogleTest from vcpkg found through VCPKG_ROOT. It never
    runs the program, which would walk the runner's whole disk;
  - full-run.yml starts by hand and on a schedule, never on a push, and on windows-latest runs
    the program once through run-once.py with a time limit, inside its step's and job's (at
    most the six hours a hosted job may take), writing its table to the job's summary page;
  - wherever the program runs, the report host is first mapped to 127.0.0.1 in the hosts file
    and checked to resolve there (no test sends anything beyond loopback);
  - the msvc presets name no generator, so the newest Visual Studio found is used, and no
    command in the workflows or in README.md's Windows section names one or needs a -D option;
  - vcpkg.json brings GoogleTest and pins its baseline;
  - README.md says plainly that the Windows jobs have not yet been seen running.
Then it puts in, one at a time, each fault these checks are there for, and fails unless every
altered copy is refused for its own reason.
"""
from __future__ import annotations

import copy
import json
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import yaml

# The first major version of each action used that runs on Node 24.
NODE24_MAJOR = {"actions/checkout": 5}
PUSH_JOB_MINUTES = 45            # a Windows job a push can wait for: about half an hour
HOSTED_JOB_MINUTES = 360         # what a hosted runner allows one job
FULL_RUN_MINUTES = 120           # at the least, for a runner's whole disk
PROGRAM = re.compile(r"run-once\.py|ReginDetector\.exe")
# The three lines that map the report host to loopback and check it, each a command of its own.
LOOPBACK = [re.compile(r'Add-Content -Path "\$env:SystemRoot\\System32\\drivers\\etc\\hosts" '
                       r'-Value "`r`n127\.0\.0\.1 report\.velmora\.example"$'),
            re.compile(r'\$address = \[System\.Net\.Dns\]::GetHostAddresses\("report\.velmora\.example"\)'),
            re.compile(r'if \("\$address" -ne "127\.0\.0\.1"\) \{ throw ')]
RUN_ONCE = re.compile(r"python tests/release/run-once\.py --timeout (\d+) --summary "
                      r"\"\$env:GITHUB_STEP_SUMMARY\" build/msvc/Release/ReginDetector\.exe$")
PINNED_GENERATOR = re.compile(r"Visual Studio \d+|-G\b")
# The README's Windows commands: the program alone, then the unit tests.
PROGRAM_ALONE = ["cmake --preset msvc", "cmake --build --preset msvc"]
UNIT_TESTS = ["cmake --preset msvc-tests", "cmake --build --preset msvc-tests", "ctest --preset msvc-tests"]


@dataclass
class Project:
    ci: dict
    full: dict
    presets: dict
    readme: str
    vcpkg: dict


def triggers(workflow: dict) -> dict:
    # YAML 1.1 reads the key `on` as true.
    found = workflow.get("on", workflow.get(True, {}))
    if isinstance(found, str):
        return {found: None}
    if isinstance(found, list):
        return {name: None for name in found}
    return found or {}


def jobs_of(workflow: dict) -> dict:
    return workflow.get("jobs") or {}


def steps(job: dict) -> list[dict]:
    return job.get("steps", []) or []


def step_commands(step: dict) -> list[str]:
    return [line.strip() for line in str(step.get("run", "")).splitlines() if line.strip()]


def job_commands(job: dict) -> list[str]:
    return [c for step in steps(job) for c in step_commands(step)]


def readme_section(readme: str, heading: str) -> str:
    parts = readme.split(f"\n## {heading}\n", 1)
    return parts[1].split("\n## ", 1)[0] if len(parts) == 2 else ""


def code_lines(text: str) -> list[str]:
    return [line for line in text.splitlines() if line.startswith("    ") and line.strip()]


def readme_commands(readme: str, heading: str | None = None) -> list[str]:
    """The code lines (comments after # dropped) of README.md, or of one section of it."""
    text = readme if heading is None else readme_section(readme, heading)
    return [line.split(" #", 1)[0].strip() for line in code_lines(text)]


def readme_test_command(readme: str) -> str:
    """The first command under "Test it on Debian 12", in its form for root."""
    test_line = next(iter(code_lines(readme_section(readme, "Test it on Debian 12"))), "")
    as_root = re.search(r"# as root: (.+)$", test_line)
    return (as_root.group(1) if as_root else test_line.split(" #", 1)[0]).strip()


def check_time_limits(name: str, workflow: dict, problems: list[str]) -> None:
    for job_id, job in jobs_of(workflow).items():
        if not isinstance(job.get("timeout-minutes"), int) or job["timeout-minutes"] <= 0:
            problems.append(f"{name}: job {job_id} has no time limit")
        for number, step in enumerate(steps(job), 1):
            if not isinstance(step.get("timeout-minutes"), int) or step["timeout-minutes"] <= 0:
                what = step.get("name") or step.get("uses") or f"step {number}"
                problems.append(f"{name}: job {job_id}, step '{what}' has no time limit")


def check_actions(name: str, workflow: dict, problems: list[str]) -> None:
    for job_id, job in jobs_of(workflow).items():
        for step in steps(job):
            if "uses" not in step:
                continue
            action, _, version = str(step["uses"]).partition("@")
            major = re.fullmatch(r"v(\d+)(?:\.\d+)*", version)
            if action not in NODE24_MAJOR:
                problems.append(f"{name}: job {job_id} uses {action}, whose Node 24 version is not known here")
            elif major is None or int(major.group(1)) < NODE24_MAJOR[action]:
                problems.append(f"{name}: job {job_id} uses {step['uses']}, which runs on Node 20 or "
                                f"older: Node 24 needs @v{NODE24_MAJOR[action]} or later")


def check_loopback(name: str, workflow: dict, problems: list[str]) -> None:
    """In every job, the hosts mapping and its check come before any step that runs the program."""
    for job_id, job in jobs_of(workflow).items():
        mapped = False
        for step in steps(job):
            commands = step_commands(step)
            if any(PROGRAM.search(c) for c in commands) and not mapped:
                problems.append(f"{name}: job {job_id} runs the program before mapping "
                                "report.velmora.example to 127.0.0.1: its report could leave the runner")
            if all(any(line.match(c) for c in commands) for line in LOOPBACK):
                mapped = True


def check_push_workflow(p: Project, problems: list[str]) -> None:
    on = triggers(p.ci)
    if "push" not in on or "pull_request" not in on:
        problems.append("ci.yml does not run on every push and pull request")
    jobs = jobs_of(p.ci)
    linux = [job for job in jobs.values() if str(job.get("runs-on", "")).startswith("ubuntu")]
    windows = [job for job in jobs.values() if job.get("runs-on") == "windows-latest"]
    if not (len(jobs) == 2 and len(linux) == 1 and len(windows) == 1):
        problems.append("ci.yml has not two jobs, one on an ubuntu runner and one on windows-latest")

    commands = set(readme_commands(p.readme))
    test_command = readme_test_command(p.readme)
    if not test_command:
        problems.append("README.md shows no test command under 'Test it on Debian 12'")
    for job in linux:
        ran = job_commands(job)
        for command in ran:
            if command not in commands:
                problems.append(f"the Linux job runs a command README.md does not show: {command}")
        if not ran or ran[-1] != test_command:
            problems.append(f"the Linux job does not end with the README's test command '{test_command}': {ran}")

    windows_readme = readme_commands(p.readme, "Build and run on Windows")
    wanted = PROGRAM_ALONE + UNIT_TESTS
    for command in wanted:
        if command not in windows_readme:
            problems.append(f"README.md's Windows section does not show '{command}'")
    for job in windows:
        ran = job_commands(job)
        built = [c for c in ran if re.match(r"(cmake|ctest)\b", c)]
        if built != wanted:
            problems.append(f"the Windows job does not run the README's Windows commands {wanted}: {built}")
        for command in built:
            if command not in windows_readme:
                problems.append(f"the Windows job runs a command README.md does not show: {command}")
        vcpkg = next((i for i, c in enumerate(ran)
                      if re.search(r"GITHUB_ENV.*VCPKG_ROOT=\$env:VCPKG_INSTALLATION_ROOT", c)), None)
        if vcpkg is None or "cmake --preset msvc-tests" not in ran[vcpkg:]:
            problems.append("the Windows job does not set VCPKG_ROOT to the runner's vcpkg before "
                            "configuring the tests")
        minutes = job.get("timeout-minutes")
        if isinstance(minutes, int) and minutes > PUSH_JOB_MINUTES:
            problems.append(f"the Windows job of ci.yml may take {minutes} minutes: a push cannot wait "
                            f"that long (at most {PUSH_JOB_MINUTES})")
    for job_id, job in jobs.items():
        for command in job_commands(job):
            if PROGRAM.search(command):
                problems.append(f"ci.yml, job {job_id} runs the program, which walks the runner's "
                                f"whole disk on every push: {command}")


def check_full_run(p: Project, problems: list[str]) -> None:
    on = triggers(p.full)
    schedule = on.get("schedule") if isinstance(on, dict) else None
    if "workflow_dispatch" not in on:
        problems.append("full-run.yml cannot be started by hand: no workflow_dispatch trigger")
    if not (isinstance(schedule, list) and any(isinstance(s, dict) and s.get("cron") for s in schedule)):
        problems.append("full-run.yml has no weekly schedule trigger")
    others = sorted(set(on) - {"workflow_dispatch", "schedule"})
    if others:
        problems.append(f"full-run.yml also runs on {others}: a push would wait for a full run")
    jobs = jobs_of(p.full)
    runs = []
    for job_id, job in jobs.items():
        minutes = job.get("timeout-minutes")
        if job.get("runs-on") != "windows-latest":
            problems.append(f"full-run.yml, job {job_id} does not run on windows-latest")
        if isinstance(minutes, int) and not FULL_RUN_MINUTES <= minutes <= HOSTED_JOB_MINUTES:
            problems.append(f"full-run.yml, job {job_id} has {minutes} minutes: a runner's whole disk "
                            f"wants {FULL_RUN_MINUTES} to {HOSTED_JOB_MINUTES}")
        ran = job_commands(job)
        for command in PROGRAM_ALONE:
            if command not in ran:
                problems.append(f"full-run.yml, job {job_id} does not build the program with '{command}'")
        for step in steps(job):
            for command in step_commands(step):
                if PROGRAM.search(command):
                    runs.append((job, step, command))
    if len(runs) != 1:
        problems.append(f"full-run.yml runs the program {len(runs)} times, not once")
    for job, step, command in runs:
        found = RUN_ONCE.search(command)
        if found is None:
            problems.append("full-run.yml does not run the program through run-once.py with a time "
                            f"limit and its summary on the job's summary page: {command}")
            continue
        limit = int(found.group(1))
        step_minutes = step.get("timeout-minutes")
        if isinstance(step_minutes, int) and step_minutes * 60 <= limit:
            problems.append(f"full-run.yml: the run's own limit ({limit} s) is not within its step's "
                            f"({step_minutes} min), so no summary is written when it is reached")


def check_build_settings(p: Project, problems: list[str]) -> None:
    for preset in p.presets.get("configurePresets", []):
        generator = str(preset.get("generator", ""))
        if preset.get("name", "").startswith("msvc") and "generator" in preset:
            problems.append(f"the {preset['name']} preset names the generator '{generator}': with "
                            "another Visual Studio installed it cannot configure")
        elif PINNED_GENERATOR.search(generator):
            problems.append(f"the {preset.get('name')} preset pins the generator '{generator}'")
    lines = [("README.md's Windows section", c) for c in readme_commands(p.readme, "Build and run on Windows")]
    lines += [(name, c) for name, workflow in (("ci.yml", p.ci), ("full-run.yml", p.full))
              for job in jobs_of(workflow).values() for c in job_commands(job)]
    for where, command in lines:
        if re.match(r"(cmake|ctest)\b", command) and PINNED_GENERATOR.search(command):
            problems.append(f"{where} pins a generator: {command}")
        if where.startswith("README") and re.search(r"(^|\s)-D", command):
            problems.append(f"{where} needs an option typed by hand: {command}")
    if "gtest" not in p.vcpkg.get("dependencies", []):
        problems.append("vcpkg.json does not bring GoogleTest")
    if not re.fullmatch(r"[0-9a-f]{40}", str(p.vcpkg.get("builtin-baseline", ""))):
        problems.append("vcpkg.json pins no baseline (builtin-baseline): GoogleTest's version "
                        "would differ from machine to machine")
    if "The Windows jobs have not yet been seen running" not in " ".join(p.readme.split()):
        problems.append("README.md does not say that the Windows jobs have not yet been seen running")


def check_project(p: Project) -> list[str]:
    problems: list[str] = []
    for name, workflow in (("ci.yml", p.ci), ("full-run.yml", p.full)):
        check_time_limits(name, workflow, problems)
        check_actions(name, workflow, problems)
        check_loopback(name, workflow, problems)
    check_push_workflow(p, problems)
    check_full_run(p, problems)
    check_build_settings(p, problems)
    return problems


# --- the faults the checks are there for, each put into a copy of the project -----------------

def windows_job(workflow: dict) -> dict:
    return next(job for job in workflow["jobs"].values() if job.get("runs-on") == "windows-latest")


def run_step(workflow: dict) -> dict:
    return next(s for s in steps(windows_job(workflow)) if "run-once.py" in str(s.get("run", "")))


def hosts_step(workflow: dict) -> dict:
    return next(s for s in steps(windows_job(workflow)) if "drivers\\etc\\hosts" in str(s.get("run", "")))


def comment_out_hosts(p: Project) -> None:
    step = hosts_step(p.full)
    step["run"] = step["run"].replace("Add-Content", "# Add-Content")


def drop_hosts(p: Project) -> None:
    windows_job(p.full)["steps"].remove(hosts_step(p.full))


def hosts_after_run(p: Project) -> None:
    job = windows_job(p.full)
    hosts = hosts_step(p.full)
    job["steps"].remove(hosts)
    job["steps"].append(hosts)


def full_run_on_push(p: Project) -> None:
    windows_job(p.ci)["steps"].append(copy.deepcopy(run_step(p.full)))


def msvc_preset(p: Project) -> dict:
    return next(c for c in p.presets["configurePresets"] if c["name"] == "msvc")


FAULTS: list[tuple[str, Callable[[Project], object], str]] = [
    ("a push job with no time limit",
     lambda p: windows_job(p.ci).pop("timeout-minutes"), "has no time limit"),
    ("a step of the full run with no time limit",
     lambda p: run_step(p.full).pop("timeout-minutes"), "has no time limit"),
    ("the full-disk run in the push workflow", full_run_on_push, "walks the runner's whole disk"),
    ("the full run without its schedule",
     lambda p: triggers(p.full).pop("schedule"), "no weekly schedule"),
    ("the full run without a start by hand",
     lambda p: triggers(p.full).pop("workflow_dispatch"), "cannot be started by hand"),
    ("the full run on every push",
     lambda p: triggers(p.full).update({"push": None}), "a push would wait"),
    ("the full run without its summary",
     lambda p: run_step(p.full).update(
         run=run_step(p.full)["run"].replace(' --summary "$env:GITHUB_STEP_SUMMARY"', "")),
     "its summary on the job's summary page"),
    ("the report host not mapped to loopback", drop_hosts, "could leave the runner"),
    ("the report host mapped after the run", hosts_after_run, "could leave the runner"),
    ("the report host's mapping commented out", comment_out_hosts, "could leave the runner"),
    ("a pinned generator version",
     lambda p: msvc_preset(p).update(generator="Visual Studio 17 2022"), "names the generator"),
    ("an action on Node 20",
     lambda p: windows_job(p.ci)["steps"][0].update(uses="actions/checkout@v4"), "Node 20"),
]


def validate(validator: str, workflow: Path) -> subprocess.CompletedProcess:
    return subprocess.run([validator, str(workflow)], capture_output=True, text=True, timeout=120)


def main() -> int:
    source = Path(sys.argv[1])
    validator = sys.argv[2]
    workflows = source / ".github" / "workflows"
    if not Path(validator).is_file():
        print(f"FAIL: no workflow validator at {validator} (scripts/setup-debian.sh installs it)",
              file=sys.stderr)
        return 1

    problems: list[str] = []
    for name in ("ci.yml", "full-run.yml"):
        result = validate(validator, workflows / name)
        if result.returncode != 0:
            problems.append(f"the validator rejects {name}:\n{result.stdout}{result.stderr}")
    with tempfile.TemporaryDirectory(prefix="regin-workflow-") as work:
        broken = Path(work, "ci.yml")
        broken.write_text((workflows / "ci.yml").read_text().replace("runs-on:", "runs-in:", 1))
        if validate(validator, broken).returncode == 0:
            problems.append("the validator passes a workflow with 'runs-on' misspelt: it checks nothing")

    try:
        project = Project(ci=yaml.safe_load((workflows / "ci.yml").read_text()) or {},
                          full=yaml.safe_load((workflows / "full-run.yml").read_text()) or {},
                          presets=json.loads((source / "CMakePresets.json").read_text()),
                          readme=(source / "README.md").read_text(),
                          vcpkg=json.loads((source / "vcpkg.json").read_text()))
    except (OSError, ValueError, yaml.YAMLError) as error:
        print(f"FAIL: the workflows, presets, README.md or vcpkg.json cannot be read: {error}",
              file=sys.stderr)
        return 1
    problems += check_project(project)

    for what, put_in, reason in FAULTS:
        altered = copy.deepcopy(project)
        try:
            put_in(altered)
        except (KeyError, StopIteration, ValueError) as error:
            problems.append(f"cannot put in '{what}': the workflows lack what it alters ({error!r})")
            continue
        found = check_project(altered)
        if not any(reason in problem for problem in found):
            problems.append(f"the checks pass the workflows with {what} (wanted a problem saying "
                            f"'{reason}'; they said {found})")

    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    if problems:
        return 1
    print("workflows ok: the validator passes both; ci.yml runs the README's commands on Debian and "
          "its Windows commands on windows-latest, never the program; full-run.yml runs it once by "
          "hand and weekly, on loopback, with its summary; every job and step is bounded; "
          f"each of {len(FAULTS)} faults put in is refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
