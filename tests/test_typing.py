"""The type stubs as mypy sees them: revealed types, rejected assignments, and
agreement between the stub and the runtime module."""

import importlib.util
import io
import pathlib
import re
import shutil
import subprocess
import sys
import tokenize

import pytest

pytest.importorskip(
    "mypy", reason="mypy is not importable by this interpreter (Debian: python3-mypy, built for its "
                   "default python3 only); the stub checks need it"
)


# mypy's native parser, where its version has one: its Rust core
# (ast_serialize) is an extension built for particular interpreters only.
PARSER_PROBE = """
import importlib.util
if importlib.util.find_spec("mypy.nativeparse") is not None:
    import mypy.nativeparse
"""


def _mypy_failure():
    """Why mypy cannot run here, or None. Its compiled parts are built for
    particular interpreters: on another ABI (a free-threaded interpreter) its
    core fails to import or crashes, which only a child process can show; on
    another version (3.15) it runs uncompiled, but its parser does not load."""
    for probe_args in (["-m", "mypy", "--version"], ["-c", PARSER_PROBE]):
        probe = subprocess.run([sys.executable, *probe_args], capture_output=True, text=True, timeout=120)
        if probe.returncode != 0:
            lines = (probe.stderr or probe.stdout).strip().splitlines()
            status = (f"killed by signal {-probe.returncode}" if probe.returncode < 0
                      else f"exit status {probe.returncode}")
            return status + (f": {lines[-1]}" if lines else "")
    return None


if (_failure := _mypy_failure()) is not None:
    pytest.skip(f"mypy cannot run on this interpreter ({_failure}); the stub checks need it",
                allow_module_level=True)

SAMPLE = pathlib.Path(__file__).with_name("typing_sample.py")
EXPECTATION = re.compile(r"#\s*(reveal|error):\s*(.+?)\s*$")
DIAGNOSTIC = re.compile(r"^typing_sample\.py:(\d+): (note|error): (.*?)(?:  \[([a-z-]+)\])?$")
REVEALED = re.compile(r'^Revealed type is "(.*)"$')
MYPY_OPTIONS = ["--strict", "--show-error-codes", "--no-error-summary", "--hide-error-context",
                "--no-pretty", "--no-color-output"]


def read_expectations():
    """{line: type} for `# reveal:` comments and {line: code} for `# error:` ones."""
    reveals, errors = {}, {}
    with SAMPLE.open("rb") as source:
        for token in tokenize.tokenize(source.readline):
            if token.type != tokenize.COMMENT:
                continue
            match = EXPECTATION.match(token.string)
            if match:
                target = reveals if match[1] == "reveal" else errors
                target[token.start[0]] = match[2]
    return reveals, errors


REVEALS, ERRORS = read_expectations()


def run_mypy(args, cwd, cache):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cache), *MYPY_OPTIONS, *args],
        cwd=cwd, capture_output=True, text=True, timeout=600,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="module")
def sample_report(tmp_path_factory, mypy_cache):
    """mypy's notes and errors on the sample, by line.

    The sample is checked from a scratch folder, so `tovren` resolves the way
    it does for a user: through the interpreter's site-packages.
    """
    work = tmp_path_factory.mktemp("typing-sample")
    shutil.copy(SAMPLE, work / SAMPLE.name)
    result = run_mypy([SAMPLE.name], work, mypy_cache)
    assert not result.stderr, result.stderr
    reveals, errors, other = {}, {}, []
    for line in result.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        if not match:
            other.append(line)
            continue
        number, kind, message, code = int(match[1]), match[2], match[3], match[4]
        revealed = REVEALED.match(message) if kind == "note" else None
        if revealed:
            reveals.setdefault(number, []).append(revealed[1])
        elif kind == "error":
            errors.setdefault(number, []).append((code, message))
        else:
            other.append(line)
    return result.returncode, reveals, errors, other


def test_expectations_are_read():
    # The parametrised cases below come from these comments.
    assert len(REVEALS) >= 10 and len(ERRORS) >= 5


@pytest.mark.parametrize("line", sorted(REVEALS), ids=lambda n: f"line{n}")
def test_revealed_type(sample_report, line):
    _, reveals, _, _ = sample_report
    assert reveals.get(line) == [REVEALS[line]]


@pytest.mark.parametrize("line", sorted(ERRORS), ids=lambda n: f"line{n}")
def test_rejected_line(sample_report, line):
    _, _, errors, _ = sample_report
    assert [code for code, _ in errors.get(line, [])] == [ERRORS[line]], errors.get(line)


def test_cached_property_assignment_accepts_no_value(sample_report):
    _, _, errors, _ = sample_report
    assignments = [message for line, found in errors.items() for code, message in found
                   if code == "assignment" and ERRORS.get(line) == "assignment"]
    never = [message for message in assignments if 'variable has type "Never"' in message]
    assert len(never) == 2, assignments


def test_no_diagnostics_beyond_the_expected(sample_report):
    returncode, reveals, errors, other = sample_report
    assert other == []
    assert set(reveals) == set(REVEALS)
    assert set(errors) == set(ERRORS)
    assert returncode == 1  # the deliberate errors


def installed_stub():
    spec = importlib.util.find_spec("tovren._libs.properties")
    assert spec is not None and spec.origin is not None
    return pathlib.Path(spec.origin).with_name("properties.pyi")


@pytest.mark.parametrize("name", ["properties.pyi", "py.typed"])
def test_stub_and_marker_sit_beside_the_extension(name):
    assert installed_stub().with_name(name).is_file()


def test_stub_passes_strict_mypy(tmp_path, mypy_cache):
    result = run_mypy([str(installed_stub())], tmp_path, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_runtime(tmp_path):
    # stubtest imports the module and compares every name, signature and
    # class property (disjoint bases, read-only attributes) with the stub.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tovren._libs.properties"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
