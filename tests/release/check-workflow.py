"""Checks the GitHub workflows and the Windows build settings, which cannot run here.

    /usr/bin/python3 check-workflow.py SOURCE_DIR VALIDATOR

Fails unless:
  - VALIDATOR (@action-validator/cli) passes .github/workflows/ci.yml and full-run.yml, and
    rejects a copy of ci.yml with one key misspelt (so it does read the file);
  - every job and every step of both workflows has a time limit, and every action they use is
    at a version that runs on the runners' Node 24;
  - every Windows step runs in PowerShell (pwsh), and one of several commands stops at the
    first native command that fails: each is followed by a $LASTEXITCODE check (PowerShell
    itself stops only at a failing cmdlet, and GitHub checks only the last command's status);
  - on ubuntu runners, the jobs run in debian:12 and only commands that README.md shows as its
    own (lines of its indented code blocks);
  - ci.yml runs on every push and pull request with four jobs: the README's test command last
    (the first command under "Test it on Debian 12", in its form for root); the release package
    as the README's "Release package" section builds it, with the MinGW unit-test programs
    gathered by windows-unit-tests.py, handed on as an artifact; on windows-latest, those
    programs' unit tests with ctest, natively, from that artifact; and on windows-latest,
    within about half an hour, the README's Windows commands: the program alone, then the unit
    tests with GoogleTest from vcpkg found through VCPKG_ROOT. It never runs the program,
    which would walk the runner's whole disk;
  - full-run.yml starts by hand and on a schedule, never on a push; it builds the release
    package as ci.yml does and, on windows-latest, takes the exe out of it, checked against its
    SHA256SUMS, plants the finds it expects below the Windows directory and removes them
    afterwards whatever happened, and runs that exe once through run-once.py with a time limit
    inside its step's and job's (at most the six hours a hosted job may take), expecting those
    finds, standing in for the report host on 127.0.0.1:80 and [::1]:80, and writing its table
    to the job's summary page;
  - wherever the program runs, the report host is first mapped to 127.0.0.1 and ::1 in the
    hosts file and checked to resolve to those alone (no test sends anything beyond loopback);
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
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import yaml

# The first major version of each action used that runs on Node 24.
NODE24_MAJOR = {"actions/checkout": 5, "actions/upload-artifact": 6, "actions/download-artifact": 7}
PUSH_JOB_MINUTES = 45            # a Windows job a push can wait for: about half an hour
HOSTED_JOB_MINUTES = 360         # what a hosted runner allows one job
FULL_RUN_MINUTES = 120           # at the least, for a runner's whole disk
# A command that runs the program: through run-once.py, or started by its path.
PROGRAM = re.compile(r"run-once\.py|^(&\s*)?[\"']?\S*ReginDetector\.exe\b|Start-Process\b.*ReginDetector\.exe")
# The lines that map the report host to loopback, IPv4 and IPv6, and check it, each a command of
# its own.
LOOPBACK = [re.compile(r'Add-Content -Path "\$env:SystemRoot\\System32\\drivers\\etc\\hosts" '
                       r'-Value "`r`n127\.0\.0\.1 report\.velmora\.example`r`n::1 report\.velmora\.example"$'),
            re.compile(r'\$addresses = @\(\[System\.Net\.Dns\]::GetHostAddresses\("report\.velmora\.example"\)'),
            re.compile(r'if \(\$addresses\.Count -ne 2 -or \$addresses -notcontains "127\.0\.0\.1" '
                       r'-or \$addresses -notcontains "::1"\) \{ throw ')]
RUN_ONCE = re.compile(r'python tests/release/run-once\.py --timeout (\d+) --summary '
                      r'"\$env:GITHUB_STEP_SUMMARY" (.*) (\S+)$')
RELEASED_EXE = "release/ReginDetector.exe"
# The exe taken out of the release package and checked against the package's SHA256SUMS.
PACKAGE_CHECK = [re.compile(r"Expand-Archive -Path .*ReginDetector-\*-win64\.zip.* -DestinationPath release$"),
                 re.compile(r"\$listed = Get-Content release/SHA256SUMS "),
                 re.compile(r"\$digest = \(Get-FileHash release/ReginDetector\.exe -Algorithm SHA256\)"),
                 re.compile(r'if \("\$listed" -ne "\$digest  ReginDetector\.exe"\) \{ throw ')]
UNIT_TEST_FOLDER = "build/mingw/windows-unit-tests"
WINDOWS_UNIT_TESTS = re.compile(r"ctest --test-dir (\S+)/windows-unit-tests -L unit --output-on-failure "
                                r"--no-tests=error$")
PINNED_GENERATOR = re.compile(r"Visual Studio \d+|-G\b")
EXIT_CHECK = "if ($LASTEXITCODE -ne 0) { exit $LASTEXITCODE }"
# A PowerShell line that is not a native command: a cmdlet (Verb-Noun), a statement or a brace.
NOT_NATIVE = re.compile(r"([A-Z][a-z]+-[A-Za-z]+|\$|if\b|elseif\b|else\b|foreach\b|try\b|catch\b|"
                        r"throw\b|exit\b|[{}#]|\()")
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


def on_linux(job: dict) -> bool:
    return str(job.get("runs-on", "")).startswith("ubuntu")


def on_windows(job: dict) -> bool:
    return job.get("runs-on") == "windows-latest"


def uses(job: dict, action: str) -> list[dict]:
    return [step for step in steps(job) if str(step.get("uses", "")).partition("@")[0] == action]


def readme_section(readme: str, heading: str) -> str:
    parts = readme.split(f"\n## {heading}\n", 1)
    return parts[1].split("\n## ", 1)[0] if len(parts) == 2 else ""


def code_lines(text: str) -> list[str]:
    return [line for line in text.splitlines() if line.startswith("    ") and line.strip()]


def readme_commands(readme: str, heading: str | None = None) -> list[str]:
    """The code lines (comments after # dropped) of README.md, or of one section of it, each
    also in its form for root where the README gives one."""
    text = readme if heading is None else readme_section(readme, heading)
    commands = []
    for line in code_lines(text):
        commands.append(line.split(" #", 1)[0].strip())
        as_root = re.search(r"# as root: (.+)$", line)
        if as_root:
            commands.append(as_root.group(1).strip())
    return commands


def readme_test_command(readme: str) -> str:
    """The first command under "Test it on Debian 12", in its form for root."""
    test_line = next(iter(code_lines(readme_section(readme, "Test it on Debian 12"))), "")
    as_root = re.search(r"# as root: (.+)$", test_line)
    return (as_root.group(1) if as_root else test_line.split(" #", 1)[0]).strip()


def release_commands(readme: str) -> list[str]:
    """The commands of README.md's "Release package" section that build the package."""
    return [c for c in readme_commands(readme, "Release package") if re.match(r"cmake\b", c)]


def contains_run(ran: list[str], wanted: list[str]) -> bool:
    return any(ran[i:i + len(wanted)] == wanted for i in range(len(ran) - len(wanted) + 1))


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


def check_powershell(name: str, workflow: dict, problems: list[str]) -> None:
    """Every Windows step in pwsh; in one of several commands, every native command checked."""
    for job_id, job in jobs_of(workflow).items():
        if not on_windows(job):
            continue
        default = ((job.get("defaults") or {}).get("run") or {}).get("shell")
        for step in steps(job):
            if "run" not in step:
                continue
            what = step.get("name") or step_commands(step)[0]
            if step.get("shell", default) != "pwsh":
                problems.append(f"{name}: job {job_id}, step '{what}' does not run in pwsh")
            commands = step_commands(step)
            if len(commands) < 2:
                continue
            for i, command in enumerate(commands):
                if not NOT_NATIVE.match(command) and commands[i + 1:i + 2] != [EXIT_CHECK]:
                    problems.append(f"{name}: job {job_id}, step '{what}' goes on after '{command}' "
                                    f"fails: no '{EXIT_CHECK}' follows it")


def check_loopback(name: str, workflow: dict, problems: list[str]) -> None:
    """In every job, the hosts mapping and its check come before any step that runs the program."""
    for job_id, job in jobs_of(workflow).items():
        mapped = False
        for step in steps(job):
            commands = step_commands(step)
            if any(PROGRAM.search(c) for c in commands) and not mapped:
                problems.append(f"{name}: job {job_id} runs the program before mapping "
                                "report.velmora.example to 127.0.0.1 and ::1: its report could leave "
                                "the runner")
            if all(any(line.match(c) for c in commands) for line in LOOPBACK):
                mapped = True


def check_linux_jobs(name: str, workflow: dict, readme: str, problems: list[str]) -> None:
    commands = set(readme_commands(readme))
    for job_id, job in jobs_of(workflow).items():
        if not on_linux(job):
            continue
        if (job.get("container") or {}).get("image") != "debian:12":
            problems.append(f"{name}: job {job_id} does not run in debian:12, as the README's commands do")
        for command in job_commands(job):
            if command not in commands:
                problems.append(f"{name}: job {job_id} runs a command README.md does not show: {command}")


def release_job(name: str, workflow: dict, readme: str, problems: list[str]) -> tuple[str, dict] | None:
    """The one job that builds the release package as the README does and hands it on."""
    wanted = release_commands(readme)
    found = [(job_id, job) for job_id, job in jobs_of(workflow).items()
             if on_linux(job) and wanted and contains_run(job_commands(job), wanted)]
    if len(found) != 1:
        problems.append(f"{name} has {len(found)} jobs that build the release package as README.md's "
                        f"'Release package' section does ({wanted}), not one")
        return None
    job_id, job = found[0]
    if "scripts/setup-debian.sh" not in job_commands(job):
        problems.append(f"{name}: job {job_id} builds the package without the README's setup")
    uploads = uses(job, "actions/upload-artifact")
    paths = [str((u.get("with") or {}).get("path", "")) for u in uploads]
    if len(uploads) != 1 or "build/mingw/ReginDetector-*-win64.zip" not in paths[0].split():
        problems.append(f"{name}: job {job_id} does not hand the release package on as an artifact")
    return found[0]


def downloads(job: dict, artifact_job: tuple[str, dict] | None) -> str | None:
    """Where the job puts the artifact of artifact_job, which it must wait for; None if it does not."""
    if artifact_job is None:
        return None
    job_id, producer = artifact_job
    needs = job.get("needs", [])
    if job_id not in ([needs] if isinstance(needs, str) else needs):
        return None
    names = {(u.get("with") or {}).get("name") for u in uses(producer, "actions/upload-artifact")}
    for step in uses(job, "actions/download-artifact"):
        given = step.get("with") or {}
        if given.get("name") in names and given.get("path"):
            return str(given["path"])
    return None


def check_push_workflow(p: Project, problems: list[str]) -> None:
    on = triggers(p.ci)
    if "push" not in on or "pull_request" not in on:
        problems.append("ci.yml does not run on every push and pull request")
    jobs = jobs_of(p.ci)
    check_linux_jobs("ci.yml", p.ci, p.readme, problems)

    test_command = readme_test_command(p.readme)
    if not test_command:
        problems.append("README.md shows no test command under 'Test it on Debian 12'")
    tests = [job for job in jobs.values() if on_linux(job) and job_commands(job)[-1:] == [test_command]]
    if len(tests) != 1:
        problems.append(f"ci.yml has {len(tests)} Linux jobs that end with the README's test command "
                        f"'{test_command}', not one")

    release = release_job("ci.yml", p.ci, p.readme, problems)
    if release is not None:
        ran = job_commands(release[1])
        gather = [c for c in ran if "tests/release/windows-unit-tests.py" in c]
        if gather != [f"/usr/bin/python3 tests/release/windows-unit-tests.py build/mingw {UNIT_TEST_FOLDER}"]:
            problems.append(f"ci.yml: the release job does not gather the MinGW unit-test programs into "
                            f"{UNIT_TEST_FOLDER} with windows-unit-tests.py: {gather}")
        paths = " ".join(str((u.get("with") or {}).get("path", ""))
                         for u in uses(release[1], "actions/upload-artifact")).split()
        if not any(path.rstrip("/") == UNIT_TEST_FOLDER for path in paths):
            problems.append("ci.yml: the release job does not hand on the MinGW unit-test programs")

    mingw_tests = []
    for job_id, job in jobs.items():
        if not on_windows(job):
            continue
        folder = downloads(job, release)
        ran = [WINDOWS_UNIT_TESTS.fullmatch(c) for c in job_commands(job)]
        if any(m and m.group(1) == folder for m in ran):
            mingw_tests.append(job_id)
            if any(re.match(r"(cmake|ctest) --preset", c) for c in job_commands(job)):
                problems.append(f"ci.yml: job {job_id} builds on Windows instead of testing the released "
                                "build")
    if len(mingw_tests) != 1:
        problems.append(f"ci.yml has {len(mingw_tests)} Windows jobs that run the released MinGW build's "
                        "unit tests from the release job's artifact, not one: the unit tests run on "
                        "Windows only as the Visual Studio build")

    windows_readme = readme_commands(p.readme, "Build and run on Windows")
    wanted = PROGRAM_ALONE + UNIT_TESTS
    for command in wanted:
        if command not in windows_readme:
            problems.append(f"README.md's Windows section does not show '{command}'")
    msvc = [job for job in jobs.values() if on_windows(job) and "cmake --preset msvc" in job_commands(job)]
    if len(msvc) != 1:
        problems.append(f"ci.yml has {len(msvc)} Windows jobs that build with Visual Studio, not one")
    for job in msvc:
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
    for job_id, job in jobs.items():
        minutes = job.get("timeout-minutes")
        if on_windows(job) and isinstance(minutes, int) and minutes > PUSH_JOB_MINUTES:
            problems.append(f"ci.yml: Windows job {job_id} may take {minutes} minutes: a push cannot wait "
                            f"that long (at most {PUSH_JOB_MINUTES})")
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
    check_linux_jobs("full-run.yml", p.full, p.readme, problems)
    release = release_job("full-run.yml", p.full, p.readme, problems)

    runs = []
    for job_id, job in jobs_of(p.full).items():
        if on_linux(job):
            continue
        minutes = job.get("timeout-minutes")
        if not on_windows(job):
            problems.append(f"full-run.yml, job {job_id} does not run on windows-latest")
        if isinstance(minutes, int) and not FULL_RUN_MINUTES <= minutes <= HOSTED_JOB_MINUTES:
            problems.append(f"full-run.yml, job {job_id} has {minutes} minutes: a runner's whole disk "
                            f"wants {FULL_RUN_MINUTES} to {HOSTED_JOB_MINUTES}")
        for index, step in enumerate(steps(job)):
            for command in step_commands(step):
                if PROGRAM.search(command):
                    runs.append((job, index, command))
    if len(runs) != 1:
        problems.append(f"full-run.yml runs the program {len(runs)} times, not once")
    for job, index, command in runs:
        step = steps(job)[index]
        before, after = steps(job)[:index], steps(job)[index + 1:]
        found = RUN_ONCE.search(command)
        if found is None:
            problems.append("full-run.yml does not run the program through run-once.py with a time "
                            f"limit and its summary on the job's summary page: {command}")
            continue
        limit, options, exe = int(found.group(1)), shlex.split(found.group(2)), found.group(3)
        step_minutes = step.get("timeout-minutes")
        if isinstance(step_minutes, int) and step_minutes * 60 <= limit:
            problems.append(f"full-run.yml: the run's own limit ({limit} s) is not within its step's "
                            f"({step_minutes} min), so no summary is written when it is reached")

        # The program users download: the release job's exe, checked against its package.
        folder = downloads(job, release)
        unpacked = [c for s in before for c in step_commands(s)]
        if exe != RELEASED_EXE or folder is None or not all(
                any(line.search(c) for c in unpacked) for line in PACKAGE_CHECK):
            problems.append(f"full-run.yml runs {exe}, not the exe of the release job's package checked "
                            f"against its SHA256SUMS ({RELEASED_EXE})")
        if any(re.match(r"cmake --(build )?--preset msvc", c) for c in job_commands(job)):
            problems.append("full-run.yml builds with Visual Studio: the real run is of the release exe")

        # The planted finds: made before the run, expected by it, removed after it whatever happened.
        expected = [options[i + 1] for i, o in enumerate(options[:-1]) if o == "--expect-find"]
        if len(expected) < 2:
            problems.append(f"full-run.yml: the real run expects {len(expected)} planted finds, not a fixed "
                            "indicator file and a candidate name")
        planted = [c for s in before for c in step_commands(s) if c.startswith("Set-Content -Path ")]
        removed = [c for s in after if s.get("if") == "always()" for c in step_commands(s)
                   if c.startswith("Remove-Item ")]
        for path in expected:
            quoted = f'"{path}"'
            if not any(c.startswith(f"Set-Content -Path {quoted} ") for c in planted):
                problems.append(f"full-run.yml: nothing plants {path} before the real run")
            if not any(quoted in c for c in removed):
                problems.append(f"full-run.yml: {path} is not removed after the real run, whatever happened")
        listened = [options[i + 1] for i, o in enumerate(options[:-1]) if o == "--listen"]
        if sorted(listened) != ["127.0.0.1:80", "[::1]:80"]:
            problems.append(f"full-run.yml: the real run does not stand in for the report host on "
                            f"127.0.0.1:80 and [::1]:80: {listened}")
        if "--defender" not in options:
            problems.append("full-run.yml: the real run's summary does not say whether real-time "
                            "protection was on")


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
        check_powershell(name, workflow, problems)
        check_loopback(name, workflow, problems)
    check_push_workflow(p, problems)
    check_full_run(p, problems)
    check_build_settings(p, problems)
    return problems


# --- the faults the checks are there for, each put into a copy of the project -----------------

def windows_job(workflow: dict) -> dict:
    return next(job for job in workflow["jobs"].values() if on_windows(job))


def job_running(workflow: dict, text: str) -> dict:
    return next(job for job in workflow["jobs"].values() if text in "\n".join(job_commands(job)))


def step_running(job: dict, text: str) -> dict:
    return next(s for s in steps(job) if text in str(s.get("run", "")))


def step_using(job: dict, action: str) -> dict:
    return next(s for s in steps(job) if str(s.get("uses", "")).startswith(action + "@"))


def run_step(workflow: dict) -> dict:
    return step_running(windows_job(workflow), "run-once.py")


def hosts_step(workflow: dict) -> dict:
    return step_running(windows_job(workflow), "drivers\\etc\\hosts")


def edit_run(step: dict, old: str, new: str) -> None:
    if old not in step["run"]:
        raise ValueError(f"no '{old}' in the step")
    step["run"] = step["run"].replace(old, new)


def drop_step(job: dict, step: dict) -> None:
    job["steps"].remove(step)


def hosts_after_run(p: Project) -> None:
    hosts = hosts_step(p.full)
    drop_step(windows_job(p.full), hosts)
    windows_job(p.full)["steps"].append(hosts)


def full_run_on_push(p: Project) -> None:
    windows_job(p.ci)["steps"].append(copy.deepcopy(run_step(p.full)))


def real_run_of_visual_studio_build(p: Project) -> None:
    job = windows_job(p.full)
    edit_run(run_step(p.full), RELEASED_EXE, "build/msvc/Release/ReginDetector.exe")
    job["steps"].insert(1, {"name": "build", "timeout-minutes": 15, "run": "\n".join(PROGRAM_ALONE)})


def no_planted_finds(p: Project) -> None:
    step = run_step(p.full)
    step["run"] = re.sub(r' --expect-find "[^"]*"', "", step["run"])


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
     lambda p: edit_run(run_step(p.full), ' --summary "$env:GITHUB_STEP_SUMMARY"', ""),
     "its summary on the job's summary page"),
    ("the report host not mapped to loopback",
     lambda p: drop_step(windows_job(p.full), hosts_step(p.full)), "could leave the runner"),
    ("the report host mapped after the run", hosts_after_run, "could leave the runner"),
    ("the report host's mapping commented out",
     lambda p: edit_run(hosts_step(p.full), "Add-Content", "# Add-Content"), "could leave the runner"),
    ("the report host mapped for IPv4 only",
     lambda p: edit_run(hosts_step(p.full), "`r`n::1 report.velmora.example", ""), "could leave the runner"),
    ("the report host stood in for on IPv4 only",
     lambda p: edit_run(run_step(p.full), ' --listen "[::1]:80"', ""), "does not stand in for the report host"),
    ("a pinned generator version",
     lambda p: msvc_preset(p).update(generator="Visual Studio 17 2022"), "names the generator"),
    ("an action on Node 20",
     lambda p: step_using(windows_job(p.full), "actions/checkout").update(uses="actions/checkout@v4"),
     "Node 20"),
    ("the upload action at a Node 20 major",
     lambda p: step_using(job_running(p.ci, "package_zip"), "actions/upload-artifact").update(
         uses="actions/upload-artifact@v5"), "Node 20"),
    ("the download action at a Node 20 major",
     lambda p: step_using(windows_job(p.full), "actions/download-artifact").update(
         uses="actions/download-artifact@v6"), "Node 20"),
    ("Windows unit tests from the Visual Studio build only",
     lambda p: p.ci["jobs"].pop(next(j for j, job in p.ci["jobs"].items()
                                     if "windows-unit-tests -L unit" in "\n".join(job_commands(job)))),
     "the unit tests run on Windows only as the Visual Studio build"),
    ("the MinGW unit-test programs not handed on",
     lambda p: step_using(job_running(p.ci, "package_zip"), "actions/upload-artifact")["with"].update(
         path="build/mingw/ReginDetector-*-win64.zip"), "does not hand on the MinGW unit-test programs"),
    ("the release package built in another container",
     lambda p: job_running(p.ci, "package_zip")["container"].update(image="ubuntu:24.04"),
     "does not run in debian:12"),
    ("the release package built without the README's setup",
     lambda p: drop_step(job_running(p.full, "package_zip"),
                         step_running(job_running(p.full, "package_zip"), "setup-debian.sh")),
     "without the README's setup"),
    ("a real run of the Visual Studio build", real_run_of_visual_studio_build,
     "not the exe of the release job's package"),
    ("a real run of an exe whose digest is not checked",
     lambda p: drop_step(windows_job(p.full), step_running(windows_job(p.full), "SHA256SUMS")),
     "not the exe of the release job's package"),
    ("a real run with no planted finds", no_planted_finds, "expects 0 planted finds"),
    ("a real run whose finds are not planted",
     lambda p: drop_step(windows_job(p.full), step_running(windows_job(p.full), "Set-Content")),
     "nothing plants"),
    ("planted finds left behind when the run fails",
     lambda p: step_running(windows_job(p.full), "Remove-Item").pop("if"), "is not removed"),
    ("a PowerShell step of several commands without exit checks",
     lambda p: edit_run(step_running(job_running(p.ci, "cmake --preset msvc"), "cmake --preset msvc"),
                        EXIT_CHECK + "\n", ""), "goes on after"),
    ("a Windows step in cmd",
     lambda p: step_running(job_running(p.ci, "cmake --preset msvc"), "cmake --preset msvc").update(
         shell="cmd"), "does not run in pwsh"),
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
        except (KeyError, StopIteration, ValueError, TypeError) as error:
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
    print("workflows ok: the validator passes both; ci.yml runs the README's commands on Debian, the "
          "released MinGW build's unit tests and the README's Windows commands on windows-latest, "
          "never the program; full-run.yml runs the released exe once by hand and weekly, with "
          "planted finds, on loopback, with its summary; every job and step is bounded; "
          f"each of {len(FAULTS)} faults put in is refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
