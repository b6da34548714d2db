"""windows-unit-tests.py, whose folder the Windows job runs with ctest, natively: it must hold
every test of the build's `unit` label as the build runs it, with its time limit, started
without Wine, and the test programs must run from that folder alone.

    REGIN_BUILD_DIR=build/mingw /usr/bin/python3 -m pytest -q tests/release/test_windows_unit_tests.py
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SCRIPT = HERE / "windows-unit-tests.py"
WINE_RUN = HERE.parents[1] / "cmake" / "wine-run.sh"
BUILD = Path(os.environ.get("REGIN_BUILD_DIR", HERE.parents[1] / "build" / "mingw"))


def listed(test_dir: Path) -> dict[str, dict]:
    shown = subprocess.run(["ctest", "--test-dir", str(test_dir), "-L", "unit", "--show-only=json-v1"],
                           capture_output=True, text=True, timeout=600, check=True)
    tests = {}
    for test in json.loads(shown.stdout)["tests"]:
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        if "unit" in properties.get("LABELS", []):
            tests[test["name"]] = {"command": test["command"], "properties": properties}
    return tests


@pytest.fixture(scope="module")
def bundle(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("windows") / "unit-tests"
    subprocess.run([sys.executable, str(SCRIPT), str(BUILD), str(out)], check=True, timeout=900)
    return out


def test_every_unit_test_of_the_build_is_there_as_the_build_runs_it_without_wine(bundle):
    build, copied = listed(BUILD), listed(bundle)
    assert build, "the build lists no unit test"
    assert sorted(copied) == sorted(build)
    for name, test in build.items():
        command = test["command"]
        program = next(i for i, part in enumerate(command) if part.endswith(".exe"))
        assert copied[name]["command"] == [str(bundle / Path(command[program]).name)] + command[program + 1:], name
        for kept in ("TIMEOUT", "LABELS"):
            assert copied[name]["properties"].get(kept) == test["properties"][kept], (name, kept)
        assert "FIXTURES_REQUIRED" not in copied[name]["properties"], "the Wine server is not there"


def test_the_test_programs_run_from_the_folder_alone(bundle, tmp_path):
    # Moved elsewhere, the folder still holds all the programs read: the fixtures beside them.
    moved = tmp_path / "elsewhere"
    bundle.rename(moved)
    try:
        for program, tests in (("UnitTests.exe", "DigestMatcher.SampleA*"), ("KnownDigestsTests.exe", "*")):
            run = subprocess.run(["sh", str(WINE_RUN), str(moved / program), f"--gtest_filter={tests}"],
                                 capture_output=True, text=True, timeout=300,
                                 env=dict(os.environ, WINE_RUN_BUILD_DIR=str(BUILD)))
            assert run.returncode == 0, run.stdout + run.stderr
            assert "[  PASSED  ]" in run.stdout and "FAILED" not in run.stdout, run.stdout
    finally:
        moved.rename(bundle)
