"""The machinery behind the project's commands: the runner of `make test`
(scripts/run-test-steps) and the verdicts of `make bench`."""

import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
RUNNER = ROOT / "scripts" / "run-test-steps"


def load(name, path):
    loader = importlib.machinery.SourceFileLoader(name, str(path))
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def runner():
    return load("run_test_steps", RUNNER)


@pytest.mark.parametrize(
    ("log", "counts", "reason"),
    [
        ("===== 670 passed, 18 skipped, 2 warnings in 41.20s (0:00:41) =====",
         {"passed": 670, "failed": 0, "skipped": 18}, None),
        ("3 failed, 5 passed, 1 error, 2 xfailed, 1 xpassed in 0.52s",
         {"passed": 6, "failed": 4, "skipped": 2}, None),
        ("\x1b[32m==== 4 passed in 0.10s ====\x1b[0m", {"passed": 4, "failed": 0, "skipped": 0}, None),
        # ctest counts a test that did not run among the passed ones.
        ("90% tests passed, 1 tests failed out of 10\n\nThe following tests did not run:\n"
         "\t  7 - Cache.Slow (Skipped)\n",
         {"passed": 8, "failed": 1, "skipped": 1}, None),
        # The sanitizer step: ctest and pytest in one log are summed.
        ("100% tests passed, 0 tests failed out of 12\n==== 681 passed, 18 skipped in 35.0s ====",
         {"passed": 693, "failed": 0, "skipped": 18}, None),
        ("skipped: valgrind is not installed", None, "valgrind is not installed"),
        ("make: building\nERROR SUMMARY: 0 errors", None, None),
        # A test's name or output that merely mentions counts is no summary.
        ("tests/test_x.py::test_3_passed PASSED", None, None),
    ],
    ids=["pytest", "pytest-mixed", "colours", "ctest", "summed", "skip-line", "none", "not-a-summary"],
)
def test_counts_come_from_the_tools_summary_lines(runner, log, counts, reason):
    assert runner.read_counts(log) == (counts, reason)


MAKEFILE = textwrap.dedent(
    """\
    .PHONY: build-a build-b test-pass test-skip test-fail test-quiet
    build-a:
    \t@echo a >>builds.txt
    build-b: build-a
    \t@echo b >>builds.txt
    test-pass: build-a
    \t@echo "==== 3 passed, 1 skipped in 0.1s ===="
    test-skip: build-b
    \t@echo "skipped: no tool here"
    test-fail: build-a build-b
    \t@echo "1 failed, 2 passed in 0.2s"; exit 1
    test-quiet: build-a
    \t@echo "done"
    """
)


@pytest.mark.parametrize(
    ("steps", "status", "final", "rows"),
    [
        ("test-pass test-skip test-quiet", 0, "make test: all passed (2 steps passed, 1 skipped)",
         {"test-pass": "passed 3 0 1", "test-skip": "skipped - - -", "test-quiet": "passed - - -"}),
        ("test-fail test-pass", 1, "make test: FAILED (test-fail)",
         {"test-fail": "failed 2 1 0", "test-pass": "passed 3 0 1"}),
    ],
    ids=["passing", "failing"],
)
def test_runner_builds_once_then_runs_the_steps_and_sums_up(tmp_path, steps, status, final, rows):
    if shutil.which("make") is None:
        pytest.skip("no make")
    (tmp_path / "Makefile").write_text(MAKEFILE)
    # A make run above this one (make test) hands its flags down; they are
    # not this little project's.
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES")}
    result = subprocess.run(
        [sys.executable, str(RUNNER), "--make", "make", "--root", str(tmp_path), "--logs", str(tmp_path / "logs"),
         "--builds", "build-a build-b", "--steps", steps],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert result.returncode == status, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1].startswith(final), result.stdout
    # Every build ran once, in order, though each step depends on builds.
    assert (tmp_path / "builds.txt").read_text().split() == ["a", "b"]
    for step, expected in rows.items():
        (row,) = [line for line in lines if line.startswith(step + " ")]
        assert " ".join(row.split()[1:5]) == expected, row
        assert (tmp_path / "logs" / f"{step}.log").is_file()
    if status:
        assert "1 failed, 2 passed in 0.2s" in result.stdout  # the failed step's log tail


def test_runner_refuses_a_step_listed_twice(tmp_path):
    result = subprocess.run(
        [sys.executable, str(RUNNER), "--make", "make", "--logs", str(tmp_path), "--steps", "test-a test-a"],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 2 and "test-a" in result.stdout


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        return load("run_benchmarks", ROOT / "bench" / "run_benchmarks.py")
    finally:
        sys.path.remove(str(ROOT / "bench"))


@pytest.mark.parametrize(
    ("runs", "verdict"),
    [([0.8, 0.9, 0.95], "PASS"), ([0.9, 1.2, 0.95], "NOISY"), ([1.1, 1.3, 1.2], "MISS"), ([1.0], "PASS")],
)
def test_a_timed_pass_needs_every_run(bench, runs, verdict):
    case = bench.Case(
        "k", "case", "", bench.Variant("ours", "ours", "pass"), (bench.Variant("peer", "peer", "pass"),),
        targets=(bench.Target("peer", 1.0, False, "<= 1"),),
    )
    median = sorted(runs)[len(runs) // 2]
    (result,) = bench.judge(case, {"peer": median}, {"peer": runs})
    assert result["result"] == verdict


def test_spread_marks_wide_runs_noisy(bench):
    assert bench.spread([10.0, 10.5, 10.2]) == {"median": 10.2, "min": 10.0, "max": 10.5, "noisy": False}
    assert bench.spread([10.0, 14.0, 10.2])["noisy"]
    assert bench.spread([float("nan"), 1.0, 1.0])["noisy"]


PROVISION = ROOT / "scripts" / "provision-python"


@pytest.mark.parametrize(("flag", "variable"), [("--free-threaded", "PYTHON_FT"),
                                                ("--free-threaded-tsan", "PYTHON_FT_TSAN")])
def test_free_threaded_interpreter_comes_only_from_the_user(flag, variable):
    """Nothing is provisioned for a free-threaded interpreter: without the
    variable the reason (naming the variable) is printed with status 3, the
    skip signal of the make steps; with it, only a free-threaded CPython 3.14
    is accepted."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_FT", "PYTHON_FT_TSAN")}
    absent = subprocess.run([str(PROVISION), flag], env=env, capture_output=True, text=True)
    assert absent.returncode == 3, absent.stderr
    assert f"{variable}=/path/to/python3.14t" in absent.stdout

    given = subprocess.run([str(PROVISION), flag], env={**env, variable: sys.executable},
                           capture_output=True, text=True)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert (given.returncode, given.stdout.strip()) == (0, str(pathlib.Path(sys.executable).absolute()))
    else:
        assert given.returncode == 1
        assert f"{variable}={sys.executable} is not" in given.stderr and given.stdout == ""


INTERPRETER_CXX = ROOT / "scripts" / "interpreter-cxx"


@pytest.mark.parametrize(
    ("cc", "made", "expected"),
    [
        ("clang", "clang++", "clang++"),
        ("gcc", "g++", "g++"),
        ("clang-14", "clang++-14", "clang++-14"),
        ("x86_64-linux-gnu-gcc-12", "x86_64-linux-gnu-g++-12", "x86_64-linux-gnu-g++-12"),
        ("{bin}/gcc-13", "g++-13", "{bin}/g++-13"),
        ("cc", "", "clang++"),  # `cc` says clang when asked
        ("gnu-cc", "", "g++"),  # GCC under another name: only its banner says so
        ("clang-14", "", None),  # its C++ compiler is not installed
        ("icx", "", None),  # neither family
    ],
    ids=["clang", "gcc", "clang-version", "gcc-target-version", "gcc-folder", "cc-asked", "cc-is-gcc",
         "not-installed", "other"],
)
def test_sanitizer_build_uses_the_interpreters_compiler_family(tmp_path, cc, made, expected):
    """`make tsan` compiles the module with the C++ compiler of the family
    that built the interpreter (its sysconfig CC): the sanitizer runtimes of
    clang and GCC cannot share one process."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()

    def executable(name, text):
        path = bin_dir / name
        path.write_text("#!/bin/sh\n" + text)
        path.chmod(0o755)

    cc = cc.format(bin=bin_dir)
    # An interpreter that answers the sysconfig question with `cc`.
    executable("python", f"echo '{cc}'\n")
    executable("cc", "echo 'Debian clang version 14.0.6'\n")
    executable("gnu-cc", "echo 'cc (Debian 12.2.0-14) 12.2.0'\n"
                         "echo 'Copyright (C) 2022 Free Software Foundation, Inc.'\n")
    executable("icx", "echo 'Intel(R) oneAPI DPC++/C++ Compiler'\n")
    if made:
        executable(made, "exit 0\n")
    if expected in ("clang++", "g++") and not made:
        executable(expected, "exit 0\n")
    env = {**os.environ, "PATH": str(bin_dir)}
    result = subprocess.run(["/bin/bash", str(INTERPRETER_CXX), str(bin_dir / "python")],
                            env=env, capture_output=True, text=True)
    if expected is None:
        assert result.returncode == 1 and result.stdout == ""
        assert "interpreter-cxx:" in result.stderr
    else:
        assert (result.returncode, result.stdout) == (0, expected.format(bin=bin_dir) + "\n"), result.stderr


CROSS_ARCH = ROOT / "scripts" / "cross-arch"


@pytest.mark.parametrize(("arch", "triplet"), [("arm64", "aarch64-linux-gnu"), ("i386", "i686-linux-gnu"),
                                               ("armhf", "arm-linux-gnueabihf")])
def test_cross_build_without_its_compiler_is_a_skip(tmp_path, arch, triplet):
    """Without the architecture's cross compiler nothing is provisioned: the
    reason, naming the Debian package, is printed with status 3, which the
    make targets of mk/architectures.mk report as one skipped line."""
    tools = tmp_path / "bin"
    tools.mkdir()
    for tool in ("bash", "dirname"):
        (tools / tool).symlink_to(shutil.which(tool))
    result = subprocess.run([str(CROSS_ARCH), arch, "3.14"], env={"PATH": str(tools)},
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (
        3, f"no {triplet}-g++ (Debian: g++-{triplet}) to build the module for {arch}\n", "")
    assert subprocess.run([str(CROSS_ARCH), "--triplet", arch], capture_output=True, text=True,
                          timeout=60).stdout == f"{triplet}\n"
