"""Gathers the MinGW unit-test programs of a build into a folder that runs on Windows, without Wine.

    /usr/bin/python3 tests/release/windows-unit-tests.py BUILD_DIR OUT_DIR

OUT_DIR gets the test programs, the fixtures they read from beside themselves, and a
CTestTestfile.cmake that holds every test of the build's `unit` label as the build's own ctest
runs it: the same name, program and arguments, time limit and labels, but the program started
directly instead of through Wine. On Windows, in that folder's parent or anywhere:

    ctest --test-dir OUT_DIR -L unit --output-on-failure --no-tests=error

The build's tests are read from `ctest --show-only=json-v1`, which lists them (Wine discovers the
GoogleTest cases), so the folder holds exactly the tests the build's ctest would run.
"""
from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path, PureWindowsPath

LABEL = "unit"
PROGRAMS = ("UnitTests.exe", "KnownDigestsTests.exe")
# The properties a test keeps on Windows; the others (the Wine server fixture) serve Wine only.
KEPT = ("TIMEOUT", "LABELS", "SKIP_REGULAR_EXPRESSION")


def unit_tests(build: Path) -> list[dict]:
    listed = subprocess.run(["ctest", "--test-dir", str(build), "-L", LABEL, "--show-only=json-v1"],
                            capture_output=True, text=True, timeout=600)
    if listed.returncode != 0:
        sys.exit(f"windows-unit-tests: ctest cannot list the tests of {build}:\n{listed.stderr}")
    tests = []
    for test in json.loads(listed.stdout)["tests"]:
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        if LABEL in properties.get("LABELS", []):
            tests.append({"name": test["name"], "command": test["command"], "properties": properties})
    return tests


def bracket(text: str) -> str:
    """A CMake bracket argument holding text as it is."""
    equals = "=" * 4
    while f"]{equals}]" in text:
        equals += "="
    return f"[{equals}[{text}]{equals}]"


def value(item) -> str:
    if isinstance(item, list):
        return bracket(";".join(str(i) for i in item))
    return bracket(str(item))


def main() -> int:
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    build, out = Path(sys.argv[1]).resolve(), Path(sys.argv[2])
    tests = unit_tests(build)
    if not tests:
        sys.exit(f"windows-unit-tests: {build} has no test labelled {LABEL}")

    lines = ["# The MinGW unit tests, each as the build's ctest runs it, started without Wine.",
             f"# Made by tests/release/windows-unit-tests.py from {len(tests)} tests of the build.", ""]
    folders = set()
    for test in tests:
        # The command is the emulator (Wine's wrapper), then the program and its arguments.
        program = next((i for i, part in enumerate(test["command"]) if part.endswith(".exe")), None)
        if program is None or PureWindowsPath(test["command"][program]).name not in PROGRAMS:
            sys.exit(f"windows-unit-tests: {test['name']} runs no test program of {PROGRAMS}: "
                     f"{test['command']}")
        path = Path(test["command"][program])
        folders.add(path.parent)
        arguments = " ".join(bracket(a) for a in test["command"][program + 1:])
        lines.append(f"add_test({bracket(test['name'])} \"${{CMAKE_CURRENT_LIST_DIR}}/{path.name}\" "
                     f"{arguments})")
        kept = " ".join(f"{name} {value(test['properties'][name])}" for name in KEPT
                        if name in test["properties"])
        lines.append(f"set_tests_properties({bracket(test['name'])} PROPERTIES {kept} "
                     "WORKING_DIRECTORY \"${CMAKE_CURRENT_LIST_DIR}\")")
    if len(folders) != 1:
        sys.exit(f"windows-unit-tests: the test programs are in {len(folders)} folders, not one")
    (folder,) = folders

    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    for name in PROGRAMS:
        shutil.copy2(folder / name, out / name)
    shutil.copytree(folder / "fixtures", out / "fixtures")
    (out / "CTestTestfile.cmake").write_text("\n".join(lines) + "\n")
    print(f"windows-unit-tests: {len(tests)} tests of {', '.join(PROGRAMS)} in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
